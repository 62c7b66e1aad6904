// Whole runs of the program over generated recordings: sessions, screening, the header
// check, the trace log and the output files themselves.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/sanitizers.h"
#include "e2e/e2eSupport.h"

namespace sensconv {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::vector<std::string> partDirectories(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory() && name.starts_with("part_")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int64_t audioFrames(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return -1;
    sf_close(file);
    return info.frames;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const std::string screeningBanner =
    "\n# INFO: ------------------\n# INFO: Scanning files to remove obviously bad files\n";

nlohmann::json summaryOf(const std::string& part) {
    std::ifstream in(part + "/session.json");
    return nlohmann::json::parse(in);
}

TEST(conversionE2eTest, SessionSummaryPlacesEverySampleInUtc) {
    // The plan's stamps are exact: the board's first packet is 1 s into the file, and
    // a stamp's whole millisecond leaves the instant within the millisecond after it.
    scratchDirectory dir;
    recordingPlan plan;
    const recordingContents contents = writeRecording(dir / "rec.snsr", plan);
    ASSERT_EQ(runProgram({dir / "rec.snsr"}, dir.path()).status, 0);
    const nlohmann::json summary = summaryOf(dir / "part_00");
    const double zero = (static_cast<double>(plan.fileStartTime) + 1000.5) / 1000.0;
    EXPECT_EQ(summary["files"][0]["headerStart"]["utc"], "2008-12-23T02:40:00.000Z");
    EXPECT_EQ(summary["files"][0]["firstPacket"]["unixMs"], plan.fileStartTime + 1000);
    EXPECT_EQ(summary["start"]["unixMs"], plan.fileStartTime + 1000);
    EXPECT_EQ(summary["end"]["unixMs"], plan.fileStartTime + contents.lastMs);
    EXPECT_EQ(summary["files"][0]["clocks"]["qor2"]["zeroIntervalMs"], 1.0);
    EXPECT_EQ(summary["files"][0]["clocks"]["qor2"]["driftPpm"], 0.0);
    for (const nlohmann::json& channel : summary["channels"]) {
        if (channel["name"] != "audio" && channel["name"] != "compass") continue;
        const bool audio = channel["name"] == "audio";
        EXPECT_EQ(channel["samples"], audio ? contents.audioSamples : contents.compassSamples);
        EXPECT_EQ(channel["rate"], audio ? 100.0 : 4.0);
        ASSERT_EQ(channel["anchors"].size(), 1u);
        EXPECT_EQ(channel["anchors"][0]["index"], 0);
        EXPECT_DOUBLE_EQ(channel["anchors"][0]["unixSeconds"].get<double>(), zero);
        EXPECT_EQ(channel["first"]["unixMs"], plan.fileStartTime + 1000);
    }

    // A damaged header's start time at the end of the range still gives a summary
    // that its schema accepts (runProgram checks it), with times at the range's end.
    scratchDirectory far;
    plan.fileStartTime = UINT64_MAX - 1000;
    writeRecording(far / "rec.snsr", plan);
    ASSERT_EQ(runProgram({far / "rec.snsr"}, far.path()).status, 0);
    EXPECT_EQ(summaryOf(far / "part_00")["files"][0]["lastPacket"]["utc"], "9999-12-31T23:59:59.999Z");
}

TEST(conversionE2eTest, OneRecordingIsConvertedCompletely) {
    scratchDirectory dir;
    recordingPlan plan;
    plan.images = {imageBytes};
    const recordingContents contents = writeRecording(dir / "rec.snsr", plan);

    const programRun run = runProgram({dir / "rec.snsr"}, dir.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "# INFO: Data will be created in directory: " + dir.path() + "\n" + screeningBanner +
                           "# INFO: File [  1]            Opened, \"" + dir / "rec.snsr" + "\"\n"
                           "\n# INFO: ------------------\n"
                           "# INFO: Processing Session  1 of  1\n"
                           "# INFO: Creating output directory:\n"
                           "# INFO: \"" + dir / "part_00" + "\"\n"
                           "# INFO: Session  1, Processing File   1 of   1 (total)\n"
                           "# INFO: Creating image output directory\n"
                           "# INFO: Session  1 of  1 completed\n"
                           "# INFO: ------------------\n");

    const std::string part = dir / "part_00/";
    EXPECT_EQ(fs::file_size(part + "binaryData_compass.bin"), 4u * static_cast<unsigned>(contents.compassSamples));
    EXPECT_TRUE(
        readWhole(part + "binaryData_compass.meta").starts_with("\"NumSamples\",16\n\"SampleRate\",4.000000\n"));
    EXPECT_EQ(fs::file_size(part + "binaryData_BarPres.bin"), 0u);
    EXPECT_FALSE(fs::exists(part + "binaryData_audio.bin"));
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(part + "sirfGPSOutput.bin")), contents.gpsFileBytes);
    EXPECT_EQ(audioFrames(part + "completeSensorAudio.wav"), contents.audioSamples);
    EXPECT_EQ(fs::file_size(part + "images/00000003750.jpg"), imageBytes);
    const std::string meta = readWhole(part + "binaryData.meta");
    EXPECT_TRUE(contains(meta, "\"#FileStart\",01\n")) << meta;
    EXPECT_TRUE(contains(meta, "\"snsr_numParsedPackets\",49\n")) << meta;
    EXPECT_TRUE(contains(meta, "\"#FileEnd\",01\n")) << meta;
}

TEST(conversionE2eTest, OutputDirectoryAndImagesWithoutSubDirectory) {
    scratchDirectory dir;
    recordingPlan plan;
    plan.images = {imageBytes};
    writeRecording(dir / "rec.snsr", plan);
    // The output directory and its parents are made as needed.
    const programRun run = runProgram({"-NoWriteImageSubDir", "-outputdir", "out/deeper", "rec.snsr"}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.starts_with("# INFO: not writing images to 'images' sub directory\n"
                                    "# INFO: Data will be created in directory: out/deeper/\n"
                                    "# INFO: Data will be created in directory: out/deeper/\n"))
        << run.err;
    EXPECT_FALSE(contains(run.err, "Creating image output directory"));
    EXPECT_TRUE(contains(run.err, "# INFO: \"out/deeper/part_00\"\n"));
    EXPECT_EQ(fs::file_size(dir / "out/deeper/part_00/00000003750.jpg"), imageBytes);
    EXPECT_FALSE(fs::exists(dir / "out/deeper/part_00/images"));
    EXPECT_FALSE(fs::exists(dir / "part_00"));
}

TEST(conversionE2eTest, ScannedDirectoryWithThreeSessions) {
    scratchDirectory dir;
    fs::create_directory(dir / "data");
    const uint64_t hour = 3600 * 1000;
    for (int i = 0; i < 3; ++i) {
        recordingPlan plan;
        plan.fileStartTime = 1230000000000 + static_cast<uint64_t>(i) * hour;
        writeRecording(dir / ("data/rec" + std::to_string(i) + ".snsr"), plan);
    }
    writeRecording(dir / "ignored.snsr");
    const programRun run = runProgram({"ignored.snsr", "-scandir", "data"}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO: Scanning complete, 3 sessions of data were found and will be processed\n"));
    EXPECT_TRUE(contains(run.err, "# INFO: Changing output directory to scan directory, data/\n"));
    EXPECT_TRUE(contains(run.err, "# INFO: Processing Session  3 of  3\n"));
    EXPECT_TRUE(contains(run.err, "# INFO: Session  3, Processing File   3 of   3 (total)\n"));
    EXPECT_FALSE(contains(run.err, "ignored.snsr"));
    EXPECT_EQ(partDirectories(dir / "data"), (std::vector<std::string>{"part_00", "part_01", "part_02"}));
    EXPECT_TRUE(partDirectories(dir.path()).empty());
    for (const char* part : {"data/part_00/", "data/part_01/", "data/part_02/"}) {
        EXPECT_EQ(fs::file_size(dir / part + "binaryData_compass.bin"), 64u) << part;
        const std::string meta = readWhole(dir / part + "binaryData.meta");
        EXPECT_TRUE(contains(meta, "\"#FileStart\",01\n") && !contains(meta, "\"#FileStart\",02\n")) << part;
    }
}

// Three recordings of 3.75 s each; the second starts secondGapMs after the first ends.
std::vector<std::string> sessionsOf(int64_t secondGapMs, const std::vector<std::string>& options = {}) {
    scratchDirectory dir;
    recordingPlan plan;
    const recordingContents first = writeRecording(dir / "a.snsr", plan);
    const uint64_t firstEnd = plan.fileStartTime + first.lastMs;
    plan.fileStartTime = static_cast<uint64_t>(static_cast<int64_t>(firstEnd) + secondGapMs) - first.firstMs;
    const recordingContents second = writeRecording(dir / "b.snsr", plan);
    plan.fileStartTime += second.lastMs;  // the third starts exactly where the second ends
    writeRecording(dir / "c.snsr", plan);

    std::vector<std::string> arguments = options;
    arguments.insert(arguments.end(), {"-scandir", dir.path()});
    const programRun run = runProgram(arguments, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    return partDirectories(dir.path());
}

TEST(conversionE2eTest, SessionsSplitOnlyWhereTheGapExceedsTheMaximum) {
    EXPECT_EQ(sessionsOf(60000), (std::vector<std::string>{"part_00"}));
    EXPECT_EQ(sessionsOf(60001), (std::vector<std::string>{"part_00", "part_01"}));
    EXPECT_EQ(sessionsOf(-60001), (std::vector<std::string>{"part_00", "part_01"}));
    EXPECT_EQ(sessionsOf(60001, {"-maxGap_sec", "60.001"}), (std::vector<std::string>{"part_00"}));
    EXPECT_EQ(sessionsOf(0, {"-maxGap_sec", "-1"}), (std::vector<std::string>{"part_00", "part_01", "part_02"}));
}

TEST(conversionE2eTest, UnusableFilesAreDroppedAndTheRestConverted) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr");
    writeBytes(dir / "b.snsr", 1023);
    writeBytes(dir / "c.snsr", 4000);  // no container header
    writeRecording(dir / "d.SNSR");
    writeBytes(dir / "notes.txt", 4000);
    const programRun run = runProgram({"-scandir", "."}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO: Found   4 .snsr files in directory\n")) << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO: File [  2]        Too small!, \"./b.snsr\"\n")) << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO: Scanning   2 of   3, \"./c.snsr\"\n"
                                  "# INFO: Rejecting file   2, SNSR file error\n"
                                  "# INFO: Scanning   2 of   2, \"./d.SNSR\"\n"))
        << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO:\n# INFO: Session  1:  \"./a.snsr\" \"./d.SNSR\"\n")) << run.err;
    EXPECT_EQ(partDirectories(dir.path()), std::vector<std::string>{"part_00"});
    EXPECT_EQ(fs::file_size(dir / "part_00/binaryData_compass.bin"), 128u);
}

TEST(conversionE2eTest, HeaderMismatchEndsTheRunBeforeAnyOutput) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr");
    recordingPlan plan;
    plan.qor2Version = 2;
    writeRecording(dir / "b.snsr", plan);
    const programRun run = runProgram({"b.snsr", "a.snsr"}, dir.path());
    EXPECT_EQ(run.status, 255);
    const std::string p = "# ERROR: File   2 ";
    EXPECT_TRUE(run.err.ends_with("# INFO: Comparing file headers\n" +
                                  p + " SNSR Header's meta data fields are not equal!\n" +
                                  p + " SNSR Header->Stream QOR2 type            QOR2 vs       QOR2d\n" +
                                  p + " SNSR Header->Stream QOR2 id        0x32726F71 vs 0x32726F71\n" +
                                  p + " SNSR Header->Stream QOR2 ver                1 vs          2\n" +
                                  p + " SNSR Header->Stream QOR2 len                0 vs          0\n" +
                                  p + " SNSR Header->Stream QOR2 num_atoms         17 vs         17\n" +
                                  p + " SNSR Header->Stream QOR2 _active            1 vs          1\n"
                                  "# ERROR: Exiting\n"))
        << run.err;
    EXPECT_TRUE(partDirectories(dir.path()).empty());
}

// A file that screening keeps but whose header is no header ends the run when the
// conversion reaches it: bytes without the container's mark, and a header whose
// counts and sizes promise gigabytes, which must not cost more than the bytes that
// are there.
TEST(conversionE2eTest, SingleFileWithoutValidHeaderEndsWithMinusOne) {
    scratchDirectory dir;
    writeBytes(dir / "bad.snsr", 2000);
    containerBuilder hostile;
    hostile.addRawAtom("blob", 'c', std::vector<uint8_t>(2000, 1), 0xFFFFFFF0u);
    ASSERT_TRUE(hostile.writeFile(dir / "hostile.snsr"));
    for (const std::string name : {"bad.snsr", "hostile.snsr"}) {
        const programRun run = runProgram({name}, dir.path());
        EXPECT_EQ(run.status, 255) << name;
        EXPECT_TRUE(run.err.ends_with("# INFO: Session  1, Processing File   1 of   1 (total)\n"
                                      "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n"
                                      "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n"
                                      "# ERROR: packetReader was unable to process file " + name + "\n"
                                      "# ERROR: Exiting\n"))
            << run.err;
        EXPECT_EQ(run.problemLines(), "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n"
                                      "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n"
                                      "# ERROR: packetReader was unable to process file " + name + "\n"
                                      "# ERROR: Exiting\n");
        // Nothing was written, so nothing is left: no folder, finished or not.
        EXPECT_FALSE(fs::exists(dir / "part_00")) << name;
        EXPECT_TRUE(incompleteFolders(dir.path(), "part_00").empty()) << name;
        if (!threadSanitizer) { EXPECT_LT(run.peakResidentKiB, 64 * 1024 + sanitizerAllowanceKiB) << name; }
    }
}

TEST(conversionE2eTest, TraceLogShowsProgressAndTheFinalState) {
    scratchDirectory dir;
    fs::create_directory(dir / "data");
    writeRecording(dir / "data/a.snsr");
    writeRecording(dir / "data/b c.snsr");
    const programRun run = runProgram({"-writeTraceLog", "-writeTraceFiles", "-outputdir", "out", "data/b c.snsr",
                                       "data/a.snsr"},
                                      dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO: Trace log output will be placed in:\n# INFO:  data/\n"
                                  "\n# INFO: ------------------\n# INFO: Processing Session  1 of  1\n"))
        << run.err;
    // The final log is in out/; the running one next to the data is brought to the
    // same end, rather than saying for ever that the last file is being processed.
    // Both name the directory where the output really went.
    const std::string finished = "\"data/a.snsr\",0,\"completed\",\"out/part_00\"\r\n"
                                 "\"data/b c.snsr\",0,\"completed\",\"out/part_00\"\r\n";
    EXPECT_EQ(readWhole(dir / "out/trace.log"), finished);
    EXPECT_EQ(readWhole(dir / "data/trace.log"), finished);
    EXPECT_FALSE(fs::exists(dir / "data/a.snsr.processing"));
    EXPECT_FALSE(fs::exists(dir / "data/b c.snsr.processing"));

    // A run that a decoding error ends leaves the running log at the file where it
    // stopped, and writes no final one.
    recordingPlan wrap;
    wrap.firstPeriod = 200;
    wrap.lastQor2Packets = {boardPacketBuilder::qor2Sensor(0, 0x08, 3, 0, {})};
    writeRecording(dir / "data/wrap.snsr", wrap);
    EXPECT_EQ(runProgram({"-writeTraceLog", "-outputdir", "stopped", "data/a.snsr", "data/wrap.snsr"}, dir.path()).status,
              245);
    EXPECT_EQ(readWhole(dir / "data/trace.log"), "\"data/a.snsr\",0,\"completed\",\"stopped/part_00\"\r\n"
                                                 "\"data/wrap.snsr\",0,\"processing\",\"stopped/part_00\"\r\n");
    EXPECT_FALSE(fs::exists(dir / "stopped/trace.log"));

    // Without -outputdir both logs are the same file.
    EXPECT_EQ(runProgram({"-writeTraceLog", "data/a.snsr"}, dir.path()).status, 0);
    EXPECT_EQ(readWhole(dir / "data/trace.log"), "\"data/a.snsr\",0,\"completed\",\"data/part_00\"\r\n");
}

TEST(conversionE2eTest, TraceLogInTheWayDoesNotChangeTheConversion) {
    scratchDirectory dir;
    fs::create_directories(dir / "data/trace.log/blocked");  // a directory where the running log should go
    writeRecording(dir / "data/a.snsr");
    writeRecording(dir / "data/b.snsr");
    const programRun run = runProgram({"-writeTraceLog", "-outputdir", "out", "data/a.snsr", "data/b.snsr"},
                                      dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "# INFO: Session  1, Processing File   1 of   2 (total)\n"
                                  "# WARNING: Trace log data/trace.log is a link or not a plain file, going on without it\n"
                                  "# INFO: Session  1, Processing File   2 of   2 (total)\n"
                                  "# WARNING: Trace log data/trace.log is a link or not a plain file, going on without it\n"
                                  "# INFO: Session  1 of  1 completed\n"))
        << run.err;
    EXPECT_EQ(fs::file_size(dir / "out/part_00/binaryData_compass.bin"), 128u);
    EXPECT_EQ(readWhole(dir / "out/trace.log"), "\"data/a.snsr\",0,\"completed\",\"out/part_00\"\r\n"
                                                "\"data/b.snsr\",0,\"completed\",\"out/part_00\"\r\n");
}

TEST(conversionE2eTest, LostOutputEndsTheRunWithMinusOne) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr");
    // Every file is limited to 100 bytes: the WAV file and binaryData.meta cannot be written whole.
    runOptions limited;
    limited.fileSizeLimit = 100;
    const programRun run = runProgram({"a.snsr"}, dir.path(), limited);
    EXPECT_EQ(run.status, 255);
    // The session stays under its unfinished name, and the lines say where.
    EXPECT_FALSE(fs::exists(dir / "part_00"));
    const std::vector<std::string> left = incompleteFolders(dir.path(), "part_00");
    ASSERT_EQ(left.size(), 1u);
    const std::string folder = "./" + fs::path(left[0]).filename().string();
    EXPECT_TRUE(contains(run.err, "# ERROR: Unable to write output file " + folder + "/")) << run.err;
    EXPECT_TRUE(run.err.ends_with("# ERROR: Session  1 is incomplete, its output is in " + folder + "\n"
                                  "# INFO: Session  1 of  1 completed\n# INFO: ------------------\n"
                                  "# ERROR: Some output could not be written, see the errors above\n"
                                  "# ERROR: Exiting\n"))
        << run.err;
    EXPECT_EQ(fs::file_size(left[0] + "/binaryData_compass.bin"), 64u);
}

// The decoder reports a wrong board clock (-11) or a gap beyond the repair limit (-3);
// the program says where the unfinished session is, closes with the usual line and
// that status, and the session stays as far as it had come under its incomplete name:
// samples handed to the disk are there, nothing is finished.
TEST(conversionE2eTest, DecoderFailureEndsTheRunWithItsStatusLeavingTheSessionUnfinished) {
    scratchDirectory dir;
    const auto unfinishedSession = [&dir](const std::string& output) {
        EXPECT_FALSE(fs::exists(dir / (output + "/part_00")));
        const std::vector<std::string> left = incompleteFolders(dir / output, "part_00");
        EXPECT_EQ(left.size(), 1u);
        return left.empty() ? std::string() : left[0];
    };
    recordingPlan wrap;
    wrap.firstPeriod = 200;
    wrap.lastQor2Packets = {boardPacketBuilder::qor2Sensor(0, 0x08, 3, 0, {})};
    writeRecording(dir / "wrap.snsr", wrap);
    programRun run = runProgram({"-outputdir", "wrap/", "wrap.snsr"}, dir.path());
    EXPECT_EQ(run.status, 245);
    std::string left = unfinishedSession("wrap");
    const std::string wrapFolder = "wrap/" + fs::path(left).filename().string();
    EXPECT_EQ(run.errorLines(), "# ERROR: This wrap around was not a 255->0 roll over event\n"
                                "# ERROR: If you want to ignore this use -ignoreRollover, this may result in corrupt "
                                "files\n# ERROR: Session  1 is incomplete, its output is in " + wrapFolder +
                                "\n# ERROR: Exiting\n");
    EXPECT_TRUE(run.err.ends_with("# INFO: Interrupt max:    1000. Previous:  200 ts,   375 int, current:    3 ts,     0 "
                                  "int\n" + run.errorLines()));
    EXPECT_EQ(fs::file_size(left + "/binaryData_compass.bin"), 64u);
    EXPECT_EQ(fs::file_size(left + "/binaryData_compass.meta"), 0u);
    EXPECT_FALSE(fs::exists(left + "/binaryData.meta"));

    // An audio packet 255 periods (255,000 ticks, one sample each) after the last one.
    recordingPlan gap;
    gap.lastQor2Packets = {boardPacketBuilder::qor2Audio(255, 0, {32768})};
    writeRecording(dir / "gap.snsr", gap);
    run = runProgram({"-outputdir", "gap/", "gap.snsr"}, dir.path());
    EXPECT_EQ(run.status, 253) << run.err;
    left = unfinishedSession("gap");
    EXPECT_EQ(run.errorLines(), "# ERROR: Too many missing samples to output, input is badly corrupted!\n"
                                "# ERROR: Session  1 is incomplete, its output is in gap/" +
                                fs::path(left).filename().string() + "\n# ERROR: Exiting\n");
    EXPECT_TRUE(run.err.ends_with("Filling 254599 missing samples for field qor2/audio\n" + run.errorLines()));
    EXPECT_EQ(fs::file_size(left + "/binaryData_compass.bin"), 64u);
    EXPECT_FALSE(fs::exists(left + "/binaryData.meta"));
}

}  // namespace
}  // namespace sensconv
