#include "driver/commandLineOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/programInfo.h"
#include "driver/driverMessages.h"
#include "output/epochTable.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

constexpr long maxJobs = 256;

exitStatus missingValue(const std::string& option) {
    std::fprintf(stderr, msg::missingValue, option.c_str());
    std::fprintf(stderr, msg::exiting);
    return exitStatus::badArgument;
}

// A plain decimal number as a person types it: an optional sign, digits with an
// optional point, an optional exponent. Blanks, hexadecimal, "nan", "inf" and units
// are refused, and so is what does not fit a double.
bool isPlainNumber(const std::string& text, double& value) {
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

}  // namespace

void printUsage() {
    std::fputs(msg::usageText, stderr);
}

void printHelp(std::FILE* stream) {
    std::fputs(msg::usageText, stream);
    std::fputs(msg::helpExtraText, stream);
}

void printVersion(std::FILE* stream) {
    std::fprintf(stream, msg::versionLine, thisProgram({}).version.c_str());
}

exitStatus parseCommandLine(const std::vector<std::string>& arguments, commandLineOptions& options,
                     std::vector<std::string>& inputFiles) {
    if (arguments.empty()) {
        printUsage();
        return exitStatus::usage;
    }
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool takesValue =
            argument == "-outputdir" || argument == "-maxGap_sec" || argument == "-scandir" || argument == "-jobs" ||
            argument == "-export" || argument == "-epoch";
        // A value option takes the next argument whatever it looks like; a missing or
        // empty value stops the run before anything is opened or created.
        if (takesValue && (i + 1 >= arguments.size() || arguments[i + 1].empty())) return missingValue(argument);

        if (argument == "-outputdir") {
            options.outputdir = platform::withTrailingSeparator(arguments[++i]);
            options.outputdirGiven = true;
            std::fprintf(stderr, msg::outputDirectory, options.outputdir.c_str());
        } else if (argument == "-NoWriteImageSubDir") {
            options.writeImageSubDir = false;
            std::fprintf(stderr, msg::noImageSubDir);
        } else if (argument == "-writeTraceFiles") {
            options.writeTraceFiles = true;
            std::fprintf(stderr, msg::traceFilesOn);
        } else if (argument == "-writeTraceLog") {
            options.writeTraceLog = true;
            std::fprintf(stderr, msg::traceLogOn);
        } else if (argument == "-maxGap_sec") {
            const std::string& value = arguments[++i];
            if (!isPlainNumber(value, options.maxGap_sec)) {
                std::fprintf(stderr, msg::badMaxGap, value.c_str());
                std::fprintf(stderr, msg::exiting);
                return exitStatus::badArgument;
            }
            std::fprintf(stderr, msg::maxGap, options.maxGap_sec);
        } else if (argument == "-ignoreRollover") {
            options.ignoreRollover = true;
            std::fprintf(stderr, msg::ignoreRollover);
        } else if (argument == "-scandir") {
            options.scandir = platform::withTrailingSeparator(arguments[++i]);
            options.scanEnabled = true;
            std::fprintf(stderr, msg::scanEnabled, options.scandir.c_str());
            std::fprintf(stderr, msg::commandLineFilesIgnored);
        } else if (argument == "-jobs") {
            // Silent: a run prints the same lines whatever the number of jobs.
            const std::string& value = arguments[++i];
            char* end = nullptr;
            errno = 0;
            const long jobs = std::strtol(value.c_str(), &end, 10);
            const bool digitsOnly = value.find_first_not_of("0123456789") == std::string::npos;
            if (!digitsOnly || errno != 0 || end == value.c_str() || *end != '\0' || jobs < 1 || jobs > maxJobs) {
                std::fprintf(stderr, msg::badJobs, maxJobs, value.c_str());
                std::fprintf(stderr, msg::exiting);
                return exitStatus::badArgument;
            }
            options.jobs = static_cast<int>(jobs);
        } else if (argument == "-export") {
            options.what = commandLineOptions::action::exportSessions;
            options.exportFormat = arguments[++i];
        } else if (argument == "-epoch") {
            // Silent like -jobs: the epochs only shape epochs.csv.
            const std::string& value = arguments[++i];
            char* end = nullptr;
            errno = 0;
            const long seconds = std::strtol(value.c_str(), &end, 10);
            if (errno != 0 || end == value.c_str() || *end != '\0' || seconds < 1 || seconds > maxEpochSeconds) {
                std::fprintf(stderr, msg::badEpoch, static_cast<long>(maxEpochSeconds), value.c_str());
                std::fprintf(stderr, msg::exiting);
                return exitStatus::badArgument;
            }
            options.epochSeconds = static_cast<int>(seconds);
        } else if (argument == "-info") {
            options.what = commandLineOptions::action::info;
        } else if (argument == "-json") {
            options.json = true;
        } else if (argument == "-h" || argument == "--help") {
            options.what = commandLineOptions::action::help;
            return exitStatus::success;
        } else if (argument == "--version") {
            options.what = commandLineOptions::action::version;
            return exitStatus::success;
        } else if (!argument.empty() && argument[0] == '-') {
            std::fprintf(stderr, msg::unknownOption, argument.c_str());
            std::fprintf(stderr, msg::exiting);
            return exitStatus::badArgument;
        } else {
            inputFiles.push_back(argument);
        }
    }
    if (options.json && options.what != commandLineOptions::action::info) std::fprintf(stderr, msg::jsonWithoutInfo);
    return exitStatus::success;
}

void inferOutputDirectory(commandLineOptions& options, const std::vector<std::string>& inputFiles) {
    if (inputFiles.empty()) return;
    if (!options.outputdirGiven) {
        if (auto directory = platform::directoryOfPath(inputFiles.front())) options.outputdir = *directory;
    }
    std::fprintf(stderr, msg::outputDirectory, options.outputdir.c_str());
}

}  // namespace sensconv
