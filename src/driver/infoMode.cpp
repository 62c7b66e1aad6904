#include "driver/infoMode.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "common/outputLayout.h"
#include "common/programInfo.h"
#include "common/stdioFile.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "common/utcText.h"
#include "container/packetReader.h"
#include "decode/sensorDecoder.h"
#include "driver/driverMessages.h"
#include "driver/fileDecoding.h"
#include "driver/fileScreening.h"
#include "driver/headerCheck.h"
#include "driver/sessionSegmentation.h"
#include "output/sessionSummary.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;


std::string tagText(uint32_t tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

orderedJson streamsJson(const std::vector<snsrStream>& list) {
    orderedJson streams = orderedJson::array();
    for (const snsrStream& stream : list) {
        const bool named = stream.type >= 0 && static_cast<size_t>(stream.type) < streamTypeNames.size();
        streams.push_back({{"tag", tagText(stream.id)},
                           {"type", stream.type},
                           {"name", named ? streamTypeNames[static_cast<size_t>(stream.type)] : "?"},
                           {"packetId", stream.packet_id},
                           {"version", stream.ver}});
    }
    return streams;
}

// The board settings as the header gives them: rates in tenths of a hertz (the
// microphone in hertz), as the recorder stores them.
orderedJson settingsJson(const fileReport& report) {
    orderedJson settings = {{"qor2", nullptr}, {"jux", nullptr}};
    if (report.qor2.active && report.qor2Header) {
        const qor2Settings& s = *report.qor2Header;
        settings["qor2"] = {{"intr", s.intr}, {"mic", s.mic}, {"acc", s.acc},   {"amb", s.amb},
                            {"bar", s.bar},   {"comp", s.comp}, {"dals", s.dals}, {"hum", s.hum},
                            {"powr", s.powr}};
    }
    if (report.jux.active && report.juxHeader) {
        const juxSettings& s = *report.juxHeader;
        settings["jux"] = {{"intr", s.intr}, {"gyro", s.gyro}, {"mag", s.mag}, {"powr", s.powr}};
    }
    return settings;
}

struct fileSpan {
    uint64_t start = 0;  // as the segmentation takes it, milliseconds since 1970
    uint64_t end = 0;
    int64_t qor2EndTicks = -1;  // each board's last time in the file
    int64_t juxEndTicks = -1;
};

// Reads and decodes one file as a conversion would, through the conversion's decode
// loop with a sink that writes nothing: the GPS records are counted and dropped, and no
// image extractor is linked. A decoding failure that would end a conversion (a gap
// beyond the repair limit, a board clock running backwards) ends the file's
// description there; its status is kept in fatalStatus.
orderedJson describeFile(const commandLineOptions& options, size_t index, const std::string& path, fileSpan& span,
                         exitStatus& fatalStatus) {
    packetReader reader(path, false);
    if (!reader.fileOk()) return nullptr;
    sensorDecoder decoder(reader.header());
    if (!decoder.setUpResult().ok()) putMessage(decoder.setUpResult().lines().c_str());
    if (options.ignoreRollover) decoder.disableRolloverCheck();
    snsrPacket packet;
    nullSink nothing;
    const decodedFile decoded = decodeFile(reader, decoder, nothing, packet);
    const fileReport& report = decoded.report;
    fatalStatus = decoded.ended.status();
    span.start = report.reader.fileStartTime + uint64_t{report.reader.firstSNSRTimestamp};
    span.end = report.reader.fileStartTime + uint64_t{report.reader.lastSNSRTimestamp};
    span.qor2EndTicks = report.qor2.fileTime;
    span.juxEndTicks = report.jux.fileTime;

    orderedJson file = inputFileJson(index, path, report, timelineOf(report));
    // Images are cut out and checked only by a conversion.
    file["decoder"]["images"] = nullptr;
    file["gpsRecords"] = report.gpsRecords;
    // A conversion would end in this file with this status, after the lines it printed.
    if (!decoded.ended.ok()) file["fatalStatus"] = processStatus(decoded.ended.status());
    orderedJson boards = file["boards"];
    file.erase("boards");
    file["boards"] = boards;
    file["streams"] = streamsJson(report.reader.streams);
    file["settings"] = settingsJson(report);
    const bool hasPackets = !file["firstPacket"].is_null();
    file["durationSeconds"] =
        hasPackets ? static_cast<double>(file["lastPacket"]["unixMs"].get<int64_t>() -
                                         file["firstPacket"]["unixMs"].get<int64_t>()) / 1000.0
                   : 0.0;
    return file;
}

// A file name as the table shows it: control characters (an escape sequence, a
// carriage return) are written as \xHH, so that no name can move the cursor, recolour
// the terminal or hide a line.
std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += formatText("\\x%02X", byte);
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string timeText(const orderedJson& time) {
    return time.is_null() ? std::string("-") : time["utc"].get<std::string>();
}

std::string countsText(const orderedJson& counts) {
    std::string text;
    for (const auto& [name, count] : counts.items()) {
        if (!text.empty()) text += ", ";
        text += name + " " + count.dump(-1, ' ', false, orderedJson::error_handler_t::replace);
    }
    return text.empty() ? "none" : text;
}

// The table's blocks are printed as the files are described, so that no description
// is kept once printed.
void printTableHead(const orderedJson& info) {
    std::printf("%s %s\n", info["program"]["name"].get<std::string>().c_str(),
                info["program"]["version"].get<std::string>().c_str());
}

void printFileBlock(const orderedJson& file) {
    {
        std::printf("\nFile %zu: %s\n", file["index"].get<size_t>() + 1, printable(file["path"].get<std::string>()).c_str());
        if (file["readable"] == false) {
            std::printf("  unreadable: cannot be opened or its header is invalid\n");
            return;
        }
        std::printf("  header start   %s\n", timeText(file["headerStart"]).c_str());
        std::printf("  first packet   %s\n", timeText(file["firstPacket"]).c_str());
        std::printf("  last packet    %s\n", timeText(file["lastPacket"]).c_str());
        std::printf("  duration       %.3f s\n", file["durationSeconds"].get<double>());
        std::string streams;
        for (const orderedJson& stream : file["streams"]) {
            if (!streams.empty()) streams += ", ";
            streams += formatText("\"%s\" %s (id %d)", stream["tag"].get<std::string>().c_str(),
                                  stream["name"].get<std::string>().c_str(), stream["packetId"].get<int>());
        }
        std::printf("  streams        %s\n", streams.empty() ? "none" : streams.c_str());
        for (const char* name : {"qor2", "jux"}) {
            const orderedJson& board = file["boards"][name];
            if (board.is_null()) continue;
            std::printf("  %-14s serial %d, hardware %d, software %d.%d, settings %s\n", name,
                        board["serial"].get<int>(), board["hardwareVersion"].get<int>(),
                        board["majorSoftVersion"].get<int>(), board["minorSoftVersion"].get<int>(),
                        countsText(file["settings"][name]).c_str());
        }
        std::printf("  packets        %s\n", countsText(file["reader"]["streamCounts"]).c_str());
        std::printf("  corrupt        %d sections, %" PRId64 " bytes skipped\n",
                    file["reader"]["numCorruptSections"].get<int>(),
                    file["reader"]["numCorruptBytesSkipped"].get<int64_t>());
        for (const char* name : {"qor2", "jux"}) {
            const orderedJson& stats = file["decoder"][name];
            if (stats.is_null()) continue;
            std::printf("  %-14s %d valid packets, %d checksum errors, %d unhandled\n", name,
                        stats["validPackets"].get<int>(), stats["crcErrors"].get<int>(),
                        stats["unhandledPackets"].get<int>());
            const orderedJson& clock = file["clocks"][name];
            if (clock["zero"].is_null()) continue;
            std::string drift =
                clock["driftPpm"].is_null() ? std::string("unknown") : formatText("%+.1f ppm", clock["driftPpm"].get<double>());
            if (const orderedJson& range = clock["driftRangePpm"]; !range.is_null()) {
                drift += formatText(" (%+.1f to %+.1f)", range[0].get<double>(), range[1].get<double>());
            }
            std::printf("  %-14s first sample %s, clock drift %s over %.1f s\n", "", clock["zero"]["utc"].get<std::string>().c_str(),
                        drift.c_str(), clock["spanSeconds"].get<double>());
        }
        std::printf("  GPS            %" PRId64 " bytes in %" PRId64 " records\n",
                    file["decoder"]["gpsBytes"].get<int64_t>(), file["gpsRecords"].get<int64_t>());
    }
}

// The plan of the conversion, one readable file after the other: with a scan, a new
// session where the gap to the previous readable file is beyond maxGap_sec; otherwise
// every file in session 1. Sets the file's session and its boards' session times,
// and opens or extends the session's entry.
void placeInSession(const commandLineOptions& options, orderedJson& file, size_t index, const fileSpan& span,
                    const fileSpan* previous, int& session, int64_t& qor2Ticks, int64_t& juxTicks,
                    std::vector<orderedJson>& sessions) {
    bool opens = previous == nullptr;
    if (previous != nullptr && options.scanEnabled) {
        std::vector<int> pair{session, session};
        if (groupSessions({previous->start, span.start}, {previous->end, span.end}, options.maxGap_sec, pair) > 1) {
            ++session;
            opens = true;
        }
    }
    if (opens) {
        sessions.push_back({{"part", outputLayout::sessionFolderName(session - 1)},
                            {"session", session},
                            {"files", orderedJson::array()},
                            {"start", file["firstPacket"]},
                            {"end", nullptr},
                            {"durationSeconds", 0.0}});
        qor2Ticks = 0;
        juxTicks = 0;
    }
    orderedJson& entry = sessions.back();
    entry["files"].push_back(index);
    entry["end"] = file["lastPacket"];
    if (!entry["start"].is_null() && !entry["end"].is_null()) {
        entry["durationSeconds"] =
            static_cast<double>(entry["end"]["unixMs"].get<int64_t>() - entry["start"]["unixMs"].get<int64_t>()) /
            1000.0;
    }
    file["session"] = session;
    // Each file was decoded on its own; in a conversion each board's session time
    // goes on from where the previous file of the session ended.
    for (const auto& [name, ticks, end] : {std::tuple{"qor2", &qor2Ticks, span.qor2EndTicks},
                                           std::tuple{"jux", &juxTicks, span.juxEndTicks}}) {
        orderedJson& clock = file["clocks"][name];
        if (!clock.is_null() && !clock["zeroSessionSeconds"].is_null()) {
            const int32_t intmax = file["boards"][name]["interruptCounterMax"].get<int32_t>();
            clock["zeroSessionSeconds"] = intmax == 0 ? 0.0 : static_cast<double>(*ticks) / (intmax / 10.0);
        }
        if (end > 0) *ticks += end;
    }
}

// Text set aside until it can be printed: in a temporary file (made on first use and
// removed as soon as it is made, so that no run leaves it behind), or in memory when
// no temporary file can be made.
class setAside {
public:
    void append(const std::string& text) {
        if (!opened_) {
            file_.reset(std::tmpfile());
            opened_ = true;
        }
        if (file_ == nullptr) {
            memory_ += text;
        } else if (std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size()) {
            failed_ = true;
        }
    }

    // False when some of it was lost; nothing is printed then.
    bool intact() {
        if (file_ != nullptr && (std::fflush(file_.get()) != 0 || std::fseek(file_.get(), 0, SEEK_SET) != 0)) {
            failed_ = true;
        }
        return !failed_;
    }

    // Prints what was set aside, after intact(); false when it could not all be read back.
    bool print() {
        if (file_ == nullptr) {
            std::fputs(memory_.c_str(), stdout);
            return true;
        }
        std::vector<char> buffer(size_t{1} << 16);
        size_t n = 0;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), file_.get())) > 0) std::fwrite(buffer.data(), 1, n, stdout);
        return std::ferror(file_.get()) == 0;
    }

private:
    stdioFile file_;
    bool opened_ = false;
    std::string memory_;
    bool failed_ = false;
};

// What follows the table's files or the document's head: the files' entries of the
// document (the run's status, which precedes them, is known only at the end) and the
// closed sessions, in the table's or the document's form.
class laterParts {
public:
    explicit laterParts(bool json) : json_(json) {}

    void addFile(const orderedJson& file) {
        files_.append((fileCount_ == 0 ? "" : ",\n") + element(file));
        ++fileCount_;
    }

    void addSession(const orderedJson& session) {
        if (json_) {
            sessions_.append((sessionCount_ == 0 ? "" : ",\n") + element(session));
        } else {
            std::string files;
            for (const orderedJson& index : session["files"]) files += formatText(" %zu", index.get<size_t>() + 1);
            sessions_.append(formatText("  %s  %s to %s (%.3f s), files%s\n", session["part"].get<std::string>().c_str(),
                                        timeText(session["start"]).c_str(), timeText(session["end"]).c_str(),
                                        session["durationSeconds"].get<double>(), files.c_str()));
        }
        ++sessionCount_;
    }

    // The document as jsonText would write it whole; false when what was set aside was
    // lost (nothing is printed then) or could not all be read back.
    bool printDocument(const orderedJson& info) {
        orderedJson head = info;
        head["files"] = nullptr;
        head["sessions"] = nullptr;
        std::string text = jsonText(head);
        const std::string tail = "  \"files\": null,\n  \"sessions\": null\n}\n";
        if (!files_.intact() || !sessions_.intact() || !text.ends_with(tail)) return false;
        text.resize(text.size() - tail.size());
        std::fputs(text.c_str(), stdout);
        bool whole = true;
        for (auto [name, part, count, last] : {std::tuple{"files", &files_, fileCount_, false},
                                               std::tuple{"sessions", &sessions_, sessionCount_, true}}) {
            std::printf("  \"%s\": ", name);
            if (count == 0) {
                std::fputs("[]", stdout);
            } else {
                std::fputs("[\n", stdout);
                whole = part->print() && whole;
                std::fputs("\n  ]", stdout);
            }
            std::fputs(last ? "\n}\n" : ",\n", stdout);
        }
        return whole;
    }

    // The table's session lines; false when they were lost (nothing is printed then)
    // or could not all be read back.
    bool printTableSessions(const orderedJson& info) {
        if (!sessions_.intact()) return false;
        std::printf("\nSessions (files more than %g s apart start a new one), output in %s\n",
                    info["maxGapSeconds"].get<double>(), printable(info["outputDirectory"].get<std::string>()).c_str());
        return sessions_.print();
    }

private:
    // An element of a top-level array as the whole document's dump indents it.
    static std::string element(const orderedJson& value) {
        const std::string alone = value.dump(2, ' ', false, orderedJson::error_handler_t::replace);
        std::string shown = "    ";
        for (const char c : alone) {
            shown += c;
            if (c == '\n') shown += "    ";
        }
        return shown;
    }

    bool json_;
    setAside files_;
    setAside sessions_;
    size_t fileCount_ = 0;
    size_t sessionCount_ = 0;
};

}  // namespace

exitStatus describeInput(const commandLineOptions& options, std::vector<std::string> inputFiles) {
    // Where a conversion would write: as it infers it, from the first file named.
    std::string outputDir = options.outputdir;
    if (!options.outputdirGiven && !inputFiles.empty()) {
        if (auto directory = platform::directoryOfPath(inputFiles.front())) outputDir = *directory;
    }
    if (options.scanEnabled && !options.outputdirGiven) outputDir = options.scandir;

    if (options.scanEnabled) {
        if (const outcome scanned = scanDirectory(options.scandir, inputFiles); !scanned.ok()) {
            putMessage(scanned.lines().c_str());
            putMessage(scanned.closingLine());
            return scanned.status();
        }
    }
    screenFiles(inputFiles);
    orderedJson info;
    info["schemaVersion"] = sessionSchemaVersion;
    info["program"] = programJson(thisProgram(options.commandLine));
    info["status"] = 0;
    info["maxGapSeconds"] = options.maxGap_sec;
    info["scanDirectory"] = options.scanEnabled ? orderedJson(options.scandir) : orderedJson(nullptr);
    info["outputDirectory"] = outputDir;
    if (inputFiles.empty()) {
        std::fprintf(stderr, msg::noFilesToParse);
        std::fprintf(stderr, msg::exiting);
        // A program that reads the document learns why it is empty.
        if (options.json) {
            info["status"] = processStatus(exitStatus::noFiles);
            info["error"] = "There are no SNSR Files to parse";
            info["files"] = orderedJson::array();
            info["sessions"] = orderedJson::array();
            std::fputs(jsonText(info).c_str(), stdout);
        }
        return exitStatus::noFiles;
    }

    // Each file is described, placed in its session and printed (or, for the document,
    // set aside in a temporary file, since the run's status comes first) before the
    // next is read: what is kept per file is its path and the session list.
    exitStatus status = exitStatus::success;
    if (!options.json) printTableHead(info);
    laterParts parts(options.json);
    std::vector<orderedJson> sessions;  // the open session, and for a moment the one it closes
    std::vector<std::string> checked;  // the readable files, for the header check
    fileSpan previous;
    int session = 1;
    int64_t qor2Ticks = 0;  // session time of each board at the file's start
    int64_t juxTicks = 0;
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        fileSpan span;
        exitStatus fatalStatus = exitStatus::success;
        orderedJson file = describeFile(options, i, inputFiles[i], span, fatalStatus);
        if (status == exitStatus::success && fatalStatus != exitStatus::success) status = fatalStatus;
        if (file.is_null()) {
            file = {{"index", i}, {"path", inputFiles[i]}, {"readable", false}};
            // A scan drops such a file; a file named on the command line stops the run.
            if (!options.scanEnabled) status = exitStatus::failed;
        } else {
            file["readable"] = true;
            placeInSession(options, file, i, span, checked.empty() ? nullptr : &previous, session, qor2Ticks,
                           juxTicks, sessions);
            checked.push_back(inputFiles[i]);
            previous = span;
            if (sessions.size() > 1) {
                parts.addSession(sessions.front());
                sessions.erase(sessions.begin());
            }
        }
        if (options.json) {
            parts.addFile(file);
        } else {
            printFileBlock(file);
        }
    }
    if (checked.empty() && options.scanEnabled) {
        std::fprintf(stderr, msg::noRemainingFiles);
        std::fprintf(stderr, msg::exiting);
        status = exitStatus::failed;
    }

    // A conversion checks the headers against each other before it writes anything.
    if (status == exitStatus::success && !checkFileHeaders(checked)) status = exitStatus::failed;
    if (status == exitStatus::failed && !options.scanEnabled && inputFiles.size() == 1) {
        std::fprintf(stderr, msg::fileNotProcessed, inputFiles.front().c_str());
        std::fprintf(stderr, msg::exiting);
    }

    for (const orderedJson& open : sessions) parts.addSession(open);
    if (options.json) info["status"] = processStatus(status);
    if (!(options.json ? parts.printDocument(info) : parts.printTableSessions(info))) {
        std::fprintf(stderr, msg::infoSpillFailed);
        return exitStatus::failed;
    }
    return status;
}

}  // namespace sensconv
