#include "driver/runConversion.h"

#include <cstdio>
#include <memory>

#include "common/outcome.h"
#include "common/textFormat.h"
#include "container/packetReader.h"
#include "decode/imageExtractor.h"
#include "decode/sensorDecoder.h"
#include "driver/driverMessages.h"
#include "driver/fileScreening.h"
#include "driver/headerCheck.h"
#include "driver/sessionSegmentation.h"
#include "driver/traceLog.h"
#include "output/snsr_packetWriter_class.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

constexpr int statusNoFiles = -2;
constexpr int statusFailed = -1;

// An existing directory is reused; one that cannot be created is reported, and the
// first output file that then cannot be created ends the run with its own message.
void createDirectory(const std::string& dir) {
    std::string reason;
    if (!platform::makeDirectories(dir, reason)) {
        std::fprintf(stderr, msg::directoryNotCreated, dir.c_str(), reason.c_str());
    }
}

// The one way out of a run that failed in the middle of a session: the closing line,
// then the end of the process without unwinding, so that the session's files stay
// exactly as far as they had come.
[[noreturn]] void endRun(const outcome& failure) {
    std::fputs(failure.closingLine(), stderr);
    platform::exitProcess(failure.status());
}

// Reads one input file through decoder and writer. The reader and the decoder live
// for this file only; the writer, the carry-over record and the packet record belong
// to the session. A fatal outcome leaves every object as it stands.
void convertFile(const commandLineOptions& options, const std::string& path, const std::string& partDir,
                 snsr_packetWriter_class& writer, carryOver& carried, snsrPacket& packet) {
    packetReader reader(path, options.writeTraceFiles);
    // Without a header the decoder reports that and stays inactive; the run ends below.
    sensorDecoder decoder(reader.header.get());
    if (!decoder.setUpResult().ok()) endRun(decoder.setUpResult());
    decoder.loadCarryOver(carried);
    if (outcome begun = writer.beginFile(partDir, decoder.view()); !begun.ok()) endRun(begun);
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
}

}  // namespace

void convertSessions(const commandLineOptions& options, const std::vector<std::string>& inputFiles,
                     const std::vector<int>& fileSession, runStatus& run) {
    if (inputFiles.empty() || fileSession.size() != inputFiles.size()) return;
    const int numFiles = static_cast<int>(inputFiles.size());
    const int lastSession = fileSession.back();
    snsrPacket packet;

    size_t f = 0;
    for (int s = fileSession.front(); s <= lastSession; ++s) {
        std::fprintf(stderr, "\n");
        std::fprintf(stderr, msg::separatorLine);
        std::fprintf(stderr, msg::processingSession, s, lastSession);

        const std::string partDir = formatText("%spart_%02d", options.outputdir.c_str(), s - 1);
        std::fprintf(stderr, msg::creatingOutputDirectory);
        std::fprintf(stderr, msg::quotedPath, partDir.c_str());
        createDirectory(partDir);

        packet.reset();
        carryOver carried;
        auto writer = std::make_unique<snsr_packetWriter_class>(run);
        auto extractor = std::make_unique<imageExtractor>(run);
        carried.extractor = extractor.get();

        std::string imagesDir = partDir;
        if (options.writeImageSubDir) {
            imagesDir = partDir + platform::pathSeparator + "images";
            extractor->setCreateDirectory(imagesDir);
        }
        extractor->setImagesDir(imagesDir);

        while (f < inputFiles.size() && fileSession[f] == s) {
            std::fprintf(stderr, msg::processingFile, s, static_cast<int>(f + 1), numFiles);
            if (options.writeTraceLog) updateTraceLog(inputFiles, fileSession, f, options.traceLogDir, options.outputdir);
            convertFile(options, inputFiles[f], partDir, *writer, carried, packet);
            ++f;
        }

        // The writer finishes the session's files before the extractor lets go of an
        // image that is still open.
        writer.reset();
        std::fprintf(stderr, msg::sessionCompleted, s, lastSession);
        std::fprintf(stderr, msg::separatorLine);
        extractor.reset();
    }
}

int runConversion(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    commandLineOptions options;
    std::vector<std::string> inputFiles;
    if (const int status = parseCommandLine(arguments, options, inputFiles); status != 0) return status;
    inferOutputDirectory(options, inputFiles);

    if (options.scanEnabled) scanDirectory(options.scandir, inputFiles);
    screenFiles(inputFiles);
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
    convertSessions(options, inputFiles, fileSession, run);

    if (options.writeTraceLog) {
        updateTraceLog(inputFiles, fileSession, inputFiles.size(), options.outputdir, options.outputdir);
    }

    if (run.outputLost()) {
        std::fprintf(stderr, msg::outputLost);
        std::fprintf(stderr, msg::exiting);
        return statusFailed;
    }
    return 0;
}

}  // namespace sensconv
