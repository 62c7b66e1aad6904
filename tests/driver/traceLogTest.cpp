#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/driverTestSupport.h"
#include "driver/traceLog.h"

namespace sensconv {
namespace {

using namespace testing_support;

TEST(traceLogTest, LinesShowEachFilesStateSessionAndDirectory) {
    scratchDirectory dir;
    const std::vector<std::string> files = {"/rec/a.snsr", "/rec/b.snsr", "/rec/c d.snsr", "/rec/e.snsr"};
    const std::vector<int> sessions = {1, 1, 2, 2};
    const std::string d = dir.path();

    EXPECT_EQ(capturedStderr([&] { updateTraceLog(files, sessions, 2, d, d); }), "");
    EXPECT_EQ(readWhole(dir / "trace.log"),
              "\"/rec/a.snsr\",0,\"completed\",\"" + d + "part_00\"\r\n"
              "\"/rec/b.snsr\",0,\"completed\",\"" + d + "part_00\"\r\n"
              "\"/rec/c d.snsr\",1,\"processing\",\"" + d + "part_01\"\r\n"
              "\"/rec/e.snsr\",1,\"queued\",\"" + d + "part_01\"\r\n");

    // The final log replaces the running one, every file completed.
    updateTraceLog(files, sessions, files.size(), d, d);
    const std::string final = readWhole(dir / "trace.log");
    EXPECT_EQ(final.find("processing"), std::string::npos);
    EXPECT_EQ(final.find("queued"), std::string::npos);
    EXPECT_NE(final.find("\"/rec/e.snsr\",1,\"completed\",\"" + d + "part_01\"\r\n"), std::string::npos);
}

TEST(traceLogTest, LinesNameTheOutputDirectoryWhereverTheLogLies) {
    scratchDirectory dir;
    updateTraceLog({"data/a.snsr"}, {2}, 0, dir.path(), "elsewhere/");
    EXPECT_EQ(readWhole(dir / "trace.log"), "\"data/a.snsr\",1,\"processing\",\"elsewhere/part_01\"\r\n");
}

TEST(traceLogTest, SessionIndexesKeepTwoDigitsAndGrowBeyond) {
    scratchDirectory dir;
    updateTraceLog({"x.snsr", "y.snsr"}, {10, 101}, 0, dir.path(), dir.path());
    EXPECT_EQ(readWhole(dir / "trace.log"), "\"x.snsr\",9,\"processing\",\"" + dir / "part_09\"\r\n" +
                                                "\"y.snsr\",100,\"queued\",\"" + dir / "part_100\"\r\n");
}

TEST(traceLogTest, AnUnwritableLogIsReportedAndIgnored) {
    scratchDirectory dir;
    const std::string missing = dir / "missing/";
    EXPECT_EQ(capturedStderr([&] { updateTraceLog({"a.snsr"}, {1}, 0, missing, missing); }),
              "# ERROR: Unable to create trace file " + missing + "trace.log\n");
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(traceLogTest, RunningLogGoesNextToTheFirstFileOrIntoTheOutputDirectory) {
    std::string dir;
    EXPECT_EQ(capturedStderr([&] { dir = chooseTraceLogDir("out/", {"/rec/day 1/a.snsr", "/x/b.snsr"}); }),
              "# INFO: Trace log output will be placed in:\n# INFO:  /rec/day 1/\n");
    EXPECT_EQ(dir, "/rec/day 1/");
    EXPECT_EQ(capturedStderr([&] { dir = chooseTraceLogDir("out/", {"a.snsr"}); }),
              "# INFO: Trace log output will be placed in:\n# INFO:  out/\n");
    EXPECT_EQ(dir, "out/");
}

}  // namespace
}  // namespace sensconv
