#include "common/programInfo.h"

#include <utility>

namespace sensconv {

programInfo thisProgram(std::vector<std::string> commandLine) {
    programInfo program;
    program.version = SENSCONV_VERSION;
    program.commandLine = std::move(commandLine);
    return program;
}

}  // namespace sensconv
