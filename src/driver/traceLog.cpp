#include "driver/traceLog.h"

#include <cerrno>
#include <cstdio>

#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "driver/driverMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

const char* stateOf(size_t file, size_t current) {
    if (file < current) return "completed";
    if (file == current) return "processing";
    return "queued";
}

const char* stateName(uint8_t state) {
    switch (static_cast<traceState>(state)) {
        case traceState::completed: return "completed";
        case traceState::processing: return "processing";
        case traceState::queued: break;
    }
    return "queued";
}

void writeTraceLog(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession,
                   const std::function<const char*(size_t)>& stateOfFile, const std::string& dir,
                   const std::string& outputdir, bool report) {
    const std::string path = dir + outputLayout::traceLogFileName;
    // Rewritten in place, never through a link or into a file with other names: the
    // log lies next to the inputs, where anyone may have put something under its name.
    std::FILE* log = platform::rewriteNoFollow(path);
    if (log == nullptr) {
        const bool inTheWay = errno == ELOOP || errno == EMLINK || errno == EISDIR || errno == EINVAL;
        if (report) printMessage(inTheWay ? msg::traceLogInTheWay : msg::traceLogUnwritable, path.c_str());
        return;
    }
    for (size_t i = 0; i < inputFiles.size() && i < fileSession.size(); ++i) {
        // The session's real output directory, also when the log lies elsewhere: the
        // log must lead an operator to the output of a run that stopped half-way.
        const int sessionIndex = fileSession[i] - 1;
        const std::string partDir = outputdir + outputLayout::sessionFolderName(sessionIndex);
        std::fprintf(log, msg::traceLogLine, inputFiles[i].c_str(), sessionIndex, stateOfFile(i), partDir.c_str());
    }
    // The log is an aid: a failed write is reported like a failed open, and the run goes on.
    const bool written = std::ferror(log) == 0;
    if ((std::fclose(log) != 0 || !written) && report) printMessage(msg::traceLogUnwritable, path.c_str());
}

}  // namespace

std::string chooseTraceLogDir(const std::string& outputdir, const std::vector<std::string>& inputFiles) {
    std::string dir = outputdir;
    if (!inputFiles.empty()) {
        if (auto directory = platform::directoryOfPath(inputFiles.front())) dir = *directory;
    }
    printMessage(msg::traceLogPlace);
    printMessage(msg::traceLogDirectory, dir.c_str());
    return dir;
}

void updateTraceLog(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession, size_t current,
                    const std::string& dir, const std::string& outputdir) {
    writeTraceLog(inputFiles, fileSession, [current](size_t file) { return stateOf(file, current); }, dir, outputdir,
                  true);
}

void updateTraceLogOfStates(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession,
                            const uint8_t* states, const std::string& dir, const std::string& outputdir, bool report) {
    writeTraceLog(inputFiles, fileSession, [states](size_t file) { return stateName(states[file]); }, dir, outputdir,
                  report);
}

}  // namespace sensconv
