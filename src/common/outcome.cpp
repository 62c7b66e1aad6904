#include "common/outcome.h"

#include <cstdio>

namespace sensconv {

outcome outcome::fatal(int status, std::string lines, const char* closing) {
    std::fputs(lines.c_str(), stderr);
    outcome result;
    result.failure_ = std::make_unique<failure>(failure{status, std::move(lines), closing});
    return result;
}

const std::string& outcome::lines() const {
    static const std::string none;
    return failure_ ? failure_->lines : none;
}

}  // namespace sensconv
