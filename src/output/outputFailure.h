#pragma once
// The one policy for an output file that fails, whatever writes it (a C stream, the
// WAV library): the first failure prints one line with the path and the reason and
// counts the file in the run's status; later failures of the same file stay quiet;
// the conversion goes on.

#include <string>

#include "common/runStatus.h"

namespace sensconv {

class outputFailure {
public:
    explicit outputFailure(runStatus& run) : run_(&run) {}

    // A new file at path: nothing has failed yet.
    void reset(std::string path);

    // A write, flush or close of the file failed for reason.
    void report(const char* reason);
    // The same, where the caller prints a line of its own for the failure.
    void reportedByCaller();

    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }

private:
    bool markFailed();

    runStatus* run_;
    std::string path_;
    bool failed_ = false;
};

}  // namespace sensconv
