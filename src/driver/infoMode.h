#pragma once
// -info: describes the input files (or with -scandir the directory's files) and the
// sessions a conversion would make of them, without converting and without creating
// any file or directory. A readable table on standard output, or with -json the same
// as one JSON document.

#include <string>
#include <vector>

#include "common/exitStatus.h"
#include "driver/commandLineOptions.h"

namespace sensconv {

// Returns the status a conversion of the same input would end with before it wrote
// anything: -2 without files, -1 when a file cannot be read or the headers disagree.
exitStatus describeInput(const commandLineOptions& options, std::vector<std::string> inputFiles);

}  // namespace sensconv
