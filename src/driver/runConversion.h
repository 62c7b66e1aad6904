#pragma once
// The whole run: command line, file list, sessions, header check, conversion.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/runStatus.h"
#include "driver/commandLineOptions.h"

namespace sensconv {

// Returns the process status; a fatal failure in the middle of a session ends the
// process at once (see convertSessions).
int runConversion(int argc, char** argv);

// A conversion's requests to end (SIGTERM, SIGINT, SIGHUP) stop the sessions being
// built where they stand, name them and end the process by that signal.
void takeTerminationRequests();

// Converts session after session into outputdir's part_NN directories. inputFiles and
// fileSession are the screened, segmented and checked lists; screenedSizes holds the
// files' sizes at screening; output files that fail are counted in run. A fatal outcome
// of the reader, decoder or writer (a file that cannot be read: -1; a session file that
// cannot be created: -1, -8; a gap beyond the repair limit: -3; a wrong board clock: -11;
// no GPS buffer: -12) ends the process with that status where the session stands: its
// files are neither finished nor closed, and the session keeps its incomplete name.
// Returns false when the data of a file ended early (a read failed or the file shrank):
// the run goes on, and that file's session stays incomplete.
bool convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession, runStatus& run,
                     const std::map<std::string, int64_t>& screenedSizes = {});

}  // namespace sensconv
