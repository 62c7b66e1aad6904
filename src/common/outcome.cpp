#include "common/outcome.h"

#include <cstdio>

namespace sensconv {

outcome outcome::fatal(int status, std::string lines, const char* closing) {
    std::fputs(lines.c_str(), stderr);
    return outcome(status, std::move(lines), closing);
}

}  // namespace sensconv
