#include "driver/exportMode.h"

#include <set>

#include "common/outputLayout.h"
#include "common/userMessages.h"
#include "driver/driverMessages.h"
#include "output/edfExport.h"
#include "output/netcdfExport.h"
#include "output/sessionFolder.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;


struct exportFormat {
    const char* name;
    std::string (*write)(const sessionFolder&, const std::string&, std::vector<std::string>&);
};

constexpr exportFormat formats[] = {{"edf", exportEdf}, {"netcdf", exportNetcdf}};

// Exports one folder in the formats asked for; false after its ERROR line.
bool exportFolder(const commandLineOptions& options, const std::string& directory,
                  const std::vector<const exportFormat*>& chosen, std::set<std::string>& partsByRun) {
    sessionFolder folder;
    if (std::string reason = readSessionFolder(directory, folder); !reason.empty()) {
        printMessage(msg::exportNotSession, directory.c_str(), reason.c_str());
        return false;
    }
    const std::string target =
        options.outputdirGiven ? options.outputdir
                               : folder.directory + outputLayout::exportDirectoryName + platform::pathSeparator;
    // The exports are named after the part folder: with -outputdir two folders of the same
    // name would write the same files, and the second would replace the first's.
    if (!partsByRun.insert(target + folder.part).second) {
        printMessage(msg::exportCollision, directory.c_str(), (target + folder.part).c_str());
        return false;
    }
    const bool existed = platform::isDirectory(target);
    std::string reason;
    if (!existed && !platform::makeDirectories(target, reason)) {
        printMessage(msg::directoryNotCreated, target.c_str(), reason.c_str());
        return false;
    }
    bool ok = true;
    for (const exportFormat* format : chosen) {
        printMessage(msg::exportingFolder, directory.c_str(), format->name, target.c_str());
        std::vector<std::string> written;
        const std::string error = format->write(folder, target, written);
        for (const std::string& path : written) printMessage(msg::exportWritten, path.c_str());
        if (!error.empty()) {
            printMessage(msg::exportFailed, directory.c_str(), format->name, error.c_str());
            ok = false;
        }
    }
    if (!existed) platform::removeEmptyDirectory(target);
    return ok;
}

}  // namespace

exitStatus exportSessions(const commandLineOptions& options, const std::vector<std::string>& folders) {
    std::vector<const exportFormat*> chosen;
    for (const exportFormat& format : formats) {
        if (options.exportFormat == format.name || options.exportFormat == "all") chosen.push_back(&format);
    }
    if (chosen.empty()) {
        printMessage(msg::exportBadFormat, options.exportFormat.c_str());
        printMessage(msg::exiting);
        return exitStatus::badArgument;
    }
    if (folders.empty()) {
        printMessage(msg::exportNoFolders);
        printMessage(msg::exiting);
        return exitStatus::failed;
    }
    std::set<std::string> partsByRun;
    bool ok = true;
    for (const std::string& folder : folders) ok = exportFolder(options, folder, chosen, partsByRun) && ok;
    if (!ok) {
        printMessage(msg::exiting);
        return exitStatus::failed;
    }
    return exitStatus::success;
}

}  // namespace sensconv
