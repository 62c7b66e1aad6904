#include "output/outputFailure.h"

#include <cstdio>

#include "common/userMessages.h"
#include "output/outputMessages.h"

namespace sensconv {

void outputFailure::reset(std::string path) {
    path_ = std::move(path);
    failed_ = false;
}

bool outputFailure::markFailed() {
    if (failed_) return false;
    failed_ = true;
    run_->fileFailed();
    return true;
}

void outputFailure::report(const char* reason) {
    if (markFailed()) printMessage(outputMessages::unableToWrite, path_.c_str(), reason);
}

void outputFailure::reportedByCaller() {
    markFailed();
}

}  // namespace sensconv
