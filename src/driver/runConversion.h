#pragma once
// The whole run: command line, file list, sessions, header check, conversion.

#include <string>
#include <vector>

#include "common/runStatus.h"
#include "driver/commandLineOptions.h"

namespace sensconv {

// Returns the process status; a fatal failure in the middle of a session ends the
// process at once (see convertSessions).
int runConversion(int argc, char** argv);

// Converts session after session into outputdir's part_NN directories. inputFiles and
// fileSession are the screened, segmented and checked lists; output files that fail
// are counted in run. A fatal outcome of the reader, decoder or writer (a file that
// cannot be read: -1; a session file that cannot be created: -1, -8; a gap beyond the
// repair limit: -3; a wrong board clock: -11; no GPS buffer: -12) ends the process
// with that status where the session stands: its files are neither finished nor
// closed, as the run always left them.
void convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession, runStatus& run);

}  // namespace sensconv
