#pragma once
// The run's settings as given on the command line, and the parsing that fills them.

#include <cstdio>
#include <string>
#include <vector>

#include "common/exitStatus.h"
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
    int jobs = 1;             // sessions converted at once
    int epochSeconds = 60;    // the epochs of epochs.csv

    // What the run does: convert, describe the input without converting (-info, with
    // -json as one JSON document), or print the usage or the version and stop.
    enum class action { convert, info, help, version, exportSessions };
    action what = action::convert;
    bool json = false;
    std::string exportFormat;  // -export: edf, netcdf or all; the inputs are session folders
    std::vector<std::string> commandLine;  // the whole command line, program name first
};

// The usage text on standard error, as printed for a run without arguments.
void printUsage();
// The usage text with the options that only describe or inform, for -h and --help.
void printHelp(std::FILE* stream);
void printVersion(std::FILE* stream);

// Reads the arguments (without the program name) from left to right into options and
// inputFiles, printing one line per option. Returns success, or the status the run must end
// with after the lines already printed: -1 for no arguments (usage printed), -3 for an
// unknown option, a missing value or a -jobs value that is not a count. -h, --help and --version end the parsing at once
// with 0 and the action set; the caller prints.
exitStatus parseCommandLine(const std::vector<std::string>& arguments, commandLineOptions& options,
                     std::vector<std::string>& inputFiles);

// Without -outputdir the output goes next to the first input file as it was named on
// the command line. Prints where the data will be created whenever there is a file.
void inferOutputDirectory(commandLineOptions& options, const std::vector<std::string>& inputFiles);

}  // namespace sensconv
