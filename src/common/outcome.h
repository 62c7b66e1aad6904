#pragma once
// What an operation of the reader, the decoders or the writer reports to its caller:
// success, or a fatal status (the program's exit status) together with the lines that
// tell the user about it. The library only reports and prints nothing of it; the
// caller decides what happens next. The program's driver prints the lines, then the
// closing "# ERROR: Exiting", and ends the process with the status; a test or another
// program looks at it and goes on.

#include <memory>
#include <string>
#include <utility>

#include "common/exitStatus.h"

namespace sensconv {

// The usual last line of a fatal end.
inline constexpr char exitingLine[] = "# ERROR: Exiting\n";

class [[nodiscard]] outcome {
public:
    // Success. One null pointer: the per-packet path returns one per channel.
    outcome() = default;
    outcome(outcome&&) noexcept = default;
    outcome& operator=(outcome&&) noexcept = default;
    outcome(const outcome& other) : failure_(other.failure_ ? std::make_unique<failure>(*other.failure_) : nullptr) {}
    outcome& operator=(const outcome& other) {
        if (this != &other) failure_ = other.failure_ ? std::make_unique<failure>(*other.failure_) : nullptr;
        return *this;
    }

    // A fatal outcome with status and lines (complete lines, each ending in a newline)
    // for the caller to print. closing is the line the caller prints last when it ends
    // the run: the usual one, another one some failures have always ended with, or ""
    // for none.
    static outcome fatal(exitStatus status, std::string lines, const char* closing = exitingLine);

    bool ok() const { return failure_ == nullptr; }
    exitStatus status() const { return failure_ ? failure_->status : exitStatus::success; }
    // The lines to print for a fatal outcome; empty for success.
    const std::string& lines() const;
    const char* closingLine() const { return failure_ ? failure_->closing : ""; }

private:
    struct failure {
        exitStatus status;
        std::string lines;
        const char* closing;
    };

    std::unique_ptr<failure> failure_;
};

}  // namespace sensconv
