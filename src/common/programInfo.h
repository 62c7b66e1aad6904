#pragma once
// The program's own name and version, as the version line, session.json and the
// exports give them.

#include <string>
#include <vector>

namespace sensconv {

struct programInfo {
    std::string name = "sensconv";
    std::string version;
    std::vector<std::string> commandLine;
};

// This build's name and version with the given command line.
programInfo thisProgram(std::vector<std::string> commandLine);

}  // namespace sensconv
