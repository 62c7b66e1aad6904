#pragma once
// -export FORMAT <session folder>...: writes the exports of finished part_NN folders
// (EDF+/BDF+, NetCDF-4) into each folder's export/ sub-folder, or into -outputdir. It
// reads the session's files and never changes them; nothing else is created.

#include <string>
#include <vector>

#include "common/exitStatus.h"
#include "driver/commandLineOptions.h"

namespace sensconv {

// Returns 0 when every folder was exported, -3 for an unknown format, -1 when a folder
// is not a finished session or an export could not be written (after its ERROR line).
exitStatus exportSessions(const commandLineOptions& options, const std::vector<std::string>& folders);

}  // namespace sensconv
