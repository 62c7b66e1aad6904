#pragma once
// For the tests of damaged, hostile and unusual inputs and outputs: runs the real
// program with a time limit, an optional file size limit and its peak memory
// measured, on recordings of every stream kind.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2eSupport.h"

namespace sensconv::hardening {

using runResult = testing_support::programRun;

struct runOptions {
    std::string workingDirectory;             // empty: the test's own
    std::optional<rlim_t> fileSizeLimit;      // RLIMIT_FSIZE, with SIGXFSZ ignored
    unsigned timeoutSeconds = 120;            // a hung program is killed (status -SIGALRM)
    std::vector<std::string> wrapper;         // a program that runs the converter (a fault injector)
    bool closedOutputStreams = false;         // started with descriptors 1 and 2 closed
    // Called with the program's id and its standard error so far, after each piece of it.
    std::function<void(pid_t, const std::string&)> watchStandardError;
};

using testing_support::fileSizeOf;
using testing_support::readWhole;
using testing_support::scratchDirectory;

// The converter through the suite's one process runner.
inline runResult runProgram(const std::vector<std::string>& arguments, const runOptions& options = {}) {
    testing_support::runLimits limits;
    limits.fileSizeLimit = options.fileSizeLimit;
    limits.timeoutSeconds = options.timeoutSeconds;
    limits.wrapper = options.wrapper;
    limits.closedOutputStreams = options.closedOutputStreams;
    limits.watchStandardError = options.watchStandardError;
    return testing_support::runBinary(SENSCONV_BINARY, arguments, options.workingDirectory, limits);
}

inline bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

using testing_support::recordingPlan;

// A recording the converter turns into every kind of output: main-board audio and
// every sensor, second-board packets, GPS records and camera images (one whole, one
// too short to be written), ten board packets a second.
inline recordingPlan everyStream() {
    recordingPlan plan;
    plan.packetsPerSecond = 10;
    plan.micHz = 630;  // 63 samples a packet
    plan.rate = 100;
    plan.everySensor = plan.jux = true;
    plan.images = {102, 5};
    return plan;
}

inline containerBuilder recording(const recordingPlan& plan = everyStream()) {
    return testing_support::buildRecording(plan);
}

}  // namespace sensconv::hardening
