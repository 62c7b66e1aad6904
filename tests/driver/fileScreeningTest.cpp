#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driverTestSupport.h"
#include "driver/fileScreening.h"

namespace sensconv {
namespace {

using namespace testing_support;

std::string screened(std::vector<std::string>& files) {
    return capturedStderr([&] { screenFiles(files); });
}

const char* const banner = "\n# INFO: ------------------\n# INFO: Scanning files to remove obviously bad files\n";

TEST(fileScreeningTest, SortsBytewiseAndMovesLogFilesToTheFront) {
    scratchDirectory dir;
    const std::vector<std::string> names = {"m.snsr", "b.snsr", "xlog.snsr", "a.snsr", "alog.snsr", "B.snsr",
                                            "\xc3\xa9.snsr", "a.snsr2", "0log.snsr"};
    for (const std::string& name : names) writeBytes(dir / name, 1024);
    std::vector<std::string> files;
    for (const std::string& name : names) files.push_back(dir / name);

    const std::string messages = screened(files);
    std::vector<std::string> order;
    for (const std::string& file : files) order.push_back(file.substr(dir.path().size()));
    // Upper case before lower case, a prefix first, bytes above 127 last; the log files
    // first in descending order.
    EXPECT_EQ(order, (std::vector<std::string>{"xlog.snsr", "alog.snsr", "0log.snsr", "B.snsr", "a.snsr",
                                               "a.snsr2", "b.snsr", "m.snsr", "\xc3\xa9.snsr"}));
    std::string expected = banner;
    for (size_t i = 0; i < order.size(); ++i) {
        expected += "# INFO: File [  " + std::to_string(i + 1) + "]            Opened, \"" + files[i] + "\"\n";
    }
    EXPECT_EQ(messages, expected);
}

TEST(fileScreeningTest, RemovesUnopenableAndSmallFilesCountingPositionsBeforeRemoval) {
    scratchDirectory dir;
    writeBytes(dir / "a.snsr", 1024);
    writeBytes(dir / "b.snsr", 1023);
    std::filesystem::create_directory(dir / "c.snsr");
    writeBytes(dir / "e.snsr", 0);
    writeBytes(dir / "f with blank.snsr", 5000);
    std::vector<std::string> files = {dir / "f with blank.snsr", dir / "e.snsr", dir / "d.snsr", dir / "c.snsr",
                                      dir / "b.snsr", dir / "a.snsr"};

    const std::string messages = screened(files);
    EXPECT_EQ(files, (std::vector<std::string>{dir / "a.snsr", dir / "f with blank.snsr"}));
    EXPECT_EQ(messages, std::string(banner) +
                            "# INFO: File [  1]            Opened, \"" + dir / "a.snsr" + "\"\n"
                            "# INFO: File [  2]        Too small!, \"" + dir / "b.snsr" + "\"\n"
                            "# INFO: File [  3]   Unable to open!, \"" + dir / "c.snsr" + "\"\n"
                            "# INFO: File [  4]   Unable to open!, \"" + dir / "d.snsr" + "\"\n"
                            "# INFO: File [  5]        Too small!, \"" + dir / "e.snsr" + "\"\n"
                            "# INFO: File [  6]            Opened, \"" + dir / "f with blank.snsr" + "\"\n"
                            "\n# INFO: ------------------\n"
                            "# INFO: Final file numbering (4 files removed)\n"
                            "# INFO: File [  1] \"" + dir / "a.snsr" + "\"\n"
                            "# INFO: File [  2] \"" + dir / "f with blank.snsr" + "\"\n");
}

// Converted twice in a row, one file's times would run backwards: a file named twice or
// reached through a link as well is taken once, under the name that sorts first.
TEST(fileScreeningTest, SameFileUnderTwoNamesIsTakenOnce) {
    scratchDirectory dir;
    writeBytes(dir / "b.snsr", 2048);
    writeBytes(dir / "c.snsr", 2048);
    std::filesystem::create_symlink(dir / "b.snsr", dir / "z.snsr");
    std::vector<std::string> files = {dir / "z.snsr", dir / "c.snsr", dir / "b.snsr", dir / "b.snsr"};
    const std::string messages = screened(files);
    EXPECT_EQ(files, (std::vector<std::string>{dir / "b.snsr", dir / "c.snsr"}));
    EXPECT_EQ(messages, std::string(banner) +
                            "# INFO: File [  1]            Opened, \"" + dir / "b.snsr" + "\"\n"
                            "# INFO: File [  2]            Opened, \"" + dir / "b.snsr" + "\"\n"
                            "# WARNING: \"" + dir / "b.snsr" + "\" is the same file as \"" + dir / "b.snsr" +
                            "\", which is taken once\n"
                            "# INFO: File [  3]            Opened, \"" + dir / "c.snsr" + "\"\n"
                            "# INFO: File [  4]            Opened, \"" + dir / "z.snsr" + "\"\n"
                            "# WARNING: \"" + dir / "z.snsr" + "\" is the same file as \"" + dir / "b.snsr" +
                            "\", which is taken once\n"
                            "\n# INFO: ------------------\n"
                            "# INFO: Final file numbering (2 files removed)\n"
                            "# INFO: File [  1] \"" + dir / "b.snsr" + "\"\n"
                            "# INFO: File [  2] \"" + dir / "c.snsr" + "\"\n");
}

TEST(fileScreeningTest, AnEmptyListPrintsOnlyTheBanner) {
    std::vector<std::string> files;
    EXPECT_EQ(screened(files), banner);
}

TEST(fileScreeningTest, ScanTakesContainerFilesWholeInAnyLetterCase) {
    scratchDirectory dir;
    for (const char* name : {"a.snsr", "B.SNSR", "with blank.Snsr", "notes.txt", "a.snsr.bak", "snsr"}) {
        writeBytes(dir / name, 10);
    }
    std::filesystem::create_directory(dir / "sub");
    writeBytes(dir / "sub/deeper.snsr", 10);
    std::vector<std::string> files = {"from the command line.snsr"};

    const std::string messages = capturedStderr([&] { EXPECT_TRUE(scanDirectory(dir.path(), files).ok()); });
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{dir / "B.SNSR", dir / "a.snsr", dir / "with blank.Snsr"}));
    EXPECT_EQ(messages, "# INFO: Scanning directory for .snsr files\n# INFO: Found   3 .snsr files in directory\n");
}

// A scan that finds nothing prints what it looked at and reports the rest to the driver.
void expectScanFailure(const std::string& directory) {
    std::vector<std::string> files;
    outcome scanned;
    EXPECT_EQ(capturedStderr([&] { scanned = scanDirectory(directory, files); }),
              "# INFO: Scanning directory for .snsr files\n"
              "# INFO: Found   0 .snsr files in directory\n");
    EXPECT_EQ(processStatus(scanned.status()), -1);
    EXPECT_EQ(scanned.lines(),
              "# ERROR: No .snsr files found in this directory or we are unable to list the files\n"
              "# ERROR: To obtain a directory listing read permission to the directory is required\n");
    EXPECT_STREQ(scanned.closingLine(), "# ERROR: Exiting\n");
}

TEST(fileScreeningTest, ScanOfADirectoryWithoutContainerFilesIsFatalWithMinusOne) {
    scratchDirectory dir;
    writeBytes(dir / "readme.txt", 10);
    expectScanFailure(dir.path());
}

TEST(fileScreeningTest, ScanOfAMissingDirectoryIsFatalWithMinusOne) {
    scratchDirectory dir;
    expectScanFailure(dir / "missing/");
}

}  // namespace
}  // namespace sensconv
