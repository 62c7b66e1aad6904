#pragma once
// Runs a piece of code in a child process and reports what it returned and how far
// the child's peak resident size grew meanwhile: memory bounds are checked this way,
// without the test process's own history in the figure.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace sensconv::testing_support {

struct childMeasure {
    bool exited = false;    // the child ran to its end
    long result = -1;       // what the code returned
    long growthKiB = -1;    // peak resident size at the end minus at the start
};

inline long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// code() returns a long; its standard error goes to /dev/null.
template <typename function>
childMeasure measureInChild(function code) {
    int report[2];
    if (::pipe(report) != 0) return {};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        if (std::freopen("/dev/null", "w", stderr) == nullptr) std::_Exit(2);
        const long before = peakResidentKiB();
        const long result = code();
        const long values[2] = {result, peakResidentKiB() - before};
        const bool sent = ::write(report[1], values, sizeof values) == static_cast<ssize_t>(sizeof values);
        std::_Exit(sent ? 0 : 1);
    }
    ::close(report[1]);
    long values[2] = {-1, -1};
    const bool received = ::read(report[0], values, sizeof values) == static_cast<ssize_t>(sizeof values);
    ::close(report[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    childMeasure measured;
    measured.exited = received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    measured.result = values[0];
    measured.growthKiB = values[1];
    return measured;
}

}  // namespace sensconv::testing_support
