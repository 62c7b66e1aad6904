// The real program where output could be lost without a word: images behind a failed
// check, the audio of a run that ends in the middle, sessions that must survive a
// power loss and be readable by colleagues.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include "common/littleEndian.h"
#include "container/packetReader.h"
#include "e2e/roundTripSupport.h"
#include "hardeningSupport.h"

namespace sensconv::hardening {
namespace {

namespace fs = std::filesystem;

// The camera stream of a session's files, in order, as the recorder sent it.
std::vector<uint8_t> cameraStream(const std::vector<std::string>& files) {
    std::vector<uint8_t> stream;
    for (const std::string& path : files) {
        packetReader reader(path);
        snsrPacket packet;
        while (reader.hasData()) {
            if (reader.readPacket(packet) == packetReader::readResult::delivered && packet.type == streamCAMERA && packet.data != nullptr) {
                stream.insert(stream.end(), packet.data, packet.data + packet.length);
            }
        }
    }
    return stream;
}

// The images of a camera stream that carry their start and a check segment whose
// CRC-32 is right, and the number of those whose CRC is wrong.
struct streamImages {
    std::set<std::vector<uint8_t>> good;
    int bad = 0;
};

streamImages imagesIn(const std::vector<uint8_t>& stream) {
    streamImages found;
    const auto marker = [&stream](size_t at, uint8_t second) {
        return at + 1 < stream.size() && stream[at] == 0xFF && stream[at + 1] == second;
    };
    for (size_t start = 0; start < stream.size(); ++start) {
        if (!marker(start, 0xD8)) continue;
        size_t check = start + 2;
        while (check < stream.size() && !marker(check, 0xEF) && !marker(check, 0xD8)) ++check;
        if (!marker(check, 0xEF) || check + 8 > stream.size()) continue;
        const auto crc = static_cast<uint32_t>(crc32(0, stream.data() + start, static_cast<uInt>(check + 4 - start)));
        if (crc == readLE32(stream.data() + check + 4)) {
            found.good.emplace(stream.begin() + static_cast<long>(start), stream.begin() + static_cast<long>(check + 8));
        } else {
            ++found.bad;
        }
    }
    return found;
}

std::set<std::vector<uint8_t>> imagesWritten(const std::string& folder) {
    std::set<std::vector<uint8_t>> images;
    if (!fileExists(folder)) return images;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string bytes = readWhole(entry.path().string());
        images.emplace(bytes.begin(), bytes.end());
    }
    return images;
}

// A recording's files in name order, which is time order.
std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// The recorder starts each image right behind the previous one's check segment, in
// the same packet: one failed check must cost that image alone, also for a file
// converted without the one before it (whose first image began in that one).
TEST(nothingLostTest, EveryImageWhoseCheckIsRightIsWritten) {
    scratchDirectory dir;
    ASSERT_EQ(runBinary(SNSRSIM_BINARY, {"--out", "rec", "--duration", "80", "--files", "2", "--quiet"},
                        dir.path())
                  .status,
              0);
    const std::vector<std::string> files = filesIn(dir / "rec");
    ASSERT_EQ(files.size(), 2u);
    // One byte of the first file's second image spoiled, 100 bytes before its check.
    {
        std::string bytes = readWhole(files[0]);
        std::vector<size_t> checksThenStarts;
        for (size_t at = bytes.find("\xFF\xEF"); at != std::string::npos; at = bytes.find("\xFF\xEF", at + 1)) {
            if (bytes.compare(at + 8, 2, "\xFF\xD8") == 0) checksThenStarts.push_back(at);
        }
        ASSERT_GE(checksThenStarts.size(), 2u);
        bytes[checksThenStarts[1] - 100] ^= 0x01;
        std::ofstream(files[0], std::ios::binary | std::ios::trunc) << bytes;
    }

    for (const std::vector<std::string>& session : {files, std::vector<std::string>{files[1]}}) {
        const std::string out = dir / ("out" + std::to_string(session.size()));
        std::vector<std::string> arguments = session;
        arguments.insert(arguments.end(), {"-outputdir", out});
        const programRun run = runProgram(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        const streamImages expected = imagesIn(cameraStream(session));
        ASSERT_GE(expected.good.size(), 3u);
        std::set<std::vector<uint8_t>> written = imagesWritten(out + "/part_00/images");
        for (const std::vector<uint8_t>& image : expected.good) EXPECT_EQ(written.count(image), 1u);
        // The image still being written at the end (no start behind it closed it) is
        // kept and counted apart; here it is whole.
        const nlohmann::json summary = nlohmann::json::parse(readWhole(out + "/part_00/session.json"));
        EXPECT_EQ(written.size(), expected.good.size());
        EXPECT_EQ(summary["images"]["unchecked"], 1);
        EXPECT_EQ(summary["images"]["good"], expected.good.size() - 1);
        EXPECT_EQ(expected.bad, session.size() == 2 ? 1 : 0);
        EXPECT_EQ(summary["images"]["bad"], expected.bad);
        EXPECT_EQ(run.linesStartingWith("# WARNING: JPEG CRC error"), "# WARNING: JPEG CRC error. Dropping image.\n");
        EXPECT_EQ(run.linesStartingWith("# WARNING: jpegDumpFile"), "");
    }
}

std::vector<int16_t> wavSamples(const std::string& path, sf_count_t& headerFrames) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<int16_t> samples(static_cast<size_t>(info.frames));
    samples.resize(static_cast<size_t>(sf_read_short(file, samples.data(), info.frames)));
    sf_close(file);
    headerFrames = info.frames;
    return samples;
}

// A run that a decoding error ends keeps the audio up to there, as far as a writer that
// hands it on about 20,350 samples at a time had handed it on, under a whole header.
TEST(nothingLostTest, FatalEndKeepsTheAudioInTheWav) {
    scratchDirectory dir;
    recordingPlan plan = everyStream();  // 63 samples a packet
    plan.seconds = 40;                   // 25,200 samples
    ASSERT_TRUE(recording(plan).writeFile(dir / "whole.snsr"));
    // The period counter runs backwards after the last packet.
    plan.lastQor2Packets = {boardPacketBuilder::qor2Sensor(1, 0xFF, 0, 100, qor2SensorFields{})};
    ASSERT_TRUE(recording(plan).writeFile(dir / "ended.snsr"));
    ASSERT_EQ(runProgram({"-outputdir", dir / "whole", dir / "whole.snsr"}).status, 0);
    const programRun fatal = runProgram({"-outputdir", dir / "ended", dir / "ended.snsr"});
    ASSERT_EQ(fatal.status, 245) << fatal.err;
    const std::vector<std::string> kept = testing_support::incompleteFolders(dir / "ended", "part_00");
    ASSERT_EQ(kept.size(), 1u);

    sf_count_t frames = 0;
    const std::vector<int16_t> whole = wavSamples(dir / "whole/part_00/completeSensorAudio.wav", frames);
    ASSERT_EQ(whole.size(), 25200u);
    const std::vector<int16_t> ended = wavSamples(kept[0] + "/completeSensorAudio.wav", frames);
    constexpr size_t handedOn = 323 * 63;  // the next batch would pass 20,352
    EXPECT_EQ(frames, static_cast<sf_count_t>(handedOn));
    EXPECT_EQ(ended, std::vector<int16_t>(whole.begin(), whole.begin() + handedOn));
    // The other files keep what they had: every channel's samples, no binaryData.meta.
    EXPECT_EQ(fileSizeOf(kept[0] + "/binaryData_accel.bin"), fileSizeOf(dir / "whole/part_00/binaryData_accel.bin"));
    EXPECT_FALSE(fileExists(kept[0] + "/binaryData.meta"));
}

// A session takes its final name only once all of it is on stable storage, and the
// name reaches it right after: strace shows a flush of every file and folder before
// the rename, and one of the output folder after it, also when a session is replaced.
TEST(nothingLostTest, SessionsReachTheDiskBeforeAndAfterTheirRename) {
    scratchDirectory dir;
    ASSERT_TRUE(recording().writeFile(dir / "a.snsr"));
    if (!fileExists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    runOptions traced;
    traced.wrapper = {"/usr/bin/strace", "-f", "-y", "-o", dir / "calls", "-E", "ASAN_OPTIONS=detect_leaks=0",
                      "-e", "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2"};
    const std::string out = dir / "out";
    const std::string part = out + "/part_00";
    for (const char* how : {"RENAME_NOREPLACE", "RENAME_EXCHANGE"}) {
        const programRun run = runProgram({"-outputdir", out, dir / "a.snsr"}, "", traced);
        if (run.status != 0 && run.err.find("ptrace") != std::string::npos) GTEST_SKIP() << run.err;
        ASSERT_EQ(run.status, 0) << run.err;
        std::istringstream lines(readWhole(dir / "calls"));
        std::string staged;
        std::set<std::string> flushedBefore;
        std::set<std::string> flushedAfter;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("rename") != std::string::npos && line.find("\"" + part + "\", " + how) != std::string::npos) {
                const size_t from = line.find('"') + 1;
                staged = line.substr(from, line.find('"', from) - from);
            } else if (line.find("fsync(") != std::string::npos && line.ends_with("= 0")) {
                const size_t from = line.find('<') + 1;
                (staged.empty() ? flushedBefore : flushedAfter).insert(line.substr(from, line.find('>', from) - from));
            }
        }
        ASSERT_FALSE(staged.empty()) << how;
        EXPECT_EQ(flushedBefore.count(staged), 1u);
        size_t entries = 0;
        for (const auto& entry : fs::recursive_directory_iterator(part)) {
            ++entries;
            EXPECT_EQ(flushedBefore.count(staged + "/" + fs::relative(entry.path(), part).string()), 1u) << entry.path();
        }
        EXPECT_GE(entries, 10u);
        EXPECT_EQ(flushedAfter.count(out), 1u) << how;
    }
    // A session of many small images: one flush of the whole file system before the rename.
    ASSERT_EQ(runBinary(SNSRSIM_BINARY, {"--out", "images", "--duration", "90", "--image-interval", "1",
                                         "--image-size", "64x48", "--quiet"},
                        dir.path())
                  .status,
              0);
    const programRun run = runProgram({"-scandir", dir / "images", "-outputdir", dir / "many"}, "", traced);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string calls = readWhole(dir / "calls");
    const size_t rename = calls.find("\"" + (dir / "many/part_00") + "\", RENAME_NOREPLACE");
    ASSERT_NE(rename, std::string::npos) << calls;
    const size_t syncfs = calls.find("syncfs(");
    EXPECT_LT(syncfs, rename);
    EXPECT_NE(calls.find(dir / "many/part_00.incomplete-", syncfs), std::string::npos);
    EXPECT_NE(calls.find("fsync(", rename), std::string::npos);
}

// Built in a folder for its owner alone, a finished session is opened to whom the
// user's mask lets in, as a folder made with mkdir would be.
TEST(nothingLostTest, FinishedSessionsFollowTheUsersMask) {
    scratchDirectory dir;
    ASSERT_TRUE(recording().writeFile(dir / "a.snsr"));
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
        const mode_t saved = ::umask(mask);
        const std::string out = dir / ("out" + std::to_string(mask));
        const programRun run = runProgram({"-outputdir", out, dir / "a.snsr"});
        ::umask(saved);
        ASSERT_EQ(run.status, 0) << run.err;
        struct stat info {};
        ASSERT_EQ(::stat((out + "/part_00").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0777 & ~mask) << std::oct << mask;
        ASSERT_EQ(::stat((out + "/part_00/images").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0777 & ~mask) << std::oct << mask;
    }
}

// A read that fails while the sessions are planned would plan them on part of a file:
// the run ends there, naming the file and the offset, before anything is written.
TEST(nothingLostTest, ReadErrorWhilePlanningEndsTheRun) {
    scratchDirectory dir;
    ASSERT_EQ(runBinary(SNSRSIM_BINARY, {"--out", "rec", "--quiet", "--files", "2", "--duration", "200"},
                        dir.path())
                  .status,
              0);
    if (!fileExists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    const std::string second = filesIn(dir / "rec")[1];
    runOptions injected;
    // Without -f only the planning thread's reads are counted: the fifth read of the
    // second file is one of the plan's.
    injected.wrapper = {"/usr/bin/strace", "-o", dir / "calls", "-E", "ASAN_OPTIONS=detect_leaks=0",
                        "-e", "inject=read:error=EIO:when=5", "-P", second};
    const programRun run = runProgram({"-scandir", dir / "rec", "-outputdir", dir / "out"}, "", injected);
    if (run.err.find("ptrace") != std::string::npos) GTEST_SKIP() << run.err;
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.problemLines(), "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n"
                                  "# ERROR: Unable to read " + second + " at offset 1048576 (Input/output error)\n"
                                  "# ERROR: Exiting\n")
        << run.err;
    EXPECT_FALSE(fileExists(dir / "out"));
}

// What an output folder holds: its entries' names, staging names made alike.
std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(std::regex_replace(entry.path().filename().string(), std::regex("incomplete-.{6}$"),
                                           "incomplete-XXXXXX"));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Asked to end, a run stops the sessions being built where they stand, children
// included, says which stay incomplete and where, and ends by the signal; a later run
// names what it left. A session process that crashes is named by its parent, which
// ends as after a fatal error.
TEST(nothingLostTest, EndingRequestsLeaveWordAndNoOrphans) {
    scratchDirectory dir;
    ASSERT_EQ(runBinary(SNSRSIM_BINARY,
                        {"--out", "rec", "--quiet", "--sessions", "3", "--files", "1", "--duration", "1200",
                         "--gap", "3600", "--seed", "5"},
                        dir.path())
                  .status,
              0);
    const auto endedAfterStart = [&dir](const std::string& out, const std::string& jobs, int signal, bool child) {
        runOptions stopped;
        bool sent = false;
        stopped.watchStandardError = [&](pid_t pid, const std::string& err) {
            if (sent || err.find("# INFO: Comparing file headers") == std::string::npos) return;
            sent = true;
            // Once the first session has its first file (however slow the build under test:
            // a session stopped before it wrote anything leaves nothing to report).
            const auto begun = [&] {
                const std::vector<std::string> staged = testing_support::incompleteFolders(dir / out, "part_00");
                std::error_code error;
                return !staged.empty() && !fs::is_empty(staged.front(), error) && !error;
            };
            for (int wait = 0; wait < 400 && !begun(); ++wait) ::usleep(25000);
            ::usleep(100000);
            pid_t target = pid;
            if (child) {
                std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
                children >> target;
            }
            ::kill(target, signal);
        };
        programRun run = runProgram({"-scandir", dir / "rec", "-outputdir", dir / out, "-jobs", jobs}, "", stopped);
        ::usleep(1500000);  // anything still running would go on writing meanwhile
        return run;
    };
    std::vector<std::string> oneAtATime;
    for (const char* jobs : {"1", "3"}) {
        const std::string out = std::string("stopped") + jobs;
        const programRun run = endedAfterStart(out, jobs, SIGTERM, false);
        EXPECT_EQ(run.status, -SIGTERM) << jobs << run.err;
        const std::vector<std::string> left = testing_support::incompleteFolders(dir / out, "part_00");
        ASSERT_EQ(left.size(), 1u) << jobs << run.err;
        EXPECT_TRUE(run.err.ends_with("# ERROR: Session  1 is incomplete, its output is in " + left[0] +
                                      "\n# ERROR: Stopped by signal 15 (Terminated)\n"))
            << jobs << run.err;
        const std::vector<std::string> entries = entriesOf(dir / out);
        EXPECT_EQ(entries, std::vector<std::string>{"part_00.incomplete-XXXXXX"}) << jobs;
        ::usleep(500000);
        EXPECT_EQ(entriesOf(dir / out), entries) << "nothing goes on writing, -jobs " << jobs;
        EXPECT_EQ(testing_support::incompleteFolders(dir / out, "part_00"), left);
    }
    const programRun next = runProgram({"-scandir", dir / "rec", "-outputdir", dir / "stopped1"});
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.linesStartingWith("# WARNING"),
              "# WARNING: " + testing_support::incompleteFolders(dir / "stopped1", "part_00")[0] +
                  " was left incomplete by an earlier run that was stopped\n");

    // (Killed from outside: a sanitizer build would take a SIGSEGV for its own crash.)
    const programRun crashed = endedAfterStart("crashed", "3", SIGKILL, true);
    EXPECT_EQ(crashed.status, 255) << crashed.err;
    const std::vector<std::string> left = testing_support::incompleteFolders(dir / "crashed", "part_00");
    ASSERT_EQ(left.size(), 1u) << crashed.err;
    EXPECT_TRUE(crashed.err.ends_with("# ERROR: The conversion of session  1 ended by signal 9 (Killed)\n"
                                      "# ERROR: Session  1 is incomplete, its output is in " + left[0] +
                                      "\n# ERROR: Exiting\n"))
        << crashed.err;
    EXPECT_EQ(entriesOf(dir / "crashed"), std::vector<std::string>{"part_00.incomplete-XXXXXX"});
}

}  // namespace
}  // namespace sensconv::hardening
