#pragma once
// The run's settings as given on the command line, and the parsing that fills them.

#include <string>
#include <vector>

#include "platform/platform.h"

namespace sensconv {

struct commandLineOptions {
    std::string outputdir = std::string(".") + platform::pathSeparator;
    bool outputdirGiven = false;
    double maxGap_sec = 60.0;
    bool ignoreRollover = false;
    std::string scandir;
    bool scanEnabled = false;
    bool writeTraceFiles = false;
    bool writeTraceLog = false;
    bool writeImageSubDir = true;
    std::string traceLogDir;  // chosen after the header check, with writeTraceLog only
};

void printUsage();

// Reads the arguments (without the program name) from left to right into options and
// inputFiles, printing one line per option. Returns 0, or the status the run must end
// with after the lines already printed: -1 for no arguments (usage printed), -3 for an
// unknown option or a missing value.
int parseCommandLine(const std::vector<std::string>& arguments, commandLineOptions& options,
                     std::vector<std::string>& inputFiles);

// Without -outputdir the output goes next to the first input file as it was named on
// the command line. Prints where the data will be created whenever there is a file.
void inferOutputDirectory(commandLineOptions& options, const std::vector<std::string>& inputFiles);

}  // namespace sensconv
