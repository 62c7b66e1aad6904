#include "driver/sessionSegmentation.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "container/packetReader.h"
#include "driver/driverMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

constexpr int statusNoFiles = -1;

double toSeconds(uint64_t milliseconds) {
    return static_cast<double>(milliseconds) / 1000.0;
}

void printSessionListing(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession,
                         const std::vector<uint64_t>& fileStart, const std::vector<uint64_t>& fileEnd) {
    int listedSession = 0;
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        if (fileSession[i] != listedSession) {
            listedSession = fileSession[i];
            std::fprintf(stderr, msg::emptyInfo);
            std::fprintf(stderr, msg::separatorLine);
            std::fprintf(stderr, msg::sessionHeading, listedSession);
        }
        const double duration = toSeconds(fileEnd[i] - fileStart[i]);
        const double hours = std::floor(duration / 60 / 60);
        const double mins = std::floor((duration - hours * 60 * 60) / 60);
        const double seconds = duration - (hours * 60 * 60 + mins * 60);
        std::fprintf(stderr, msg::fileStartsAt, static_cast<int>(i + 1));
        printTimestamp(toSeconds(fileStart[i]));
        std::fprintf(stderr, msg::fileDuration, duration, hours, mins, seconds);
    }

    std::fprintf(stderr, msg::nameListing);
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        if (i == 0 || fileSession[i] != fileSession[i - 1]) {
            std::fprintf(stderr, msg::nameListingSession, fileSession[i]);
        }
        std::fprintf(stderr, msg::nameListingFile, inputFiles[i].c_str());
    }
    std::fprintf(stderr, "\n");
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

void segmentSessions(std::vector<std::string>& inputFiles, std::vector<int>& fileSession, bool scanEnabled,
                     double maxGap_sec, bool writeTraceFiles) {
    fileSession.assign(inputFiles.size(), 1);
    if (!scanEnabled) return;

    std::fprintf(stderr, "\n");
    std::fprintf(stderr, msg::separatorLine);
    std::fprintf(stderr, msg::segmentationBanner);

    std::vector<uint64_t> fileStart;
    std::vector<uint64_t> fileEnd;
    snsrPacket packet;
    for (size_t i = 0; i < inputFiles.size();) {
        bool fileOk = false;
        {
            packetReader reader(inputFiles[i], writeTraceFiles);
            std::fprintf(stderr, msg::scanningFile, static_cast<int>(i + 1), static_cast<int>(inputFiles.size()),
                         inputFiles[i].c_str());
            fileOk = reader.fileOk;
            if (fileOk) {
                while (reader.hasData) reader.readPacket(packet);
                // The reader's times are 32-bit offsets from the file's 64-bit start time.
                fileStart.push_back(reader.fileStartTime + uint64_t{reader.firstSNSRTimestamp});
                fileEnd.push_back(reader.fileStartTime + uint64_t{reader.lastSNSRTimestamp});
            }
        }
        if (fileOk) {
            ++i;
        } else {
            std::fprintf(stderr, msg::rejectingFile, static_cast<int>(i + 1));
            inputFiles.erase(inputFiles.begin() + static_cast<std::ptrdiff_t>(i));
            fileSession.erase(fileSession.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }

    if (inputFiles.empty()) {
        std::fprintf(stderr, msg::noRemainingFiles);
        std::fprintf(stderr, msg::exiting);
        platform::exitProcess(statusNoFiles);
    }

    const int sessions = groupSessions(fileStart, fileEnd, maxGap_sec, fileSession);
    std::fprintf(stderr, msg::emptyInfo);
    std::fprintf(stderr, msg::sessionsFound, sessions);
    printSessionListing(inputFiles, fileSession, fileStart, fileEnd);
}

void printTimestamp(double t) {
    // Whole seconds and microseconds are both truncated, so a fraction that went
    // through the division by 1000 can show one microsecond low (…122999 for …123).
    constexpr double int64Limit = 9223372036854775808.0;
    if (!(t > -int64Limit && t < int64Limit)) {
        std::fprintf(stderr, msg::unknownTimestamp, 0);
        return;
    }
    const auto whole = static_cast<int64_t>(t);
    const auto micro = static_cast<int>((t - static_cast<double>(whole)) * 1000000.0);
    std::tm local{};
    if (!platform::localTime(whole, local)) {
        std::fprintf(stderr, msg::unknownTimestamp, micro);
        return;
    }
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    std::fprintf(stderr, msg::timestamp, local.tm_mday, local.tm_mon + 1, year, local.tm_hour, local.tm_min,
                 local.tm_sec, micro);
}

}  // namespace sensconv
