#pragma once
// The whole run: command line, file list, sessions, header check, conversion.

#include <string>
#include <vector>

#include "driver/commandLineOptions.h"

namespace sensconv {

// Returns the process status (fatal errors end the process on their own).
int runConversion(int argc, char** argv);

// Converts session after session into outputdir's part_NN directories. inputFiles and
// fileSession are the screened, segmented and checked lists. Ends the process with
// status -1 when a file cannot be read.
void convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession);

}  // namespace sensconv
