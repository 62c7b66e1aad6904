#pragma once
// The whole run: command line, file list, sessions, header check, conversion.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/commandLineOptions.h"

namespace sensconv {

// Returns the process status (fatal errors end the process on their own).
int runConversion(int argc, char** argv);

// Converts session after session into outputdir's part_NN directories. inputFiles and
// fileSession are the screened, segmented and checked lists; screenedSizes holds the
// files' sizes at screening. Ends the process with status -1 when a file cannot be
// opened. Returns false when the data of a file ended early (a read failed or the
// file shrank): the run goes on, and that file's session stays incomplete.
bool convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession, const std::map<std::string, int64_t>& screenedSizes = {});

}  // namespace sensconv
