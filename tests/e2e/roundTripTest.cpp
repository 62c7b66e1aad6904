// Simulated recordings through the real program and back: every channel sample,
// every filled position, the WAV file, the GPS records, the images and the
// per-file statistics must be what the simulator says it encoded.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/roundTripSupport.h"

namespace sensconv::roundtrip {
namespace {

toolRun simulate(const fs::path& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--out", "rec", "--truth", "truth", "--quiet"});
    return runBinary(SNSRSIM_BINARY, arguments, dir);
}

toolRun convert(const fs::path& dir, const std::vector<std::string>& arguments) {
    return runBinary(SENSCONV_BINARY, arguments, dir);
}

std::vector<std::string> recordingFiles(const fs::path& dir) {
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(roundTripTest, CleanRecordingConvertsExactly) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    ASSERT_EQ(simulate(root, {"--duration", "40", "--files", "2", "--seed", "5"}).status, 0);
    const toolRun run = convert(root, {"-scandir", "rec", "-outputdir", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(countLines(run.err, "WARNING"), 0) << run.err;
    EXPECT_EQ(countLines(run.err, "ERROR"), 0) << run.err;

    const sessionSummary summary = checkSession(root / "out" / "part_00", root / "truth" / "part_00", true);
    EXPECT_GT(summary.samples, 300000);
    EXPECT_EQ(summary.filledSamples, 0);
    EXPECT_EQ(summary.images, 4);
    EXPECT_GT(summary.gpsBytes, 0);
    EXPECT_FALSE(fs::exists(root / "out" / "part_01"));

    // Naming the files on the command line gives the same session, file for file (the
    // metadata and the WAV file's tags carry the time of the conversion, the summary
    // the command line).
    std::vector<std::string> direct = {"-outputdir", "direct"};
    for (const std::string& file : recordingFiles(root / "rec")) direct.push_back(file);
    ASSERT_EQ(convert(root, direct).status, 0);
    checkSession(root / "direct" / "part_00", root / "truth" / "part_00", true);
    int compared = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "out" / "part_00")) {
        const fs::path name = entry.path().filename();
        if (!entry.is_regular_file() || name == "binaryData.meta" || name == "completeSensorAudio.wav" ||
            name == "session.json")
            continue;
        const fs::path other = root / "direct" / "part_00" / fs::relative(entry.path(), root / "out" / "part_00");
        EXPECT_TRUE(readBytes(entry.path()) == readBytes(other)) << other;
        ++compared;
    }
    EXPECT_GT(compared, 40);
}

TEST(roundTripTest, TimeAnchorsHoldAcrossFileGapsClockDriftAndLostPackets) {
    // Three files with 15 s pauses between them (one session), boards whose clocks run
    // 40 ppm fast and 25 ppm slow against the recorder's, and damage of every kind:
    // session time leaves the pauses out and drifts, the anchors must not.
    scratchDirectory dir;
    const fs::path root(dir.path());
    ASSERT_EQ(simulate(root, {"--duration", "120", "--files", "3", "--file-gap", "15", "--qor2-drift", "40",
                              "--jux-drift", "-25", "--seed", "11", "--drop", "0.01", "--corrupt", "0.005",
                              "--bad-checksum", "0.01"})
                  .status,
              0);
    const toolRun run = convert(root, {"-scandir", "rec", "-outputdir", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fs::exists(root / "out" / "part_01"));
    const sessionSummary summary = checkSession(root / "out" / "part_00", root / "truth" / "part_00", false);
    EXPECT_GT(summary.filledSamples, 0);
    EXPECT_LT(summary.worstAnchorPeriods, 1.0);
}

TEST(roundTripTest, DamagedRecordingIsRepairedWhereTheTruthSays) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    ASSERT_EQ(simulate(root, {"--duration", "60", "--files", "3", "--seed", "9", "--drop", "0.01", "--corrupt",
                                    "0.005", "--bad-checksum", "0.01", "--bad-images", "2"})
                  .status,
              0);
    const toolRun run = convert(root, {"-scandir", "rec"});
    ASSERT_EQ(run.status, 0) << run.err;

    // Without -outputdir the sessions go next to the recording.
    const sessionSummary summary =
        checkSession(root / "rec" / "part_00", root / "truth" / "part_00", false);
    EXPECT_GT(summary.filledSamples, 100);
    EXPECT_EQ(summary.badImages, 2);
    EXPECT_EQ(countLines(run.err, "JPEG CRC error. Dropping image."), 2);
    EXPECT_GT(countLines(run.err, "Packet CRC invalid"), 0);
    EXPECT_GT(countLines(run.err, "SNSR Error mode, found new snsr packet"), 0);
}

TEST(roundTripTest, SessionsWithRollOversAndUnevenRates) {
    // Both boards start in period 254, so each session crosses a 255 -> 0 roll-over
    // on both clocks; the audio rate is not a whole number of samples per tick.
    scratchDirectory dir;
    const fs::path root(dir.path());
    ASSERT_EQ(simulate(root, {"--sessions", "2", "--files", "2", "--duration", "30", "--gap", "120",
                                    "--start-period", "254", "--audio-rate", "11025", "--jux-intmax", "33333",
                                    "--rate", "acc=33.3", "--drop", "0.005", "--seed", "21"})
                  .status,
              0);
    const toolRun run = convert(root, {"-scandir", "rec", "-outputdir", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(countLines(run.err, "Scanning complete, 2 sessions of data were found"), 1);
    EXPECT_EQ(countLines(run.err, "possible wrap around detected in timestamps"), 4);
    for (const char* part : {"part_00", "part_01"}) {
        const sessionSummary summary = checkSession(root / "out" / part, root / "truth" / part, false);
        EXPECT_GT(summary.filledSamples, 0) << part;
        EXPECT_GT(summary.images, 0) << part;
    }
    EXPECT_FALSE(fs::exists(root / "out" / "part_02"));
}

TEST(snsrsimTest, SameSeedGivesTheSameBytes) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    for (const char* name : {"a", "b"}) {
        ASSERT_EQ(runBinary(SNSRSIM_BINARY, {"--out", std::string(name) + "/rec", "--truth", std::string(name) + "/truth",
                                             "--duration", "12", "--files", "2", "--damaged", "--seed", "3"},
                            root)
                      .status,
                  0);
    }
    ASSERT_EQ(runBinary(SNSRSIM_BINARY, {"--out", "c/rec", "--duration", "12", "--files", "2", "--damaged", "--seed", "4"},
                        root)
                  .status,
              0);
    int files = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "a")) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), root / "a");
        EXPECT_TRUE(readBytes(entry.path()) == readBytes(root / "b" / relative)) << relative;
        ++files;
    }
    EXPECT_GT(files, 20);
    const std::vector<std::string> first = recordingFiles(root / "a" / "rec");
    ASSERT_FALSE(first.empty());
    const fs::path sameName = root / "c" / "rec" / fs::path(first[0]).filename();
    ASSERT_TRUE(fs::exists(sameName));
    EXPECT_FALSE(readBytes(first[0]) == readBytes(sameName)) << "another seed gave the same recording";
}

TEST(snsrsimTest, OptionsAreChecked) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    const toolRun help = runBinary(SNSRSIM_BINARY, {"--help"}, root);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: snsrsim [options]"), std::string::npos);

    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } refused[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--seed"}, "option --seed needs a value"},
        {{"--duration", "ten"}, "invalid value 'ten' for --duration"},
        {{"--rate", "acc=20000"}, "too high for the board's clock"},
        {{"--rate", "acc=1.25"}, "invalid value 'acc=1.25' for --rate"},
        {{"--streams", "jux,camera"}, "need the main board"},
        {{"--drop", "0.9"}, "damage rates must be between 0 and 0.5"},
        {{"--gps-messages", "9"}, "invalid value '9' for --gps-messages"},
        {{"--clock-offset", "-1e9"}, "--clock-offset must be within ten years"},
        {{"--start-time", "315964799"}, "the GPS receiver needs a start time after 1980-01-06"},
    };
    for (const auto& c : refused) {
        const toolRun run = runBinary(SNSRSIM_BINARY, c.arguments, root);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_TRUE(fs::is_empty(root)) << "a refused command wrote files";
}

}  // namespace
}  // namespace sensconv::roundtrip
