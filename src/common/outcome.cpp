#include "common/outcome.h"

namespace sensconv {

outcome outcome::fatal(exitStatus status, std::string lines, const char* closing) {
    outcome result;
    result.failure_ = std::make_unique<failure>(failure{status, std::move(lines), closing});
    return result;
}

const std::string& outcome::lines() const {
    static const std::string none;
    return failure_ ? failure_->lines : none;
}

}  // namespace sensconv
