#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "driver/driverTestSupport.h"
#include "driver/sessionSegmentation.h"

namespace sensconv {
namespace {

using namespace testing_support;

// A recording of one raw stream whose packets carry the given timestamps.
void writeRecording(const std::string& path, uint64_t fileStartTime, const std::vector<uint32_t>& timestamps) {
    containerBuilder builder;
    builder.setFileStartTime(fileStartTime);
    builder.addStream("xyz1", 1);
    const std::vector<uint8_t> payload(16, 0x55);
    for (uint32_t t : timestamps) builder.addFrame(1, t, payload);
    ASSERT_TRUE(builder.writeFile(path));
}

// Timestamps from 1000 to 1000 + duration in steps the reader accepts. The reader takes
// the first non-zero timestamp as the file's first, so the file spans
// [fileStartTime + 1000, fileStartTime + 1000 + duration].
std::vector<uint32_t> spanning(uint32_t duration) {
    std::vector<uint32_t> timestamps = {1000};
    for (uint32_t t = 0; t < duration;) {
        t = std::min(duration, t + 100000);
        timestamps.push_back(1000 + t);
    }
    return timestamps;
}

std::string segmented(std::vector<std::string>& files, std::vector<int>& sessions, double maxGap = 60.0,
                      int jobs = 1) {
    return capturedStderr([&] { EXPECT_TRUE(segmentSessions(files, sessions, true, maxGap, false, jobs).ok()); });
}

const std::string banner =
    "\n# INFO: ------------------\n# INFO: Scanning .snsr files to determine their segmentation\n";
constexpr uint64_t start = 1234567890123;  // 13.02.2009 23:31:30.123 UTC

TEST(sessionSegmentationTest, WithoutScanningEveryFileIsInSessionOneAndNothingIsOpened) {
    std::vector<std::string> files = {"/no/such/a.snsr", "/no/such/b.snsr"};
    std::vector<int> sessions = {7};
    EXPECT_EQ(capturedStderr([&] { EXPECT_TRUE(segmentSessions(files, sessions, false, 60.0, true).ok()); }), "");
    EXPECT_EQ(sessions, (std::vector<int>{1, 1}));
    EXPECT_EQ(files.size(), 2u);
}

TEST(sessionSegmentationTest, SingleFileListing) {
    scratchDirectory dir;
    const std::string path = dir / "only one.snsr";
    writeRecording(path, start, {0, 0, 5000});
    std::vector<std::string> files = {path};
    std::vector<int> sessions;
    EXPECT_EQ(segmented(files, sessions),
              banner + "# INFO: Scanning   1 of   1, \"" + path + "\"\n"
              "# INFO:\n"
              "# INFO: Scanning complete, 1 sessions of data were found and will be processed\n"
              "# INFO:\n"
              "# INFO: ------------------\n"
              "# INFO:  Session  1:\n"
              "# INFO: [  1] starts at 13.02.2009 23:31:30.122999 duration is      5.00 sec, 00 hours 00 mins 05.0 "
              "seconds\n"
              "# INFO:\n# INFO: Session  1:  \"" + path + "\"\n");
    EXPECT_EQ(sessions, std::vector<int>{1});
}

TEST(sessionSegmentationTest, GapsOfMoreThanTheMaximumStartNewSessions) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", start, spanning(10000));                    // [S+1, S+11] s
    writeRecording(dir / "b.snsr", start + 70000, spanning(5000));             // starts exactly 60.0 s later
    writeRecording(dir / "c.snsr", start + 75000 + 60001, spanning(1000));     // starts 60.001 s after b's end
    writeRecording(dir / "d.snsr", start + 85001, {1000, 1010});               // starts 51 s before c's end
    writeRecording(dir / "e.snsr", start, spanning(3725500));                  // starts 85 s before d's end
    const std::vector<std::string> all = {dir / "a.snsr", dir / "b.snsr", dir / "c.snsr", dir / "d.snsr",
                                          dir / "e.snsr"};

    std::vector<std::string> files = all;
    std::vector<int> sessions;
    const std::string messages = segmented(files, sessions);
    EXPECT_EQ(sessions, (std::vector<int>{1, 1, 2, 2, 3}));
    EXPECT_NE(messages.find("# INFO: Scanning complete, 3 sessions of data were found and will be processed\n"
                            "# INFO:\n# INFO: ------------------\n# INFO:  Session  1:\n"
                            "# INFO: [  1] starts at 13.02.2009 23:31:31.122999 duration is     10.00 sec"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find("# INFO:\n# INFO: ------------------\n# INFO:  Session  3:\n"
                            "# INFO: [  5] starts at 13.02.2009 23:31:31.122999 duration is   3725.50 sec, 01 hours "
                            "02 mins 05.5 seconds\n"),
              std::string::npos)
        << messages;
    const std::string q = "\"";
    EXPECT_NE(messages.find("# INFO:\n# INFO: Session  1:  " + q + all[0] + q + " " + q + all[1] + q +
                            "\n# INFO: Session  2:  " + q + all[2] + q + " " + q + all[3] + q +
                            "\n# INFO: Session  3:  " + q + all[4] + q + "\n"),
              std::string::npos)
        << messages;

    // A negative maximum gap gives every file a session of its own, a larger one joins them.
    files = all;
    segmented(files, sessions, -1.0);
    EXPECT_EQ(sessions, (std::vector<int>{1, 2, 3, 4, 5}));
    files = all;
    segmented(files, sessions, 1e9);
    EXPECT_EQ(sessions, (std::vector<int>{1, 1, 1, 1, 1}));
}

TEST(sessionSegmentationTest, FilesWithoutOrWithOnePacketStartAtTheirStartTime) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", start, {});
    writeRecording(dir / "b.snsr", start, {4000});
    std::vector<std::string> files = {dir / "a.snsr", dir / "b.snsr"};
    std::vector<int> sessions;
    const std::string messages = segmented(files, sessions);
    EXPECT_NE(messages.find("[  1] starts at 13.02.2009 23:31:30.122999 duration is      0.00 sec, 00 hours 00 mins "
                            "00.0 seconds\n"),
              std::string::npos);
    EXPECT_NE(messages.find("[  2] starts at 13.02.2009 23:31:30.122999 duration is      4.00 sec, 00 hours 00 mins "
                            "04.0 seconds\n"),
              std::string::npos);
}

TEST(sessionSegmentationTest, UnreadableFilesAreRejectedAndTheCountShrinks) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", start, {0});
    writeBytes(dir / "b.snsr", 2000);  // no container header
    writeRecording(dir / "d.snsr", start, {0});
    std::vector<std::string> files = {dir / "a.snsr", dir / "b.snsr", dir / "c.snsr", dir / "d.snsr"};
    std::vector<int> sessions;
    const std::string messages = segmented(files, sessions);
    EXPECT_EQ(files, (std::vector<std::string>{dir / "a.snsr", dir / "d.snsr"}));
    EXPECT_EQ(sessions, (std::vector<int>{1, 1}));
    const size_t scanned = messages.find("# INFO: Scanning   2 of   4, \"" + dir / "b.snsr" + "\"\n"
                                         "# INFO: Rejecting file   2, SNSR file error\n");
    const size_t missing = messages.find("# INFO: Scanning   2 of   3, \"" + dir / "c.snsr" + "\"\n"
                                         "# INFO: Rejecting file   2, SNSR file error\n"
                                         "# INFO: Scanning   2 of   2, \"" + dir / "d.snsr" + "\"\n");
    EXPECT_NE(scanned, std::string::npos) << messages;
    EXPECT_NE(missing, std::string::npos) << messages;
    // The reader's own complaint comes before the file's Scanning line.
    EXPECT_LT(messages.find("valid SNSR header"), scanned);
}

// With -jobs the files are read side by side: the same lines in the same order, the
// reader's complaints in their places and the numbers of a shrinking list, whatever
// the number of threads and however far they run ahead.
TEST(sessionSegmentationTest, FilesScannedSideBySideGiveTheLinesAndSessionsOfOneScan) {
    scratchDirectory dir;
    std::vector<std::string> all;
    const auto recording = [&](const std::string& name, uint64_t fileStart, const std::vector<uint32_t>& timestamps,
                               bool garbage = false) {
        containerBuilder builder;
        builder.setFileStartTime(fileStart);
        builder.addStream("xyz1", 1);
        for (uint32_t t : timestamps) {
            builder.addFrame(1, t, std::vector<uint8_t>(16, 0x55));
            if (garbage) builder.addRawBytes(std::vector<uint8_t>(7, 0xEE));  // reported while reading
        }
        ASSERT_TRUE(builder.writeFile(dir / name));
        all.push_back(dir / name);
    };
    writeBytes(dir / "a.snsr", 2000);  // no container header: rejected first
    all.push_back(dir / "a.snsr");
    recording("b.snsr", start, spanning(10000));
    recording("c.snsr", start + 11000, spanning(3000), true);
    all.push_back(dir / "d.snsr");  // missing
    recording("e.snsr", start + 200000, spanning(5000));
    for (int k = 0; k < 8; ++k) {
        recording("f" + std::to_string(k) + ".snsr", start + 300000 + 7000 * k, {1000, 3000}, k % 3 == 0);
    }

    std::vector<std::string> files = all;
    std::vector<int> sessions;
    const std::string one = segmented(files, sessions);
    ASSERT_EQ(files.size(), all.size() - 2);
    EXPECT_NE(one.find("# INFO: Rejecting file   1, SNSR file error\n# INFO: Scanning   1 of  12,"), std::string::npos)
        << one;
    EXPECT_NE(one.find("# INFO: Scanning   3 of  12, \"" + dir / "d.snsr" + "\"\n# INFO: Rejecting file   3"),
              std::string::npos)
        << one;
    EXPECT_NE(one.find("SNSR Error mode, found new snsr packet"), std::string::npos) << one;
    for (const int jobs : {2, 3, 16}) {
        std::vector<std::string> sideBySideFiles = all;
        std::vector<int> sideBySideSessions;
        EXPECT_EQ(segmented(sideBySideFiles, sideBySideSessions, 60.0, jobs), one) << jobs;
        EXPECT_EQ(sideBySideFiles, files);
        EXPECT_EQ(sideBySideSessions, sessions);
    }
}

TEST(sessionSegmentationTest, NoFileLeftIsFatalWithMinusOne) {
    scratchDirectory dir;
    std::vector<std::string> files = {dir / "gone.snsr"};
    std::vector<int> sessions;
    outcome segmentedNothing;
    const std::string printed =
        capturedStderr([&] { segmentedNothing = segmentSessions(files, sessions, true, 60.0, false); });
    EXPECT_TRUE(printed.ends_with("# INFO: Rejecting file   1, SNSR file error\n")) << printed;
    EXPECT_EQ(processStatus(segmentedNothing.status()), -1);
    EXPECT_EQ(segmentedNothing.lines(), "# ERROR: No remaining SNSR files to process\n");
    EXPECT_STREQ(segmentedNothing.closingLine(), "# ERROR: Exiting\n");
}

TEST(sessionSegmentationTest, TheTraceFlagReachesTheReaders) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", start, {0, 10});
    // A directory in the trace file's place makes the reader's attempt visible.
    std::filesystem::create_directories(dir / "a.snsr.processing/keep");
    const std::string complaint = "# WARNING: Trace file " + dir / "a.snsr.processing" + " already exists";
    std::vector<std::string> files = {dir / "a.snsr"};
    std::vector<int> sessions;
    EXPECT_NE(capturedStderr([&] { (void)segmentSessions(files, sessions, true, 60.0, true); }).find(complaint),
              std::string::npos);
    EXPECT_EQ(capturedStderr([&] { (void)segmentSessions(files, sessions, true, 60.0, false); }).find(complaint),
              std::string::npos);
}

class localZone {
public:
    explicit localZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~localZone() {
        ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }

private:
    std::string saved_ = "UTC";
};

TEST(sessionSegmentationTest, TimestampsAreLocalWithTruncatedMicroseconds) {
    localZone zone("CET-1");
    EXPECT_EQ(capturedStderr([] { printTimestamp(1234567890123 / 1000.0); }), "14.02.2009 00:31:30.122999");
    EXPECT_EQ(capturedStderr([] { printTimestamp(0.5); }), "01.01.1970 01:00:00.500000");
    // Times beyond the calendar print placeholders rather than garbage.
    EXPECT_EQ(capturedStderr([] { printTimestamp(1e300); }), "??.??.???? ??:??:??.000000");
    EXPECT_EQ(capturedStderr([] { printTimestamp(std::nan("")); }), "??.??.???? ??:??:??.000000");
}

}  // namespace
}  // namespace sensconv
