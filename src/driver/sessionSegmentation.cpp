#include "driver/sessionSegmentation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>

#include "common/exitStatus.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "container/packetReader.h"
#include "driver/driverMessages.h"
#include "driver/sessionPipeline.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

double toSeconds(uint64_t milliseconds) {
    return static_cast<double>(milliseconds) / 1000.0;
}

void printSessionListing(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession,
                         const std::vector<uint64_t>& fileStart, const std::vector<uint64_t>& fileEnd) {
    int listedSession = 0;
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        if (fileSession[i] != listedSession) {
            listedSession = fileSession[i];
            printMessage(msg::emptyInfo);
            printMessage(msg::separatorLine);
            printMessage(msg::sessionHeading, listedSession);
        }
        const double duration = toSeconds(fileEnd[i] - fileStart[i]);
        const double hours = std::floor(duration / 60 / 60);
        const double mins = std::floor((duration - hours * 60 * 60) / 60);
        const double seconds = duration - (hours * 60 * 60 + mins * 60);
        printMessage(msg::fileStartsAt, static_cast<int>(i + 1));
        printTimestamp(toSeconds(fileStart[i]));
        printMessage(msg::fileDuration, duration, hours, mins, seconds);
    }

    printMessage(msg::nameListing);
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        if (i == 0 || fileSession[i] != fileSession[i - 1]) {
            printMessage(msg::nameListingSession, fileSession[i]);
        }
        printMessage(msg::nameListingFile, inputFiles[i].c_str());
    }
    printMessage("\n");
}

}  // namespace

int groupSessions(const std::vector<uint64_t>& fileStart, const std::vector<uint64_t>& fileEnd, double maxGap_sec,
                  std::vector<int>& fileSession) {
    int session = 1;
    for (size_t i = 1; i < fileSession.size(); ++i) {
        // The list is in name order, not time order: a file that starts long before
        // the previous one ended opens a new session as well.
        const double gap = std::fabs(toSeconds(fileEnd[i - 1]) - toSeconds(fileStart[i]));
        if (gap > maxGap_sec) ++session;
        fileSession[i] = session;
    }
    return session;
}

namespace {

struct fileScan {
    bool ok = false;
    uint64_t start = 0;  // first and last packet time, milliseconds since 1970
    uint64_t end = 0;
    // A read that failed: the times are then those of the part read, and no plan
    // may rest on them.
    int readErrorNumber = 0;
    int64_t readFailureOffset = -1;
};

// Reads a file through for its first and last packet time; announce() comes between
// the reader's opening and its packets.
template <typename announcer>
fileScan scanFile(const std::string& path, bool writeTraceFiles, announcer&& announce) {
    fileScan scan;
    snsrPacket packet;
    packetReader reader(path, writeTraceFiles);
    announce();
    scan.ok = reader.fileOk();
    if (scan.ok) {
        while (reader.hasData()) reader.readPacket(packet);
        // The reader's times are 32-bit offsets from the file's 64-bit start time.
        scan.start = reader.fileStartTime() + uint64_t{reader.firstSNSRTimestamp()};
        scan.end = reader.fileStartTime() + uint64_t{reader.lastSNSRTimestamp()};
        if (reader.readFailed()) {
            scan.readErrorNumber = reader.readErrorNumber();
            scan.readFailureOffset = reader.readFailureOffset();
        }
    }
    return scan;
}

}  // namespace

outcome segmentSessions(std::vector<std::string>& inputFiles, std::vector<int>& fileSession, bool scanEnabled,
                     double maxGap_sec, bool writeTraceFiles, int jobs) {
    fileSession.assign(inputFiles.size(), 1);
    if (!scanEnabled) return {};

    printMessage("\n");
    printMessage(msg::separatorLine);
    printMessage(msg::segmentationBanner);

    std::vector<uint64_t> fileStart;
    std::vector<uint64_t> fileEnd;
    // With jobs, the files are scanned beside each other; the lines are those of one
    // scan after the other.
    std::optional<sideBySide<fileScan>> beside;
    const std::vector<std::string> given = inputFiles;
    if (jobs > 1 && given.size() > 1) {
        beside.emplace(given.size(), std::min(static_cast<size_t>(jobs), given.size()),
                       [&given, writeTraceFiles](size_t g, const std::function<void()>& announce) {
                           return scanFile(given[g], writeTraceFiles, announce);
                       });
    }
    // i counts the files kept so far: the lines number the files of the shrinking list.
    for (size_t i = 0, g = 0; g < given.size(); ++g) {
        const auto announce = [&] {
            printMessage(msg::scanningFile, static_cast<int>(i + 1), static_cast<int>(inputFiles.size()),
                         inputFiles[i].c_str());
        };
        const fileScan scan = beside ? beside->take(g, announce) : scanFile(given[g], writeTraceFiles, announce);
        if (scan.readFailureOffset >= 0) {
            // Sessions planned on a file read in part would be cut and numbered wrongly.
            beside.reset();
            return outcome::fatal(exitStatus::failed,
                                  formatText(msg::inputUnreadable, given[g].c_str(), scan.readFailureOffset,
                                             scan.readErrorNumber != 0 ? std::strerror(scan.readErrorNumber)
                                                                       : "the data ended early"));
        }
        if (scan.ok) {
            fileStart.push_back(scan.start);
            fileEnd.push_back(scan.end);
            ++i;
        } else {
            printMessage(msg::rejectingFile, static_cast<int>(i + 1));
            inputFiles.erase(inputFiles.begin() + static_cast<std::ptrdiff_t>(i));
            fileSession.erase(fileSession.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    beside.reset();

    if (inputFiles.empty()) {
        return outcome::fatal(exitStatus::scanFoundNothing, msg::noRemainingFiles);
    }

    const int sessions = groupSessions(fileStart, fileEnd, maxGap_sec, fileSession);
    printMessage(msg::emptyInfo);
    printMessage(msg::sessionsFound, sessions);
    printSessionListing(inputFiles, fileSession, fileStart, fileEnd);
    return {};
}

void printTimestamp(double t) {
    // Whole seconds and microseconds are both truncated, so a fraction that went
    // through the division by 1000 can show one microsecond low (…122999 for …123).
    constexpr double int64Limit = 9223372036854775808.0;
    if (!(t > -int64Limit && t < int64Limit)) {
        printMessage(msg::unknownTimestamp, 0);
        return;
    }
    const auto whole = static_cast<int64_t>(t);
    const auto micro = static_cast<int>((t - static_cast<double>(whole)) * 1000000.0);
    std::tm local{};
    if (!platform::localTime(whole, local)) {
        printMessage(msg::unknownTimestamp, micro);
        return;
    }
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    printMessage(msg::timestamp, local.tm_mday, local.tm_mon + 1, year, local.tm_hour, local.tm_min,
                 local.tm_sec, micro);
}

}  // namespace sensconv
