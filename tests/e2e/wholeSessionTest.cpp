// The real program where data could be lost or mixed while the run still looks fine:
// inputs that fail or shrink while they are read, output folders of earlier or
// concurrent runs, runs killed half-way, closed standard streams and links planted
// where the program writes. Every case either ends with a non-zero status or leaves
// exactly what a clean run leaves.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "container/packetReader.h"
#include "driver/driverTestSupport.h"
#include "e2e/roundTripSupport.h"
#include "hardeningSupport.h"

namespace sensconv::hardening {
namespace {

namespace fs = std::filesystem;
using testing_support::incompleteFolders;

const std::string inputLostEnd =
    "# ERROR: Some input could not be read completely, see the errors above\n"
    "# ERROR: Exiting\n";

// binaryData.meta without the lines that tell when the conversion ran.
std::string metaWithoutProcessingTimes(const std::string& path) {
    std::istringstream lines(readWhole(path));
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("\"processingDate", 0) != 0) kept += line + "\n";
    }
    return kept;
}

// The WAV file without the date it was created on (its ICRD chunk's text).
std::string wavWithoutCreationDate(const std::string& path) {
    std::string bytes = readWhole(path);
    const size_t chunk = bytes.find("ICRD");
    if (chunk != std::string::npos && chunk + 8 <= bytes.size()) {
        const size_t size = static_cast<unsigned char>(bytes[chunk + 4]);
        bytes.replace(chunk + 8, std::min(size, bytes.size() - chunk - 8), std::min(size, bytes.size() - chunk - 8), '?');
    }
    return bytes;
}

// What differs between two converted session folders (file names, then contents);
// empty when they hold the same files with the same bytes.
// session.json names the command line, which differs between the runs compared.
std::string summaryWithoutCommandLine(const std::string& path) {
    nlohmann::json summary = nlohmann::json::parse(readWhole(path), nullptr, false);
    if (summary.is_discarded() || !summary.contains("program")) return readWhole(path);
    summary["program"].erase("commandLine");
    return summary.dump();
}

std::string differences(const std::string& folder, const std::string& reference) {
    const auto listing = [](const std::string& root) {
        std::vector<std::string> names;
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
            names.push_back(fs::relative(it->path(), root).string() + (it->is_symlink() ? " (link)" : ""));
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> names = listing(folder);
    if (names.empty() || names != listing(reference)) return "the folders hold different files: " + folder;
    for (const std::string& name : names) {
        const std::string a = folder + "/" + name;
        const std::string b = reference + "/" + name;
        if (fs::is_directory(a)) continue;
        const bool same = name == "binaryData.meta"           ? metaWithoutProcessingTimes(a) == metaWithoutProcessingTimes(b)
                          : name == "completeSensorAudio.wav" ? wavWithoutCreationDate(a) == wavWithoutCreationDate(b)
                          : name == "session.json"            ? summaryWithoutCommandLine(a) == summaryWithoutCommandLine(b)
                                                              : readWhole(a) == readWhole(b);
        if (!same) return name + " differs";
    }
    return "";
}

// A recording of about 1.5 MB: its conversion takes long enough for a test to act
// while it runs.
recordingPlan longRecording() {
    recordingPlan plan = everyStream();
    plan.seconds = 600;
    return plan;
}

// Whether strace can make a read fail here (it needs ptrace, which containers may forbid).
bool straceInjects(const scratchDirectory& dir, std::string& why) {
    if (!fileExists("/usr/bin/strace")) {
        why = "strace is not installed";
        return false;
    }
    std::ofstream(dir / "probe") << "probe";
    const programRun probe = runBinary(
        "/usr/bin/strace", {"-o", dir / "probe.trace", "-e", "inject=read:error=EIO:when=1+", "-P", dir / "probe",
                            "/bin/cat", dir / "probe"},
        dir.path());
    why = "strace cannot inject a read error here: " + probe.err.substr(0, 200);
    return probe.status != 0 && probe.out.empty() && probe.err.find("Input/output error") != std::string::npos;
}

TEST(wholeSessionTest, ReadErrorsAndShrunkInputsEndWithMinusOneAndTheRestOfTheRunGoesOn) {
    scratchDirectory dir;
    ASSERT_TRUE(recording(longRecording()).writeFile(dir / "a.snsr"));
    ASSERT_TRUE(recording().writeFile(dir / "b.snsr"));
    const long long fullSize = fileSizeOf(dir / "b.snsr");
    const long long cutSize = fullSize / 2;

    // An earlier run's session, which the failing run below must not replace.
    ASSERT_EQ(runProgram({"-outputdir", dir / "shrunk/", dir / "b.snsr"}).status, 0);
    // b loses its second half after screening, while a is still being converted.
    runOptions shrinking;
    bool cut = false;
    shrinking.watchStandardError = [&](pid_t pid, const std::string& err) {
        if (cut || err.find("# INFO: Comparing file headers\n") == std::string::npos) return;
        ::kill(pid, SIGSTOP);
        cut = ::truncate((dir / "b.snsr").c_str(), cutSize) == 0 &&
              err.find("Processing File   2 of") == std::string::npos;
        ::kill(pid, SIGCONT);
    };
    programRun run = runProgram({"-outputdir", dir / "shrunk/", dir / "a.snsr", dir / "b.snsr"}, "", shrinking);
    ASSERT_TRUE(cut) << run.err;
    ASSERT_TRUE(recording().writeFile(dir / "b.snsr"));
    EXPECT_EQ(run.status, 255);
    std::vector<std::string> left = incompleteFolders(dir / "shrunk", "part_00");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(run.problemLines(),
              "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n"
              "# ERROR: Unable to read " + (dir / "b.snsr") + " at offset " + std::to_string(cutSize) +
                  " (the file is shorter than the " + std::to_string(fullSize) + " bytes it held when the run began)\n"
              "# ERROR: Session  1 is incomplete, its output is in " + left[0] + "\n"
              "# WARNING: " + (dir / "shrunk/part_00") + " is from an earlier run and was not replaced\n" + inputLostEnd)
        << run.err;
    // Both files' data are there, each file's statistics closed; the earlier session
    // is as it was.
    EXPECT_NE(readWhole(left[0] + "/binaryData.meta").find("\"#FileEnd\",02\n"), std::string::npos);
    EXPECT_EQ(readWhole(dir / "shrunk/part_00/binaryData.meta").find("\"#FileEnd\",02\n"), std::string::npos);
    // Every packet before the cut is kept: as many as a reader finds in the first
    // cutSize bytes of the file.
    {
        std::vector<uint8_t> kept = recording().bytes();
        kept.resize(static_cast<size_t>(cutSize));
        ASSERT_TRUE(testing_support::writeBytes(dir / "b-cut.snsr", kept));
        packetReader reader(dir / "b-cut.snsr");
        snsrPacket packet;
        ::testing::internal::CaptureStderr();
        while (reader.hasData()) reader.readPacket(packet);
        ::testing::internal::GetCapturedStderr();
        ASSERT_GT(reader.numParsedPackets(), 50);
        const std::string meta = readWhole(left[0] + "/binaryData.meta");
        const size_t second = meta.find("\"#FileStart\",02\n");
        ASSERT_NE(second, std::string::npos) << meta;
        EXPECT_NE(meta.find("\"snsr_numParsedPackets\"," + std::to_string(reader.numParsedPackets()) + "\n", second),
                  std::string::npos)
            << meta.substr(second, 200);
    }

    std::string why;
    if (!straceInjects(dir, why)) GTEST_SKIP() << why;
    // Every read of a.snsr from the third on fails, counted in each thread apart: the
    // header check's read and the conversion's first one (a quarter megabyte, the
    // stream's buffer, with the header) are the converting thread's; the data behind
    // them is read ahead on the session's second thread, whose first two reads succeed.
    runOptions injected;
    // (The leak checker of a sanitizer build cannot run under a tracer.)
    injected.wrapper = {"/usr/bin/strace", "-f", "-o", dir / "a.trace", "-E", "ASAN_OPTIONS=detect_leaks=0",
                        "-e", "inject=read:error=EIO:when=3+", "-P", dir / "a.snsr"};
    run = runProgram({"-outputdir", dir / "failing", dir / "a.snsr", dir / "b.snsr"}, "", injected);
    EXPECT_EQ(run.status, 255);
    left = incompleteFolders(dir / "failing", "part_00");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(run.problemLines(), "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n"
                                  "# ERROR: Unable to read " + (dir / "a.snsr") +
                                      " at offset 786432 (Input/output error)\n"
                                      "# ERROR: Session  1 is incomplete, its output is in " + left[0] + "\n" +
                                      inputLostEnd)
        << run.err;
    EXPECT_NE(run.err.find("# INFO: Session  1, Processing File   2 of   2 (total)\n"), std::string::npos);
    EXPECT_NE(readWhole(left[0] + "/binaryData.meta").find("\"#FileEnd\",02\n"), std::string::npos);
    EXPECT_FALSE(fileExists(dir / "failing/part_00"));
}

TEST(wholeSessionTest, ReRunReplacesWholeSessionsFollowsNoLinkAndNamesTheFoldersItLeaves) {
    scratchDirectory dir;
    // The first run: two sessions with lost packets (filled channels) and images.
    for (const auto& [out, options] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"old", {"--sessions", "2", "--drop", "0.2", "--seed", "3"}}, {"new", {"--seed", "4"}}}) {
        std::vector<std::string> arguments = {"--out", dir / out, "--duration", "30", "--files", "1", "--quiet"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        ASSERT_EQ(runBinary(SNSRSIM_BINARY, arguments, dir.path()).status, 0);
    }
    const std::string out = dir / "out/";
    ASSERT_EQ(runProgram({"-scandir", dir / "old", "-outputdir", out}).status, 0);
    ASSERT_TRUE(fileExists(out + "part_00/binaryData_accel.sparse"));
    ASSERT_TRUE(fileExists(out + "part_01"));
    // A link planted in the old folder, under the name of a file the next run writes.
    std::ofstream(dir / "victim") << "precious";
    fs::remove(out + "part_00/binaryData_accel.bin");
    fs::create_symlink(dir / "victim", out + "part_00/binaryData_accel.bin");

    const programRun run = runProgram({"-scandir", dir / "new", "-outputdir", out});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.problemLines(), "# WARNING: " + out + "part_01 is from an earlier run and was not replaced\n");
    ASSERT_EQ(runProgram({"-scandir", dir / "new", "-outputdir", dir / "reference/"}).status, 0);
    EXPECT_EQ(differences(out + "part_00", dir / "reference/part_00"), "");
    EXPECT_EQ(readWhole(dir / "victim"), "precious");
    EXPECT_TRUE(fileExists(out + "part_01/binaryData_accel.bin"));
    EXPECT_TRUE(incompleteFolders(out, "part_00").empty());
}

TEST(wholeSessionTest, ConcurrentAndKilledRunsNeverLeaveAMixedOrHalfSession) {
    scratchDirectory dir;
    recordingPlan other = longRecording();
    other.rate = 200;
    other.micHz = 800;
    ASSERT_TRUE(recording(longRecording()).writeFile(dir / "x.snsr"));
    fs::copy_file(dir / "x.snsr", dir / "x2.snsr");
    ASSERT_TRUE(recording(other).writeFile(dir / "y.snsr"));
    const std::vector<std::string> x = {dir / "x.snsr", dir / "x2.snsr"};
    std::vector<std::string> arguments = {"-outputdir", dir / "x/"};
    arguments.insert(arguments.end(), x.begin(), x.end());
    ASSERT_EQ(runProgram(arguments).status, 0);
    ASSERT_EQ(runProgram({"-outputdir", dir / "y/", dir / "y.snsr"}).status, 0);

    // Two runs into one output directory at once: the second runs whole while the
    // first is held between its two files. The session is wholly one run's.
    const std::string out = dir / "out/";
    programRun second;
    runOptions holdFirst;
    holdFirst.watchStandardError = [&](pid_t pid, const std::string& err) {
        if (second.status != -1000 || err.find("Processing File   2 of   2") == std::string::npos) return;
        ::kill(pid, SIGSTOP);
        second = runProgram({"-outputdir", out, dir / "y.snsr"});
        ::kill(pid, SIGCONT);
    };
    arguments[1] = out;
    const programRun first = runProgram(arguments, "", holdFirst);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(second.status, 0) << second.err;
    const std::string fromX = differences(out + "part_00", dir / "x/part_00");
    const std::string fromY = differences(out + "part_00", dir / "y/part_00");
    EXPECT_TRUE(fromX.empty() || fromY.empty()) << fromX << "; " << fromY;
    EXPECT_TRUE(incompleteFolders(out, "part_00").empty());

    // Killed while the session's second file is converted: nothing under part_00.
    runOptions killed;
    killed.watchStandardError = [](pid_t pid, const std::string& err) {
        if (err.find("Processing File   2 of   2") != std::string::npos) ::kill(pid, SIGKILL);
    };
    const programRun run = runProgram({"-outputdir", dir / "killed/", dir / "x.snsr", dir / "x2.snsr"}, "", killed);
    EXPECT_EQ(run.status, -SIGKILL);
    EXPECT_FALSE(fileExists(dir / "killed/part_00"));
    const std::vector<std::string> left = incompleteFolders(dir / "killed", "part_00");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(fileExists(left[0] + "/binaryData_accel.bin"));

    // Ended by the decoder (a period counter running backwards, with the last packets):
    // the same, and the last line says where the output is.
    containerBuilder backwards = recording();
    backwards.addFrame(1, 4900, boardPacketBuilder::qor2Sensor(1, 0xFF, 0, 100, qor2SensorFields{}));
    ASSERT_TRUE(backwards.writeFile(dir / "backwards.snsr"));
    const programRun fatal = runProgram({"-outputdir", dir / "fatal/", dir / "backwards.snsr"});
    EXPECT_EQ(fatal.status, 245);
    EXPECT_FALSE(fileExists(dir / "fatal/part_00"));
    const std::vector<std::string> kept = incompleteFolders(dir / "fatal", "part_00");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(fatal.err.ends_with("# ERROR: Session  1 is incomplete, its output is in " + kept[0] +
                                    "\n# ERROR: Exiting\n"))
        << fatal.err;
}

// -jobs converts sessions side by side; nothing of it may show. Each run works in a
// folder of its own with the same relative names, so that messages and logs compare
// byte for byte.
TEST(wholeSessionTest, SessionsSideBySideGiveTheSameFilesMessagesAndTraceLog) {
    scratchDirectory dir;
    const auto converted = [&dir](const std::string& name, std::vector<std::string> arguments) {
        fs::create_directories(dir / name);
        arguments.insert(arguments.end(), {"-writeTraceLog", "-writeTraceFiles", "-scandir", "../rec", "-outputdir", "out"});
        programRun run = runProgram(arguments, dir / name);
        // The running trace log lies next to the inputs, which all runs share.
        run.out = readWhole(dir / "rec/trace.log") + readWhole(dir / (name + "/out/trace.log"));
        return run;
    };
    // Three sessions of two files, with lost and damaged packets.
    ASSERT_EQ(runBinary(SNSRSIM_BINARY,
                        {"--out", "rec", "--quiet", "--sessions", "3", "--files", "2", "--duration", "20",
                         "--gap", "300", "--seed", "17", "--drop", "0.01", "--bad-checksum", "0.01"},
                        dir.path())
                  .status,
              0);
    const programRun today = converted("today", {});
    ASSERT_EQ(today.status, 0) << today.err;
    for (const char* jobs : {"1", "2", "3", "8"}) {
        const programRun run = converted(std::string("jobs") + jobs, {"-jobs", jobs});
        EXPECT_EQ(run.status, 0) << jobs;
        EXPECT_EQ(run.err, today.err) << jobs;
        EXPECT_EQ(run.out, today.out) << "trace logs, -jobs " << jobs;
        for (const char* part : {"part_00", "part_01", "part_02"}) {
            EXPECT_EQ(differences(dir / (std::string("jobs") + jobs + "/out/") + part, dir / "today/out/" + part), "")
                << jobs;
        }
        EXPECT_FALSE(fileExists(dir / (std::string("jobs") + jobs + "/out/part_03")));
    }

    // A fatal error in the second of three sessions ends the run after the first, as
    // one session at a time does: the third leaves nothing, not even a staging folder,
    // and an earlier run's part_02 stays as it was.
    fs::remove_all(dir / "rec");
    fs::create_directories(dir / "rec");
    recordingPlan plan;
    ASSERT_TRUE(recording(plan).writeFile(dir / "rec/a.snsr"));
    plan.fileStartTime += 3600 * 1000;
    containerBuilder backwards = recording(plan);
    backwards.addFrame(1, 4900, boardPacketBuilder::qor2Sensor(1, 0xFF, 0, 100, qor2SensorFields{}));
    ASSERT_TRUE(backwards.writeFile(dir / "rec/b.snsr"));
    plan.fileStartTime += 3600 * 1000;
    ASSERT_TRUE(recording(plan).writeFile(dir / "rec/c.snsr"));
    const auto withoutStagingNames = [](const std::string& text) {
        return std::regex_replace(text, std::regex("incomplete-[A-Za-z0-9]{6}"), "incomplete-XXXXXX");
    };
    std::string reference;
    for (const char* jobs : {"1", "3"}) {
        const std::string name = std::string("fatal") + jobs;
        fs::create_directories(dir / (name + "/out/part_02"));
        std::ofstream(dir / (name + "/out/part_02/earlier")) << "kept";
        const programRun run = converted(name, {"-jobs", jobs});
        // The mark of the file that ended the run stays, as after any such end.
        EXPECT_TRUE(fs::remove(dir / "rec/b.snsr.processing")) << jobs;
        EXPECT_EQ(run.status, 245) << jobs;
        if (reference.empty()) reference = withoutStagingNames(run.err + run.out);
        EXPECT_EQ(withoutStagingNames(run.err + run.out), reference) << jobs;
        EXPECT_TRUE(fileExists(dir / (name + "/out/part_00/binaryData_compass.bin"))) << jobs;
        EXPECT_EQ(incompleteFolders(dir / (name + "/out"), "part_01").size(), 1u) << jobs;
        EXPECT_TRUE(incompleteFolders(dir / (name + "/out"), "part_02").empty()) << jobs;
        EXPECT_EQ(readWhole(dir / (name + "/out/part_02/earlier")), "kept") << jobs;
        EXPECT_FALSE(fileExists(dir / "rec/c.snsr.processing")) << jobs;
    }
    EXPECT_EQ(differences(dir / "fatal3/out/part_00", dir / "fatal1/out/part_00"), "");
}

TEST(wholeSessionTest, ClosedStandardStreamsAndPlantedLinksChangeNothing) {
    scratchDirectory dir;
    fs::create_directories(dir / "data");
    ASSERT_TRUE(recording().writeFile(dir / "data/a.snsr"));
    ASSERT_EQ(runProgram({"-outputdir", dir / "reference/", dir / "data/a.snsr"}).status, 0);

    // Without standard output and error the messages go nowhere, never into a file.
    runOptions closed;
    closed.closedOutputStreams = true;
    EXPECT_EQ(runProgram({"-outputdir", dir / "closed/", dir / "data/a.snsr"}, "", closed).status, 0);
    EXPECT_EQ(differences(dir / "closed/part_00", dir / "reference/part_00"), "");

    // Links where the mark and the running trace log go: neither is followed, emptied
    // or removed, and the conversion is the same.
    std::ofstream(dir / "victim") << "precious";
    fs::create_symlink(dir / "victim", dir / "data/a.snsr.processing");
    fs::create_symlink(dir / "victim", dir / "data/trace.log");
    const programRun run =
        runProgram({"-writeTraceFiles", "-writeTraceLog", "-outputdir", dir / "traced/", dir / "data/a.snsr"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.problemLines(),
              "# WARNING: Trace log " + (dir / "data/trace.log") + " is a link or not a plain file, going on without it\n"
              "# WARNING: Trace file " + (dir / "data/a.snsr.processing") +
                  " already exists or is a link, going on without it\n");
    EXPECT_EQ(readWhole(dir / "victim"), "precious");
    EXPECT_TRUE(fs::is_symlink(dir / "data/a.snsr.processing"));
    EXPECT_TRUE(fs::is_symlink(dir / "data/trace.log"));
    EXPECT_EQ(differences(dir / "traced/part_00", dir / "reference/part_00"), "");
    EXPECT_EQ(readWhole(dir / "traced/trace.log"),
              "\"" + (dir / "data/a.snsr") + "\",0,\"completed\",\"" + (dir / "traced/part_00") + "\"\r\n");
}

}  // namespace
}  // namespace sensconv::hardening
