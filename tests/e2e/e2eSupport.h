#pragma once
// Runs the real program (no shell in between) and builds the recordings it converts.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/testFiles.h"
#include "container/containerBuilder.h"
#include "decode/boardPacketBuilder.h"
#include "driver/driverTestSupport.h"

namespace sensconv::testing_support {

struct programRun {
    int status = -1000;  // exit status as the parent sees it (0..255), or -signal when a signal ended it
    std::string err;
    std::string out;
    long peakResidentKiB = 0;

    // The lines of standard error that begin with prefix, in order, each with its newline.
    std::string linesStartingWith(const std::string& prefix) const {
        std::string lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, prefix.size(), prefix) == 0) lines += line + "\n";
        }
        return lines;
    }
    std::string errorLines() const { return linesStartingWith("# ERROR") + linesStartingWith("# snsr_"); }
    // Every error and warning line, in order.
    std::string problemLines() const {
        std::string lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("# ERROR", 0) == 0 || line.rfind("# WARNING", 0) == 0 || line.rfind("# snsr_", 0) == 0 ||
                line.rfind("ERROR:", 0) == 0) {
                lines += line + "\n";
            }
        }
        return lines;
    }
};

struct runOptions {
    std::optional<rlim_t> fileSizeLimit;  // every file it writes; writes beyond fail, without a signal
    unsigned timeoutSeconds = 120;        // a hung program is killed (status -SIGALRM)
    std::optional<std::string> stdinPath;  // the file it reads as standard input; empty input without one
    std::vector<std::string> wrapper;      // a program that runs binary (a fault injector)
    bool closedOutputStreams = false;      // started with descriptors 1 and 2 closed
    // Called with the program's id and its standard error so far, after each piece of it.
    std::function<void(pid_t, const std::string&)> watchStandardError;
};

// The one way the tests run a program: binary with arguments in directory cwd (the
// test's own when empty), no shell in between; collects what it prints and its peak
// memory. The streams go through pipes, which no file size limit touches.
inline programRun runBinary(const std::string& binary, const std::vector<std::string>& arguments,
                            const std::string& cwd = "", const runOptions& options = {}) {
    std::vector<std::string> argvText = options.wrapper;
    argvText.push_back(binary);
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(text.data());
    argv.push_back(nullptr);

    programRun run;
    int errPipe[2];
    int outPipe[2];
    if (::pipe(errPipe) != 0 || ::pipe(outPipe) != 0) return run;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open(options.stdinPath ? options.stdinPath->c_str() : "/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(errPipe[1], 2) < 0 || ::dup2(outPipe[1], 1) < 0 || ::dup2(in, 0) < 0) _exit(120);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(121);
        ::close(errPipe[0]);
        ::close(outPipe[0]);
        ::close(errPipe[1]);
        ::close(outPipe[1]);
        if (options.closedOutputStreams) {
            ::close(1);
            ::close(2);
        }
        if (options.fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(122);
        }
        ::alarm(options.timeoutSeconds);
        ::execvp(argv[0], argv.data());
        _exit(123);
    }
    ::close(errPipe[1]);
    ::close(outPipe[1]);
    pollfd streams[2] = {{errPipe[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
    std::string* texts[2] = {&run.err, &run.out};
    int open = 2;
    while (open > 0 && ::poll(streams, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            char piece[4096];
            const ssize_t got = ::read(streams[i].fd, piece, sizeof piece);
            if (got > 0) {
                texts[i]->append(piece, static_cast<size_t>(got));
                if (i == 0 && options.watchStandardError) options.watchStandardError(child, run.err);
            } else {
                ::close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    rusage usage{};
    if (child > 0 && ::wait4(child, &status, 0, &usage) == child) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        run.peakResidentKiB = usage.ru_maxrss;
    }
    return run;
}

// Checks JSON documents against docs/session.schema.json with a real validator
// (python3-jsonschema); a violation fails the calling test with the validator's lines.
inline void expectValidSessionSummaries(const std::vector<std::string>& documents) {
    if (documents.empty()) return;
    std::vector<std::string> arguments = {JSON_VALIDATOR, SESSION_SCHEMA};
    arguments.insert(arguments.end(), documents.begin(), documents.end());
    const programRun check = runBinary("/usr/bin/python3", arguments, ".");
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

// Every session.json below the roots that was written at or after since, each once.
inline std::vector<std::string> sessionSummariesUnder(const std::vector<std::string>& roots,
                                                      std::filesystem::file_time_type since) {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    for (const std::string& root : roots) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (it->path().filename() != "session.json" || !it->is_regular_file(error) ||
                it->last_write_time(error) < since)
                continue;
            const std::string path = fs::weakly_canonical(it->path(), error).string();
            if (std::find(found.begin(), found.end(), path) == found.end()) found.push_back(path);
        }
    }
    return found;
}

// The converter through runBinary. Every session summary the run wrote below its
// working directory, or below a directory it was given or a file's directory, must
// match its schema (unless a file size limit or a signal cut the run short).
inline programRun runProgram(const std::vector<std::string>& arguments, const std::string& cwd = "",
                             const runOptions& options = {}) {
    namespace fs = std::filesystem;
    const auto started = fs::file_time_type::clock::now() - std::chrono::seconds(1);
    programRun run = runBinary(SENSCONV_BINARY, arguments, cwd, options);
    if (options.fileSizeLimit || run.status < 0) return run;
    const fs::path base = cwd.empty() ? fs::current_path() : fs::path(cwd);
    std::vector<std::string> roots;
    if (!cwd.empty()) roots.push_back(cwd);
    for (const std::string& argument : arguments) {
        if (argument.empty() || argument[0] == '-') continue;
        const fs::path given = fs::path(argument).is_absolute() ? fs::path(argument) : base / argument;
        std::error_code error;
        if (fs::is_directory(given, error)) {
            roots.push_back(given.string());
        } else if (fs::is_regular_file(given, error)) {
            roots.push_back(given.parent_path().string());
        }
    }
    expectValidSessionSummaries(sessionSummariesUnder(roots, started));
    return run;
}

inline constexpr size_t imageBytes = 62;

// A recording of the main board and, as chosen, the second board, the GPS receiver
// and the camera. The boards count 1000 ticks a period, 100 a second, and container
// times run with them: 10 ms a tick, from 1 s into the file. By default four seconds
// of compass at 4 Hz and audio at 100 Hz, four packets a second; the hardening tests
// turn every stream on (everyStream()).
struct recordingPlan {
    uint64_t fileStartTime = 1230000000000;
    int seconds = 4;
    int packetsPerSecond = 4;  // of each board packet kind; divides 100
    int32_t micHz = 100;       // audio rate, at most 63 samples a packet; 0 for none
    int32_t rate = 40;         // tenths of a hertz for every sensor channel sent
    bool everySensor = false;  // every main-board sensor, not the compass alone
    bool jux = false;          // the second board, its gyroscope and magnetometer at rate
    bool gps = true;           // a receiver record with every packet
    std::vector<size_t> images;  // camera images of these sizes, with the last packets
    uint32_t qor2Version = 1;
    uint8_t firstPeriod = 0;  // the boards' period counter at the first packet
    std::vector<std::vector<uint8_t>> lastQor2Packets;  // main-board packets after all others
};

// What a plan puts into the output.
struct recordingContents {
    int compassSamples = 0;
    int audioSamples = 0;
    int64_t gpsFileBytes = 0;
    // The file spans from fileStartTime + firstMs to fileStartTime + lastMs.
    uint32_t firstMs = 0;
    uint32_t lastMs = 0;
};

// The one generator of recordings for tests; contents, when given, learns what the
// recording puts into the output.
inline containerBuilder buildRecording(const recordingPlan& plan, recordingContents* contents = nullptr) {
    containerBuilder builder;
    builder.setFileStartTime(plan.fileStartTime);
    qor2Settings q;
    q.intr = 1000;
    q.mic = plan.micHz;
    q.comp = plan.rate;
    if (plan.everySensor) q.acc = q.amb = q.bar = q.dals = q.hum = plan.rate;
    q.bdnr = 42;
    q.wd01 = 0x9000;
    q.wd02 = 0x4321;
    q.wd03 = 0x1234;
    q.wd04 = 0x5678;
    builder.addQor2Stream(1, q).ver = plan.qor2Version;
    if (plan.jux) {
        juxSettings j;
        j.intr = 1000;
        j.gyro = j.mag = plan.rate;
        builder.addJuxStream(2, j);
    }
    if (plan.gps) builder.addSirfGpsStream(3);
    if (!plan.images.empty()) builder.addCameraStream(4);

    qor2SensorFields fields;
    fields.accelX = 16383;
    fields.barTemp = 20224 + 300;
    fields.pressure = 30000;
    fields.visLight = 0x35;
    fields.irLight = 0x12;
    fields.shtTemp = 6400;
    fields.humidity = 1200;
    juxSensorFields gyro;
    gyro.gyro = {1, 2, 3};
    gyro.mag = {4, 5, 6};
    std::vector<uint16_t> words(static_cast<size_t>(std::min(plan.micHz / plan.packetsPerSecond, 63)));
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(0x8000 + 100 * i);
    recordingContents made;
    for (int k = 0; k < plan.seconds * plan.packetsPerSecond; ++k) {
        const int ticks = 100 / plan.packetsPerSecond * k;
        const auto ts = static_cast<uint8_t>(plan.firstPeriod + ticks / 1000);
        const auto intCount = static_cast<uint16_t>(ticks % 1000);
        const auto ms = static_cast<uint32_t>(1000 + 10 * ticks);
        fields.compass = static_cast<uint16_t>(100 + k);
        if (!words.empty()) builder.addFrame(1, ms, boardPacketBuilder::qor2Audio(ts, intCount, words));
        builder.addFrame(1, ms, boardPacketBuilder::qor2Sensor(plan.everySensor ? 1 : 0, plan.everySensor ? 0xFF : 0x08,
                                                                ts, intCount, fields));
        if (plan.jux) builder.addFrame(2, ms, boardPacketBuilder::juxSensor(0x0F, ts, intCount, gyro));
        // Four receiver bytes in the frame; the writer puts 20 bytes around them.
        if (plan.gps) builder.addFrame(3, ms, std::vector<uint8_t>{0xA0, 0xA2, 0x00, 4, 0, 0, 0, 1, 2, 3, 4});
        made.compassSamples += 1;
        made.audioSamples += static_cast<int>(words.size());
        made.gpsFileBytes += plan.gps ? 24 : 0;
        // The reader takes the first non-zero timestamp after the first packet as the start.
        if (k == 0) made.firstMs = ms;
        made.lastMs = ms;
    }
    for (const size_t size : plan.images) {
        std::vector<uint8_t> image = {0xFF, 0xD8};  // an image start, then counting bytes
        while (image.size() < size) image.push_back(static_cast<uint8_t>(image.size()));
        builder.addFrame(4, made.lastMs, image);
    }
    for (const std::vector<uint8_t>& packet : plan.lastQor2Packets) builder.addFrame(1, made.lastMs + 10, packet);
    if (contents != nullptr) *contents = made;
    return builder;
}

inline recordingContents writeRecording(const std::string& path, const recordingPlan& plan = {}) {
    recordingContents contents;
    const containerBuilder builder = buildRecording(plan, &contents);
    EXPECT_TRUE(builder.writeFile(path));
    EXPECT_GE(builder.size(), 1024u) << "screening would drop " << path;
    return contents;
}

}  // namespace sensconv::testing_support
