// Recordings that lose their end between the preparation steps and the conversion
// (a card pulled, a copy still running): what is left is converted and the loss is
// reported; a file left without its header ends the run.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/headerCheck.h"
#include "driver/runConversion.h"
#include "e2e/e2eSupport.h"

namespace sensconv {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

TEST(shrunkInputTest, FileCutInsideItsLastPacketKeepsEverythingBefore) {
    scratchDirectory dir;
    runStatus run;
    writeRecording(dir / "a.snsr");
    writeRecording(dir / "b.snsr");
    const std::vector<std::string> files = {dir / "a.snsr", dir / "b.snsr"};
    capturedStderr([&] { EXPECT_TRUE(checkFileHeaders(files)); });
    fs::resize_file(dir / "a.snsr", fs::file_size(dir / "a.snsr") - 5);

    commandLineOptions options;
    options.outputdir = dir.path();
    const std::string messages = capturedStderr([&] { convertSessions(options, files, {1, 1}, run); });
    EXPECT_NE(messages.find("# INFO: Session  1, Processing File   1 of   2 (total)\n"
                            "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n"
                            "# INFO: Session  1, Processing File   2 of   2 (total)\n"
                            "# INFO: Session  1 of  1 completed\n"),
              std::string::npos)
        << messages;
    // 16 compass values from each file. Each holds 16 sensor, 16 audio and 16 GPS
    // packets; the first file's last one, a GPS record, is lost.
    EXPECT_EQ(fs::file_size(dir / "part_00/binaryData_compass.bin"), 128u);
    const std::string meta = readWhole(dir / "part_00/binaryData.meta");
    EXPECT_NE(meta.find("\"snsr_numParsedPackets\",47\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("\"snsr_numParsedPackets\",48\n"), std::string::npos) << meta;
}

TEST(shrunkInputDeathTest, FileCutInsideItsHeaderEndsTheRunWithMinusOne) {
    scratchDirectory dir;
    runStatus run;
    writeRecording(dir / "a.snsr");
    fs::resize_file(dir / "a.snsr", 40);
    commandLineOptions options;
    options.outputdir = dir.path();
    EXPECT_EXIT(convertSessions(options, {dir / "a.snsr"}, {1}, run), ::testing::ExitedWithCode(255),
                exactly("\n# INFO: ------------------\n"
                        "# INFO: Processing Session  1 of  1\n"
                        "# INFO: Creating output directory:\n"
                        "# INFO: \"" + dir / "part_00" + "\"\n"
                        "# INFO: Session  1, Processing File   1 of   1 (total)\n"
                        "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n"
                        "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n"
                        "# ERROR: packetReader was unable to process file " + dir / "a.snsr" + "\n"
                        "# ERROR: Exiting\n"));
}

}  // namespace
}  // namespace sensconv
