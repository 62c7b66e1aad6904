#include "driver/runConversion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "common/outcome.h"
#include "common/textFormat.h"
#include "container/packetReader.h"
#include "decode/imageExtractor.h"
#include "decode/sensorDecoder.h"
#include "driver/driverMessages.h"
#include "driver/fileScreening.h"
#include "driver/headerCheck.h"
#include "driver/infoMode.h"
#include "driver/sessionSegmentation.h"
#include "driver/traceLog.h"
#include "output/gpsTrackFiles.h"
#include "output/sessionSummary.h"
#include "output/snsr_packetWriter_class.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

constexpr int statusNoFiles = -2;
constexpr int statusFailed = -1;
constexpr double gpsClockWarningMs = 1000.0;

// The session whose output is being built, for the closing line of a run that ends
// before the session is finished.
struct unfinishedSession {
    int session = 0;
    std::string directory;  // empty while no session is being built
};
unfinishedSession unfinished;

void reportUnfinishedSession() {
    if (unfinished.directory.empty()) return;
    // A session that ends before anything was written leaves nothing behind.
    if (!platform::removeEmptyDirectory(unfinished.directory)) {
        std::fprintf(stderr, msg::sessionIncomplete, unfinished.session, unfinished.directory.c_str());
    }
    unfinished.directory.clear();
}

// A session is built in a folder of its own, under a name no other run can choose and
// that says it is incomplete until the whole session is written; only then does it
// take partDir's place. Without one (the output directory cannot be created), the
// session goes to partDir as it is, and the first output file that cannot be created
// ends the run with its own message.
struct sessionFolder {
    std::string path;
    bool staged = false;
};

sessionFolder createSessionFolder(const std::string& outputdir, const std::string& partDir) {
    std::string reason;
    if (platform::makeDirectories(outputdir, reason)) {
        if (auto staged = platform::createUniqueDirectory(partDir + ".incomplete-", reason)) return {*staged, true};
    }
    std::fprintf(stderr, msg::directoryNotCreated, partDir.c_str(), reason.c_str());
    return {partDir, false};
}

// Puts a finished session in place; false when it stays where it was built.
bool placeSession(const sessionFolder& folder, const std::string& partDir) {
    std::string reason;
    std::string removeFailure;
    if (!platform::moveDirectoryIntoPlace(folder.path, partDir, reason, removeFailure)) {
        std::fprintf(stderr, msg::sessionNotMoved, folder.path.c_str(), partDir.c_str(), reason.c_str());
        return false;
    }
    if (!removeFailure.empty()) std::fprintf(stderr, msg::replacedNotRemoved, folder.path.c_str(), removeFailure.c_str());
    return true;
}

// Folders part_NN that an earlier run left and this run did not replace (beyond its
// sessions, or in the place of one that stayed incomplete): they are kept, and named
// so that nobody takes them for this run's output.
void warnAboutEarlierSessions(const std::string& outputdir, const std::set<long long>& written) {
    std::vector<std::string> names;
    std::string reason;
    if (!platform::listDirectory(outputdir.empty() ? std::string(".") : outputdir, names, reason)) return;
    std::vector<std::pair<long long, std::string>> earlier;
    for (const std::string& name : names) {
        constexpr size_t prefixLength = 5;
        if (name.compare(0, prefixLength, "part_") != 0 || name.size() < prefixLength + 2 || name.size() > 15) continue;
        const std::string digits = name.substr(prefixLength);
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        const long long index = std::stoll(digits);
        if (formatText("part_%02lld", index) != name) continue;
        if (written.count(index) != 0) continue;
        if (!platform::isDirectory(outputdir + name)) continue;
        earlier.emplace_back(index, outputdir + name);
    }
    std::sort(earlier.begin(), earlier.end());
    for (const auto& [index, path] : earlier) std::fprintf(stderr, msg::earlierOutputKept, path.c_str());
}

// The one way out of a run that failed in the middle of a session: the closing line,
// then the end of the process without unwinding, so that the session's files stay
// exactly as far as they had come.
[[noreturn]] void endRun(const outcome& failure) {
    reportUnfinishedSession();
    std::fputs(failure.closingLine(), stderr);
    platform::exitProcess(failure.status());
}

// Reads one input file through decoder and writer. The reader and the decoder live
// for this file only; the writer, the carry-over record and the packet record belong
// to the session. False when the file's data ended early (a read failed or the file
// shrank); what was read up to there is converted. A fatal outcome leaves every object
// as it stands.
bool convertFile(const commandLineOptions& options, const std::string& path, int64_t expectedSize,
                 const std::string& sessionDir, snsr_packetWriter_class& writer, carryOver& carried,
                 snsrPacket& packet, sessionSummary& summary) {
    packetReader reader(path, options.writeTraceFiles, expectedSize);
    // Without a header the decoder reports that and stays inactive; the run ends below.
    sensorDecoder decoder(reader.header.get());
    if (!decoder.setUpResult().ok()) endRun(decoder.setUpResult());
    decoder.loadCarryOver(carried);
    if (outcome begun = writer.beginFile(sessionDir, decoder.view()); !begun.ok()) endRun(begun);
    if (options.ignoreRollover) decoder.disableRolloverCheck();
    if (!reader.fileOk) endRun(outcome::fatal(statusFailed, formatText(msg::fileNotProcessed, path.c_str())));

    // Every record goes to the decoder, also the last one that carries no packet.
    while (reader.hasData) {
        reader.readPacket(packet);
        if (outcome decoded = decoder.processPacket(packet); !decoded.ok()) endRun(decoded);
        writer.writePacket();
    }

    decoder.saveCarryOver(carried);
    reader.writeStatistics(writer.metaKeys, writer.metaValues);
    decoder.writeStatistics(writer.metaKeys, writer.metaValues);
    writer.endFile();
    summary.addFile(path, reader, decoder, writer);

    if (!reader.readFailed) return true;
    const std::string reason = reader.readErrorNumber != 0 ? std::strerror(reader.readErrorNumber)
                                                           : formatText(msg::inputShrunk, expectedSize);
    std::fprintf(stderr, msg::inputUnreadable, path.c_str(), reader.readFailureOffset, reason.c_str());
    return false;
}

// The session's track files are written; a recorder clock more than a second off the
// receiver's UTC is worth a warning before anyone analyses the data.
void reportGpsTrack(const gpsSessionSummary& summary, const std::vector<std::string>& inputFiles, size_t sessionEnd) {
    const size_t files = summary.clockChecks.size();
    for (size_t i = 0; i < files && files <= sessionEnd; ++i) {
        const std::optional<gpsClockCheck>& check = summary.clockChecks[i];
        if (!check || std::fabs(check->medianOffsetMs) <= gpsClockWarningMs) continue;
        std::fprintf(stderr, msg::gpsClockOff, inputFiles[sessionEnd - files + i].c_str(), check->medianOffsetMs / 1000.0,
                     static_cast<long long>(check->fixes));
    }
}

}  // namespace

bool convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession, runStatus& run,
                     const std::map<std::string, int64_t>& screenedSizes) {
    if (inputFiles.empty() || fileSession.size() != inputFiles.size()) return true;
    const int numFiles = static_cast<int>(inputFiles.size());
    const int lastSession = fileSession.back();
    snsrPacket packet;
    bool allRead = true;
    std::set<long long> written;  // indices of the part_NN folders this run wrote

    size_t f = 0;
    for (int s = fileSession.front(); s <= lastSession; ++s) {
        std::fprintf(stderr, "\n");
        std::fprintf(stderr, msg::separatorLine);
        std::fprintf(stderr, msg::processingSession, s, lastSession);

        const std::string partDir = formatText("%spart_%02d", options.outputdir.c_str(), s - 1);
        std::fprintf(stderr, msg::creatingOutputDirectory);
        std::fprintf(stderr, msg::quotedPath, partDir.c_str());
        const sessionFolder folder = createSessionFolder(options.outputdir, partDir);
        if (folder.staged) unfinished = {s, folder.path};
        const int64_t lossesBefore = run.filesFailed();
        bool sessionRead = true;

        packet.reset();
        carryOver carried;
        auto writer = std::make_unique<snsr_packetWriter_class>(run);
        auto extractor = std::make_unique<imageExtractor>(run);
        carried.extractor = extractor.get();

        sessionSummary summary(thisProgram(options.commandLine), formatText("part_%02d", s - 1), s, lastSession,
                               options.writeImageSubDir ? "images" : ".");
        std::string imagesDir = folder.path;
        if (options.writeImageSubDir) {
            imagesDir = folder.path + platform::pathSeparator + "images";
            extractor->setCreateDirectory(imagesDir);
        }
        extractor->setImagesDir(imagesDir);

        gpsTrackFiles tracks(platform::withTrailingSeparator(folder.path), run);
        while (f < inputFiles.size() && fileSession[f] == s) {
            std::fprintf(stderr, msg::processingFile, s, static_cast<int>(f + 1), numFiles);
            if (options.writeTraceLog) updateTraceLog(inputFiles, fileSession, f, options.traceLogDir, options.outputdir);
            const auto size = screenedSizes.find(inputFiles[f]);
            const int64_t expectedSize = size != screenedSizes.end() ? size->second : -1;
            if (!convertFile(options, inputFiles[f], expectedSize, folder.path, *writer, carried, packet, summary)) {
                sessionRead = false;
            }
            tracks.fileDone(writer->gpsRecords());
            ++f;
        }

        // The writer finishes the session's files before the extractor lets go of an
        // image that is still open; only then is the session complete on disk.
        writer.reset();
        extractor.reset();
        const gpsSessionSummary gps = tracks.finish([&summary](int32_t file, int32_t sessionMs) -> std::optional<double> {
            const std::optional<double> seconds = summary.timeline().qor2UnixSeconds(static_cast<size_t>(file), sessionMs);
            return seconds ? std::optional<double>(*seconds * 1000.0) : std::nullopt;
        });
        reportGpsTrack(gps, inputFiles, f);
        summary.addGpsTrack(gps);
        // The summary is part of the session: a session.json that cannot be written
        // leaves the session incomplete like any other lost output.
        summary.write(folder.path, sessionRead && run.filesFailed() == lossesBefore ? 0 : statusFailed, run);
        allRead = allRead && sessionRead;
        if (folder.staged) {
            const bool complete = sessionRead && run.filesFailed() == lossesBefore;
            if (complete && placeSession(folder, partDir)) {
                unfinished.directory.clear();
                written.insert(s - 1);
            }
            reportUnfinishedSession();
        } else {
            written.insert(s - 1);
        }
        std::fprintf(stderr, msg::sessionCompleted, s, lastSession);
        std::fprintf(stderr, msg::separatorLine);
    }
    warnAboutEarlierSessions(options.outputdir, written);
    return allRead;
}

int runConversion(int argc, char** argv) {
    // Before anything is opened: a file must never become standard output or error.
    platform::ensureStandardDescriptors();
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    commandLineOptions options;
    std::vector<std::string> inputFiles;
    if (const int status = parseCommandLine(arguments, options, inputFiles); status != 0) return status;
    options.commandLine.assign(argv, argv + (argc > 0 ? argc : 0));
    switch (options.what) {
        case commandLineOptions::action::help:
            printHelp(stdout);
            return 0;
        case commandLineOptions::action::version:
            printVersion(stdout);
            return 0;
        case commandLineOptions::action::info:
            return describeInput(options, inputFiles);
        case commandLineOptions::action::convert:
            break;
    }
    inferOutputDirectory(options, inputFiles);

    if (options.scanEnabled) scanDirectory(options.scandir, inputFiles);
    std::map<std::string, int64_t> screenedSizes;
    screenFiles(inputFiles, &screenedSizes);
    if (inputFiles.empty()) {
        std::fprintf(stderr, msg::noFilesToParse);
        std::fprintf(stderr, msg::exiting);
        return statusNoFiles;
    }

    std::vector<int> fileSession;
    segmentSessions(inputFiles, fileSession, options.scanEnabled, options.maxGap_sec, options.writeTraceFiles);
    if (options.scanEnabled && !options.outputdirGiven) {
        options.outputdir = options.scandir;
        std::fprintf(stderr, msg::changingOutputDirectory, options.outputdir.c_str());
    }

    if (!checkFileHeaders(inputFiles)) return statusFailed;
    if (options.writeTraceLog) options.traceLogDir = chooseTraceLogDir(options.outputdir, inputFiles);

    runStatus run;
    const bool allRead = convertSessions(options, inputFiles, fileSession, run, screenedSizes);

    if (options.writeTraceLog) {
        updateTraceLog(inputFiles, fileSession, inputFiles.size(), options.outputdir, options.outputdir);
    }

    if (!allRead || run.outputLost()) {
        if (!allRead) std::fprintf(stderr, msg::inputLost);
        if (run.outputLost()) std::fprintf(stderr, msg::outputLost);
        std::fprintf(stderr, msg::exiting);
        return statusFailed;
    }
    return 0;
}

}  // namespace sensconv
