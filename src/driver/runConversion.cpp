#include "driver/runConversion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "common/exitStatus.h"
#include "common/outcome.h"
#include "common/outputLayout.h"
#include "common/programInfo.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "container/packetReader.h"
#include "decode/channelTable.h"
#include "decode/sensorDecoder.h"
#include "driver/driverMessages.h"
#include "driver/fileScreening.h"
#include "driver/headerCheck.h"
#include "driver/exportMode.h"
#include "driver/fileDecoding.h"
#include "driver/infoMode.h"
#include "driver/sessionPipeline.h"
#include "driver/sessionSegmentation.h"
#include "driver/traceLog.h"
#include "output/accelCalibrationPass.h"
#include "output/activityPass.h"
#include "output/gpsTrackFiles.h"
#include "output/imageExtractor.h"
#include "output/sessionSummary.h"
#include "output/snsr_packetWriter_class.h"
#include "platform/childProcess.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

constexpr double gpsClockWarningMs = 1000.0;

// A session converted beside others that an earlier session's fatal error ended: a
// run of one session at a time would never have started it, so nothing of it stays.
[[noreturn]] void abandonSession(const std::string& stagedFolder) {
    if (!stagedFolder.empty()) platform::removeTree(stagedFolder);
    unfinishedSession::clear();
    platform::exitProcess(processStatus(exitStatus::failed));
}

// A session that ends before anything was written leaves nothing behind.
void reportIncomplete(int session, const std::string& directory) {
    if (!platform::removeEmptyDirectory(directory)) printMessage(msg::sessionIncomplete, session, directory.c_str());
}

void reportUnfinishedSession() {
    const unfinishedSession::where left = unfinishedSession::current();
    if (left.directory.empty()) return;
    if (!platform::waitForGoAhead()) abandonSession(left.directory);
    reportIncomplete(left.session, left.directory);
    unfinishedSession::clear();
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
        if (auto staged = platform::createUniqueDirectory(partDir + outputLayout::stagingInfix, reason)) {
            return {*staged, true};
        }
    }
    printMessage(msg::directoryNotCreated, partDir.c_str(), reason.c_str());
    return {partDir, false};
}

// Puts a finished session in place; false when it stays where it was built. Its files
// reach the disk before it takes its name, and the name after: a power loss leaves
// either the complete session under partDir or what was there before.
bool placeSession(const sessionFolder& folder, const std::string& partDir, runStatus& run) {
    std::string reason;
    std::string removeFailure;
    // Made for its owner alone while it was being built, the session is then opened to
    // whom the user's mask lets in, like every folder the user makes.
    if (!platform::allowAccessByMask(folder.path, reason)) {
        printMessage(msg::sessionNotMoved, folder.path.c_str(), partDir.c_str(), reason.c_str());
        return false;
    }
    if (!platform::flushTreeToDisk(folder.path, reason)) {
        printMessage(msg::sessionNotFlushed, reason.c_str());
        run.fileFailed();
        return false;
    }
    if (!platform::moveDirectoryIntoPlace(folder.path, partDir, reason, removeFailure)) {
        printMessage(msg::sessionNotMoved, folder.path.c_str(), partDir.c_str(), reason.c_str());
        return false;
    }
    if (!removeFailure.empty()) printMessage(msg::replacedNotRemoved, folder.path.c_str(), removeFailure.c_str());
    if (!platform::flushDirectoryToDisk(platform::directoryOfPath(partDir).value_or("."), reason)) {
        printMessage(msg::sessionNotFlushed, reason.c_str());
        run.fileFailed();
    }
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
        constexpr size_t prefixLength = sizeof outputLayout::sessionFolderPrefix - 1;
        if (name.compare(0, prefixLength, outputLayout::sessionFolderPrefix) != 0 || name.size() < prefixLength + 2 ||
            name.size() > 15) {
            continue;
        }
        const std::string digits = name.substr(prefixLength);
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        const long long index = std::stoll(digits);
        if (outputLayout::sessionFolderName(index) != name) continue;
        if (written.count(index) != 0) continue;
        if (!platform::isDirectory(outputdir + name)) continue;
        earlier.emplace_back(index, outputdir + name);
    }
    std::sort(earlier.begin(), earlier.end());
    for (const auto& [index, path] : earlier) printMessage(msg::earlierOutputKept, path.c_str());
}

// The one way out of a run that failed in the middle of a session, once the failure's
// lines are printed: the closing line, then the end of the process without unwinding,
// so that the session's files stay exactly as far as they had come.
[[noreturn]] void endRunAfterLines(const outcome& failure) {
    // Blocks still on their way to the session's files get there first.
    settleMessages();
    reportUnfinishedSession();
    putMessage(failure.closingLine());
    platform::exitProcess(processStatus(failure.status()));
}

[[noreturn]] void endRun(const outcome& failure) {
    putMessage(failure.lines().c_str());
    endRunAfterLines(failure);
}

// Reads one input file through decoder and writer. The reader and the decoder live
// for this file only; the writer, the carry-over record and the packet record belong
// to the session. False when the file's data ended early (a read failed or the file
// shrank); what was read up to there is converted. A fatal outcome leaves every object
// as it stands.
bool convertFile(const commandLineOptions& options, const std::string& path, int64_t expectedSize,
                 const std::string& sessionDir, sessionPipeline& pipeline, carryOver& carried, snsrPacket& packet,
                 sessionSummary& summary) {
    snsr_packetWriter_class& writer = pipeline.writer();
    packetReader reader(path, options.writeTraceFiles, expectedSize);
    // Without a header the decoder reports that and stays inactive; the run ends below.
    sensorDecoder decoder(reader.header());
    pipeline.beginFile(reader, decoder, expectedSize);
    if (!decoder.setUpResult().ok()) endRun(decoder.setUpResult());
    decoder.loadCarryOver(carried);
    if (outcome begun = writer.beginFile(sessionDir, decoder.view()); !begun.ok()) endRun(begun);
    if (options.ignoreRollover) decoder.disableRolloverCheck();
    if (!reader.fileOk()) endRun(outcome::fatal(exitStatus::failed, formatText(msg::fileNotProcessed, path.c_str())));

    const decodedFile decoded = decodeFile(reader, decoder, writer, packet);
    if (!decoded.ended.ok()) endRunAfterLines(decoded.ended);

    decoder.saveCarryOver(carried);
    writer.endFile(decoded.report);
    summary.addFile(path, decoded.report, writer);

    if (!reader.readFailed()) return true;
    const std::string reason = reader.readErrorNumber() != 0 ? std::strerror(reader.readErrorNumber())
                                                           : formatText(msg::inputShrunk, expectedSize);
    printMessage(msg::inputUnreadable, path.c_str(), reader.readFailureOffset(), reason.c_str());
    return false;
}

// The session's track files are written; a recorder clock more than a second off the
// receiver's UTC is worth a warning before anyone analyses the data.
void reportGpsTrack(const gpsSessionSummary& summary, const std::vector<std::string>& inputFiles, size_t sessionEnd) {
    const size_t files = summary.clockChecks.size();
    for (size_t i = 0; i < files && files <= sessionEnd; ++i) {
        const std::optional<gpsClockCheck>& check = summary.clockChecks[i];
        if (!check || std::fabs(check->medianOffsetMs) <= gpsClockWarningMs) continue;
        printMessage(msg::gpsClockOff, inputFiles[sessionEnd - files + i].c_str(), check->medianOffsetMs / 1000.0,
                     static_cast<long long>(check->fixes));
    }
}

// What a session left for the run's closing lines.
struct sessionOutcome {
    bool read = true;     // every input file was read to its end
    bool written = false; // part_NN holds this run's output of the session
    bool lost = false;    // some output was lost
};

// Converts session s, the input files from f on that belong to it; f ends past them.
// beforeFile is called with each file's index before the file is converted.
sessionOutcome convertSession(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                              const std::vector<int>& fileSession, const std::map<std::string, int64_t>& screenedSizes,
                              runStatus& run, int s, size_t& f, const std::function<void(size_t)>& beforeFile) {
    const int numFiles = static_cast<int>(inputFiles.size());
    const int lastSession = fileSession.back();
    sessionOutcome outcome;
    printMessage("\n");
    printMessage(msg::separatorLine);
    printMessage(msg::processingSession, s, lastSession);

    const std::string partDir = options.outputdir + outputLayout::sessionFolderName(s - 1);
    printMessage(msg::creatingOutputDirectory);
    printMessage(msg::quotedPath, partDir.c_str());
    const sessionFolder folder = createSessionFolder(options.outputdir, partDir);
    if (folder.staged) {
        platform::holdDirectory(folder.path);
        unfinishedSession::set(s, folder.path);
    }
    // The parent removes it should this process die before it may finish the session.
    if (folder.staged && platform::isChildSession()) {
        platform::reportToParent(formatText("S%zu:", folder.path.size()) + folder.path);
    }
    const int64_t lossesBefore = run.filesFailed();

    snsrPacket packet;
    carryOver carried;
    // The session's writer, read-ahead and the thread beside them.
    auto pipeline = std::make_unique<sessionPipeline>(run);
    auto extractor = std::make_unique<imageExtractor>(run);
    carried.extractor = extractor.get();

    sessionSummary summary(thisProgram(options.commandLine), outputLayout::sessionFolderName(s - 1), s, lastSession,
                           options.writeImageSubDir ? outputLayout::imagesDirectoryName : ".");
    summary.keepFilesIn(folder.path);
    std::string imagesDir = folder.path;
    if (options.writeImageSubDir) {
        imagesDir = folder.path + platform::pathSeparator + outputLayout::imagesDirectoryName;
        extractor->setCreateDirectory(imagesDir);
    }
    extractor->setImagesDir(imagesDir);

    gpsTrackFiles tracks(platform::withTrailingSeparator(folder.path), run);
    while (f < inputFiles.size() && fileSession[f] == s) {
        printMessage(msg::processingFile, s, static_cast<int>(f + 1), numFiles);
        if (beforeFile) beforeFile(f);
        const auto size = screenedSizes.find(inputFiles[f]);
        const int64_t expectedSize = size != screenedSizes.end() ? size->second : -1;
        if (!convertFile(options, inputFiles[f], expectedSize, folder.path, *pipeline, carried, packet, summary)) {
            outcome.read = false;
        }
        tracks.fileDone(pipeline->writer().gpsRecords());
        ++f;
    }

    // The writer finishes the session's files before the extractor lets go of an
    // image that is still open; only then is the session complete on disk. A
    // binaryData.meta that did not reach the disk leaves the session incomplete.
    const bool metaWritten = pipeline->finishFiles();
    if (extractor->closeUncheckedImage()) summary.addUncheckedImage();
    extractor.reset();
    const gpsSessionSummary gps = tracks.finish([&summary](int32_t file, int32_t sessionMs) -> std::optional<double> {
        const std::optional<double> seconds = summary.timeline().qor2UnixSeconds(static_cast<size_t>(file), sessionMs);
        return seconds ? std::optional<double>(*seconds * 1000.0) : std::nullopt;
    });
    reportGpsTrack(gps, inputFiles, f);
    summary.addGpsTrack(gps);
    // The accelerometer's calibration is fitted to the session's own still moments,
    // read back from the finished files.
    const calibrationChannels accelChannels{summary.written(qor2ChannelTable[qor2XAccel].longName),
                                            summary.written(qor2ChannelTable[qor2YAccel].longName),
                                            summary.written(qor2ChannelTable[qor2ZAccel].longName),
                                            summary.written(qor2ChannelTable[qor2Temp].longName)};
    const std::optional<accelCalibrationOutcome> calibration = calibrateAccelerometer(folder.path, accelChannels);
    summary.addAccelerometerCalibration(accelCalibrationJson(calibration));
    // When the recorder was worn and how active its wearer was, on the axes as the
    // calibration just applied gives them.
    const activityOutcome activity =
        wearPass(calibration ? calibration->report.applied : accelCalibration{}, activityInputsOf(summary, folder.path),
                 activitySettings{options.epochSeconds, wearParameters{}}, folder.path, run, &pipeline->beside());
    if (!activity.failure.empty()) printMessage(msg::activityNotComputed, activity.failure.c_str());
    summary.addWear(activity.wear);
    pipeline.reset();
    // The summary is part of the session: a session.json that cannot be written
    // leaves the session incomplete like any other lost output.
    const bool nothingLost = metaWritten && run.filesFailed() == lossesBefore;
    summary.write(folder.path, outcome.read && nothingLost ? 0 : processStatus(exitStatus::failed), run);
    outcome.lost = !nothingLost;
    // Converted beside others, the session is put in place only once every earlier
    // one has ended without ending the run.
    if (!platform::waitForGoAhead()) abandonSession(folder.staged ? folder.path : std::string());
    if (folder.staged) {
        const bool complete = outcome.read && !outcome.lost;
        if (complete && placeSession(folder, partDir, run)) {
            unfinishedSession::clear();
            outcome.written = true;
        }
        platform::releaseDirectory(folder.path);
        outcome.lost = run.filesFailed() != lossesBefore;
        reportUnfinishedSession();
    } else {
        outcome.written = true;
    }
    printMessage(msg::sessionCompleted, s, lastSession);
    printMessage(msg::separatorLine);
    return outcome;
}

// What a session's child process told the run: "S<length>:<path>" once its staging
// folder exists, "D" with three digits (read, written, lost) once it has finished.
struct childReport {
    std::string staged;
    bool done = false;
    bool read = false;
    bool written = false;
    bool lost = false;
};

childReport readChildReport(const std::string& text) {
    childReport report;
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] == 'S') {
            const size_t colon = text.find(':', at);
            if (colon == std::string::npos) break;
            const size_t length = static_cast<size_t>(std::strtoull(text.c_str() + at + 1, nullptr, 10));
            if (length > text.size() - colon - 1) break;
            report.staged = text.substr(colon + 1, length);
            at = colon + 1 + length;
        } else if (text[at] == 'D' && at + 4 <= text.size()) {
            report.done = true;
            report.read = text[at + 1] == '1';
            report.written = text[at + 2] == '1';
            report.lost = text[at + 3] == '1';
            at += 4;
        } else {
            break;
        }
    }
    return report;
}

// Up to options.jobs sessions at once, each in a child process of its own. A child's
// messages are printed whole once it has ended and every earlier session's messages
// are out, so that standard error reads as if the sessions ran one after the other.
// A session that ends the run ends it here as well, after the sessions before it;
// the sessions after it are abandoned without a trace. False when a session could not
// be started as a child: the rest then runs in this process (from session s on).
bool convertSessionsSideBySide(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                               const std::vector<int>& fileSession, const std::map<std::string, int64_t>& screenedSizes,
                               runStatus& run, int& s, size_t& f, sessionOutcome& total, std::set<long long>& written) {
    const int lastSession = fileSession.back();
    platform::sharedBytes traceStates(options.writeTraceLog ? inputFiles.size() : 0);
    const bool sharedTrace = traceStates.size() == inputFiles.size() && options.writeTraceLog;
    const auto stateAt = [&traceStates](size_t file) -> uint8_t& { return traceStates.data()[file]; };

    struct running {
        int session = 0;
        size_t firstFile = 0;
        size_t endFile = 0;
        platform::childProcess child;
    };
    std::deque<running> children;
    bool startFailed = false;
    size_t nextFile = f;
    int nextSession = s;
    while (!children.empty() || (nextSession <= lastSession && !startFailed)) {
        while (!startFailed && nextSession <= lastSession && static_cast<int>(children.size()) < options.jobs) {
            running next{nextSession, nextFile, nextFile, {}};
            while (next.endFile < inputFiles.size() && fileSession[next.endFile] == nextSession) ++next.endFile;
            const auto body = [&, first = next.firstFile, session = nextSession]() {
                size_t file = first;
                const auto beforeFile = [&](size_t current) {
                    if (!options.writeTraceLog) return;
                    if (!sharedTrace) {
                        updateTraceLog(inputFiles, fileSession, current, options.traceLogDir, options.outputdir);
                        return;
                    }
                    traceStates.lock();
                    if (current > first) stateAt(current - 1) = static_cast<uint8_t>(traceState::completed);
                    stateAt(current) = static_cast<uint8_t>(traceState::processing);
                    updateTraceLogOfStates(inputFiles, fileSession, traceStates.data(), options.traceLogDir, options.outputdir);
                    traceStates.unlock();
                };
                const sessionOutcome outcome =
                    convertSession(options, inputFiles, fileSession, screenedSizes, run, session, file, beforeFile);
                if (sharedTrace && file > first) {
                    traceStates.lock();
                    stateAt(file - 1) = static_cast<uint8_t>(traceState::completed);
                    traceStates.unlock();
                }
                platform::reportToParent(formatText("D%d%d%d", outcome.read ? 1 : 0, outcome.written ? 1 : 0,
                                                    outcome.lost ? 1 : 0));
                return 0;
            };
            std::string reason;
            auto child = platform::startChild(body, reason, nextSession);
            if (!child) {
                startFailed = true;
                break;
            }
            next.child = *child;
            children.push_back(next);
            nextSession = next.session + 1;
            nextFile = next.endFile;
        }
        if (children.empty()) break;

        running front = children.front();
        children.pop_front();
        platform::giveGoAhead(front.child);
        const platform::childEnd end = platform::waitForChild(front.child, true);
        const childReport report = readChildReport(end.result);
        if (!report.done) {
            // A session that crashed is named; the run then ends as after a fatal error.
            if (!end.exited) {
                printMessage(msg::sessionCrashed, front.session, end.signal, platform::signalName(end.signal).c_str());
            }
            // The session ended the run: the later ones are abandoned and leave nothing,
            // also when they die before they can clear up themselves.
            for (running& later : children) platform::withholdGoAhead(later.child);
            for (running& later : children) {
                const std::string staged = readChildReport(platform::waitForChild(later.child, false).result).staged;
                if (!staged.empty() && platform::isDirectory(staged)) platform::removeTree(staged);
            }
            if (sharedTrace) {
                for (const running& later : children) {
                    for (size_t i = later.firstFile; i < later.endFile; ++i) {
                        stateAt(i) = static_cast<uint8_t>(traceState::queued);
                    }
                }
                updateTraceLogOfStates(inputFiles, fileSession, traceStates.data(), options.traceLogDir, options.outputdir,
                               false);
            }
            if (!end.exited) {
                if (!report.staged.empty() && platform::isDirectory(report.staged)) {
                    reportIncomplete(front.session, report.staged);
                }
                printMessage(msg::exiting);
                platform::exitProcess(processStatus(exitStatus::failed));
            }
            platform::endLike(end);
        }
        total.read = total.read && report.read;
        // The child counted its own failed files; this run only needs to know it lost some.
        if (report.lost) run.fileFailed();
        if (report.written) written.insert(front.session - 1);
        s = front.session + 1;
        f = front.endFile;
    }
    if (sharedTrace && !startFailed && s > lastSession) {
        // The running log ends as it does when the sessions run one after the other:
        // the last file it was told about is the run's last one.
        for (size_t i = 0; i < inputFiles.size(); ++i) stateAt(i) = static_cast<uint8_t>(traceState::completed);
        stateAt(inputFiles.size() - 1) = static_cast<uint8_t>(traceState::processing);
        updateTraceLogOfStates(inputFiles, fileSession, traceStates.data(), options.traceLogDir, options.outputdir,
                               false);
    }
    return !startFailed;
}

// Staging folders that a run stopped on its way left in the output directory (no running
// process holds them): their sessions were never finished.
void warnAboutAbandonedSessions(const std::string& outputdir) {
    std::vector<std::string> names;
    std::string reason;
    if (!platform::listDirectory(outputdir.empty() ? std::string(".") : outputdir, names, reason)) return;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (outputLayout::isStagingFolderName(name) && platform::isAbandonedDirectory(outputdir + name)) {
            printMessage(msg::abandonedSession, (outputdir + name).c_str());
        }
    }
}

// A request to end the run (SIGTERM, SIGINT, SIGHUP): the sessions being built stop where
// they stand, as a run of one session at a time would, and the run says where they are.
void endOnRequest(int signal) {
    const std::vector<platform::stoppedChild> children = platform::stopChildren();
    for (size_t i = 0; i < children.size(); ++i) {
        const std::string staged = readChildReport(children[i].result).staged;
        // The first is the session one at a time would be converting; the later ones
        // would not have begun.
        if (i == 0) std::fwrite(children[i].errors.data(), 1, children[i].errors.size(), stderr);
        if (staged.empty() || !platform::isDirectory(staged)) continue;
        if (i == 0) {
            reportIncomplete(children[i].label, staged);
        } else {
            platform::removeTree(staged);
        }
    }
    const unfinishedSession::where left = unfinishedSession::current();
    if (!left.directory.empty() && platform::isDirectory(left.directory)) reportIncomplete(left.session, left.directory);
    printMessage(msg::endedBySignal, signal, platform::signalName(signal).c_str());
}

// A run that fails before any session is begun ends with the failure's lines, its
// closing line and its status.
int endBeforeConversion(const outcome& failure) {
    putMessage(failure.lines().c_str());
    putMessage(failure.closingLine());
    return processStatus(failure.status());
}

}  // namespace

void takeTerminationRequests() {
    platform::handleTerminationRequests(endOnRequest);
}

bool convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession, runStatus& run,
                     const std::map<std::string, int64_t>& screenedSizes) {
    if (inputFiles.empty() || fileSession.size() != inputFiles.size()) return true;
    const int lastSession = fileSession.back();
    sessionOutcome total;
    std::set<long long> written;  // indices of the part_NN folders this run wrote

    size_t f = 0;
    int s = fileSession.front();
    if (options.jobs > 1 && s < lastSession) {
        convertSessionsSideBySide(options, inputFiles, fileSession, screenedSizes, run, s, f, total, written);
    }
    // No session process is started from here on.
    if (options.jobs > 1) platform::takeTerminationRequests();
    const auto beforeFile = [&](size_t current) {
        if (options.writeTraceLog) updateTraceLog(inputFiles, fileSession, current, options.traceLogDir, options.outputdir);
    };
    for (; s <= lastSession; ++s) {
        const sessionOutcome outcome =
            convertSession(options, inputFiles, fileSession, screenedSizes, run, s, f, beforeFile);
        total.read = total.read && outcome.read;
        if (outcome.written) written.insert(s - 1);
    }
    warnAboutEarlierSessions(options.outputdir, written);
    return total.read;
}

int runConversion(int argc, char** argv) {
    // Before anything is opened: a file must never become standard output or error.
    platform::ensureStandardDescriptors();
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    commandLineOptions options;
    std::vector<std::string> inputFiles;
    if (const exitStatus status = parseCommandLine(arguments, options, inputFiles); status != exitStatus::success) {
        return processStatus(status);
    }
    // Sessions side by side are started from this thread alone; otherwise a thread takes
    // the requests to end.
    if (options.what == commandLineOptions::action::convert) {
        if (options.jobs > 1) {
            platform::holdTerminationRequests();
        } else {
            platform::takeTerminationRequests();
        }
    }
    options.commandLine.assign(argv, argv + (argc > 0 ? argc : 0));
    switch (options.what) {
        case commandLineOptions::action::help:
            printHelp(stdout);
            return 0;
        case commandLineOptions::action::version:
            printVersion(stdout);
            return 0;
        case commandLineOptions::action::info:
            return processStatus(describeInput(options, inputFiles));
        case commandLineOptions::action::exportSessions:
            return processStatus(exportSessions(options, inputFiles));
        case commandLineOptions::action::convert:
            break;
    }
    inferOutputDirectory(options, inputFiles);

    if (options.scanEnabled) {
        if (const outcome scanned = scanDirectory(options.scandir, inputFiles); !scanned.ok()) {
            return endBeforeConversion(scanned);
        }
    }
    std::map<std::string, int64_t> screenedSizes;
    screenFiles(inputFiles, &screenedSizes);
    if (inputFiles.empty()) {
        printMessage(msg::noFilesToParse);
        printMessage(msg::exiting);
        return processStatus(exitStatus::noFiles);
    }

    std::vector<int> fileSession;
    if (const outcome segmented = segmentSessions(inputFiles, fileSession, options.scanEnabled, options.maxGap_sec,
                                                  options.writeTraceFiles, options.jobs);
        !segmented.ok()) {
        return endBeforeConversion(segmented);
    }
    if (options.scanEnabled && !options.outputdirGiven) {
        options.outputdir = options.scandir;
        printMessage(msg::changingOutputDirectory, options.outputdir.c_str());
    }

    if (!checkFileHeaders(inputFiles)) return processStatus(exitStatus::failed);
    if (options.writeTraceLog) options.traceLogDir = chooseTraceLogDir(options.outputdir, inputFiles);

    warnAboutAbandonedSessions(options.outputdir);
    runStatus run;
    const bool allRead = convertSessions(options, inputFiles, fileSession, run, screenedSizes);

    if (options.writeTraceLog) {
        updateTraceLog(inputFiles, fileSession, inputFiles.size(), options.outputdir, options.outputdir);
        // The running log, where it lies elsewhere, would otherwise go on saying that
        // the last file is being processed. It is brought to the same end; a running
        // log that could not be written was reported before each file already.
        if (options.traceLogDir != options.outputdir) {
            const std::vector<uint8_t> done(inputFiles.size(), static_cast<uint8_t>(traceState::completed));
            updateTraceLogOfStates(inputFiles, fileSession, done.data(), options.traceLogDir, options.outputdir, false);
        }
    }

    if (!allRead || run.outputLost()) {
        if (!allRead) printMessage(msg::inputLost);
        if (run.outputLost()) printMessage(msg::outputLost);
        printMessage(msg::exiting);
        return processStatus(exitStatus::failed);
    }
    return 0;
}

}  // namespace sensconv
