// The session loop run in-process, where a test can change the files between the
// preparation steps and the conversion.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/fileScreening.h"
#include "driver/headerCheck.h"
#include "driver/runConversion.h"
#include "driver/sessionSegmentation.h"
#include "e2e/e2eSupport.h"

namespace sensconv {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

TEST(runConversionDeathTest, FileRemovedAfterScanningEndsTheRunWithMinusOne) {
    scratchDirectory dir;
    runStatus run;
    writeRecording(dir / "a.snsr");
    writeRecording(dir / "b.snsr");
    commandLineOptions options;
    options.scanEnabled = true;
    options.outputdir = dir.path();
    std::vector<std::string> files;
    std::vector<int> sessions;
    capturedStderr([&] {
        EXPECT_TRUE(scanDirectory(dir.path(), files).ok());
        screenFiles(files);
        EXPECT_TRUE(segmentSessions(files, sessions, true, 60.0, false).ok());
        EXPECT_TRUE(checkFileHeaders(files));
    });
    ASSERT_EQ(files, (std::vector<std::string>{dir / "a.snsr", dir / "b.snsr"}));
    fs::remove(dir / "b.snsr");

    // The session's folder keeps its unfinished name, and the last lines say where it is.
    const std::string before = exactly("\n# INFO: ------------------\n"
                                       "# INFO: Processing Session  1 of  1\n"
                                       "# INFO: Creating output directory:\n"
                                       "# INFO: \"" + dir / "part_00" + "\"\n"
                                       "# INFO: Session  1, Processing File   1 of   2 (total)\n"
                                       "# INFO: Session  1, Processing File   2 of   2 (total)\n"
                                       "ERROR: can't open file " + dir / "b.snsr" + "\n"
                                       "# snsr_packetReader: ERROR, unable to open snsr file: " + dir / "b.snsr" + "\n"
                                       "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n"
                                       "# ERROR: packetReader was unable to process file " + dir / "b.snsr" + "\n"
                                       "# ERROR: Session  1 is incomplete, its output is in " + dir / "part_00.incomplete-");
    EXPECT_EXIT(convertSessions(options, files, sessions, run), ::testing::ExitedWithCode(255),
                before.substr(0, before.size() - 1) + "[A-Za-z0-9]{6}\n# ERROR: Exiting\n$");
    // The first file's samples reached the disk; the session was never finished.
    EXPECT_FALSE(fs::exists(dir / "part_00"));
    const std::vector<std::string> left = incompleteFolders(dir.path(), "part_00");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(fs::file_size(left[0] + "/binaryData_compass.bin"), 64u);
    EXPECT_FALSE(fs::exists(left[0] + "/binaryData.meta"));
}

TEST(runConversionTest, SessionNumbersBeyondOneHundredKeepAllDigits) {
    scratchDirectory dir;
    runStatus run;
    writeRecording(dir / "a.snsr");
    commandLineOptions options;
    options.outputdir = dir.path();
    const std::string messages = capturedStderr([&] { convertSessions(options, {dir / "a.snsr"}, {101}, run); });
    EXPECT_NE(messages.find("# INFO: Processing Session 101 of 101\n# INFO: Creating output directory:\n"
                            "# INFO: \"" + dir / "part_100" + "\"\n"
                            "# INFO: Session 101, Processing File   1 of   1 (total)\n"),
              std::string::npos)
        << messages;
    EXPECT_EQ(fs::file_size(dir / "part_100/binaryData_compass.bin"), 64u);
    EXPECT_TRUE(fs::exists(dir / "part_100/binaryData.meta"));
}

}  // namespace
}  // namespace sensconv
