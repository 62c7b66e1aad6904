#pragma once
// For the tests of damaged, hostile and unusual inputs and outputs: runs the real
// program (fork and exec, never a shell) with a time limit, an optional file size
// limit and its peak memory measured, in scratch directories that may hold paths
// beyond what the system takes in one piece, on recordings of every stream kind.

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "decode/boardPacketBuilder.h"

namespace sensconv::hardening {

struct runResult {
    int status = -1000;  // exit status 0..255, or -signal when killed by a signal
    std::string standardError;
    std::string standardOutput;
    long peakResidentKiB = 0;

    // The lines of standard error that begin with prefix, in order, each with its newline.
    std::string linesStartingWith(const std::string& prefix) const {
        std::string out;
        std::istringstream lines(standardError);
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, prefix.size(), prefix) == 0) out += line + "\n";
        }
        return out;
    }
    std::string errorLines() const { return linesStartingWith("# ERROR") + linesStartingWith("# snsr_"); }
    std::string problemLines() const {
        std::string out;
        std::istringstream lines(standardError);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("# ERROR", 0) == 0 || line.rfind("# WARNING", 0) == 0 || line.rfind("# snsr_", 0) == 0 ||
                line.rfind("ERROR:", 0) == 0) {
                out += line + "\n";
            }
        }
        return out;
    }
};

struct runOptions {
    std::string workingDirectory;             // empty: the test's own
    std::optional<rlim_t> fileSizeLimit;      // RLIMIT_FSIZE, with SIGXFSZ ignored
    unsigned timeoutSeconds = 120;            // a hung program is killed (status -SIGALRM)
    std::vector<std::string> wrapper;         // a program that runs the converter (a fault injector)
    bool closedOutputStreams = false;         // started with descriptors 1 and 2 closed
    // Called with the program's id and its standard error so far, after each piece of it.
    std::function<void(pid_t, const std::string&)> watchStandardError;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Output goes through pipes, which a file size limit does not touch.
inline runResult runProgram(const std::vector<std::string>& arguments, const runOptions& options = {}) {
    std::vector<std::string> argv = options.wrapper;
    argv.push_back(SENSCONV_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    int err[2];
    int out[2];
    if (::pipe(err) != 0 || ::pipe(out) != 0) return {};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(err[1], 2) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(in, 0) < 0) _exit(120);
        ::close(err[0]);
        ::close(out[0]);
        ::close(err[1]);
        ::close(out[1]);
        if (options.closedOutputStreams) {
            ::close(1);
            ::close(2);
        }
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) _exit(121);
        if (options.fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = *options.fileSizeLimit;
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(122);
        }
        ::alarm(options.timeoutSeconds);
        ::execvp(pointers[0], pointers.data());
        _exit(123);
    }
    ::close(err[1]);
    ::close(out[1]);
    runResult result;
    pollfd fds[2] = {{err[0], POLLIN, 0}, {out[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.standardError, &result.standardOutput};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
                if (i == 0 && options.watchStandardError) options.watchStandardError(pid, result.standardError);
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    result.peakResidentKiB = usage.ru_maxrss;
    return result;
}

// A fresh directory for one test, removed with everything in it afterwards.
class scratchDir {
public:
    scratchDir() {
        std::string pattern = ::testing::TempDir();
        if (pattern.empty() || pattern.back() != '/') pattern += '/';
        pattern += "sensconvE2e.XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~scratchDir() {
        if (path_.empty()) return;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/rm", "rm", "-rf", "--", path_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ::waitpid(pid, nullptr, 0);
    }
    scratchDir(const scratchDir&) = delete;
    scratchDir& operator=(const scratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

inline long long fileSizeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// What a recording holds: which boards and streams, and how many seconds of packets.
struct recordingOf {
    int seconds = 4;
    int32_t micHz = 630;   // audio rate in hertz (63 samples a packet); 0 for none
    int32_t rate = 100;    // tenths of a hertz for every other channel
    bool jux = true;
    bool gps = true;
    bool camera = true;
    uint64_t fileStartTime = 1230000000000ULL;
};

// A recording the converter turns into every kind of output: main-board audio and
// sensor packets, second-board packets, GPS records and one camera image, ten board
// packets a second, at 1000 ticks per 10-second period.
inline containerBuilder recording(const recordingOf& plan = {}) {
    containerBuilder builder;
    builder.setFileStartTime(plan.fileStartTime);
    qor2Settings q;
    q.intr = 1000;
    q.mic = plan.micHz;
    q.acc = q.amb = q.bar = q.comp = q.dals = q.hum = plan.rate;
    q.bdnr = 42;
    q.wd01 = 0x9000;
    q.wd02 = 0x4321;
    q.wd03 = 0x1234;
    q.wd04 = 0x5678;
    builder.addQor2Stream(1, q);
    if (plan.jux) {
        juxSettings j;
        j.intr = 1000;
        j.gyro = j.mag = plan.rate;
        builder.addJuxStream(2, j);
    }
    if (plan.gps) builder.addSirfGpsStream(3);
    if (plan.camera) builder.addCameraStream(4);

    qor2SensorFields fields;
    fields.accelX = 16383;
    fields.barTemp = 20224 + 300;
    fields.pressure = 30000;
    fields.compass = 900;
    fields.visLight = 0x35;
    fields.irLight = 0x12;
    fields.shtTemp = 6400;
    fields.humidity = 1200;
    juxSensorFields gyro;
    gyro.gyro = {1, 2, 3};
    gyro.mag = {4, 5, 6};
    const int audioPerPacket = plan.micHz / 10;
    uint32_t ms = 0;
    for (int step = 0; step < plan.seconds * 10; ++step) {
        ms = static_cast<uint32_t>(step * 100);
        const int64_t ticks = int64_t{step} * 10;  // 1000 ticks per 10 s
        const auto ts = static_cast<uint8_t>(ticks / 1000 % 256);
        const auto intCount = static_cast<uint16_t>(ticks % 1000);
        if (audioPerPacket > 0) {
            std::vector<uint16_t> words(static_cast<size_t>(std::min(audioPerPacket, 63)));
            for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(0x8000 + 100 * i);
            builder.addFrame(1, ms, boardPacketBuilder::qor2Audio(ts, intCount, words));
        }
        builder.addFrame(1, ms, boardPacketBuilder::qor2Sensor(1, 0xFF, ts, intCount, fields));
        if (plan.jux) builder.addFrame(2, ms, boardPacketBuilder::juxSensor(0x0F, ts, intCount, gyro));
        if (plan.gps) builder.addFrame(3, ms, std::vector<uint8_t>{0xA0, 0xA2, 0x00, 4, 0, 0, 0, 1, 2, 3, 4});
    }
    if (plan.camera) {
        std::vector<uint8_t> image = {0xFF, 0xD8};
        for (int i = 0; i < 100; ++i) image.push_back(static_cast<uint8_t>(i));
        builder.addFrame(4, ms, image);
        builder.addFrame(4, ms, std::vector<uint8_t>{0xFF, 0xD8, 1, 2, 3});
    }
    return builder;
}

}  // namespace sensconv::hardening
