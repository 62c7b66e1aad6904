#pragma once
// The whole run: command line, file list, sessions, header check, conversion.

namespace sensconv {

// Returns the process status (fatal errors end the process on their own).
int runConversion(int argc, char** argv);

}  // namespace sensconv
