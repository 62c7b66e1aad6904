#include "output/sessionSummary.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/outputLayout.h"
#include "common/userMessages.h"
#include "common/utcText.h"
#include "decode/boardTime.h"
#include "decode/channelTable.h"
#include "decode/fileReport.h"
#include "output/outputFile.h"
#include "output/outputMessages.h"
#include "output/snsr_packetWriter_class.h"
#include "platform/platform.h"

#ifndef SENSCONV_VERSION
#define SENSCONV_VERSION "unknown"
#endif

namespace sensconv {

namespace {

int64_t toSigned(uint64_t value) {
    constexpr auto most = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return static_cast<int64_t>(value > most ? most : value);
}

// The header's start time plus a packet's container milliseconds; a damaged header's
// start time near the end of the range saturates instead of overflowing.
int64_t packetMs(uint64_t fileStartTime, int64_t containerMs) {
    return addTicks(toSigned(fileStartTime), containerMs);
}

orderedJson timeOrNull(std::optional<int64_t> unixMs) {
    return unixMs ? timeJson(*unixMs) : orderedJson(nullptr);
}

orderedJson preciseTimeJson(double unixSeconds) {
    orderedJson time = timeJson(unixMsOf(unixSeconds));
    time["unixSeconds"] = unixSeconds;
    return time;
}

orderedJson unitOf(const std::string& longName) {
    const channelInfo* info = findChannel(longName);
    if (info == nullptr || info->unit == nullptr) return nullptr;
    return info->unit;
}

board boardOfChannel(const std::string& longName) {
    return longName.starts_with("jux/") ? board::jux : board::qor2;
}

const char* boardName(board b) {
    return b == board::qor2 ? "qor2" : "jux";
}

orderedJson identityJson(int32_t serial, int32_t hardware, int32_t major, int32_t minor) {
    return {{"serial", serial}, {"hardwareVersion", hardware}, {"majorSoftVersion", major}, {"minorSoftVersion", minor}};
}

orderedJson boardStatistics(const boardReport& board, const auto& table) {
    orderedJson received = orderedJson::object();
    orderedJson expected = orderedJson::object();
    for (size_t i = 0; i < table.size(); ++i) {
        received[table[i].shortName] = board.received[i];
        // As binaryData.meta gives it: readings the schedule asks for up to the file's
        // latest board time.
        expected[table[i].shortName] =
            static_cast<double>(board.fileTime) / static_cast<double>(board.intmax) * board.rates[i];
    }
    return {{"crcErrors", board.crcErrors},       {"validPackets", board.validPackets},
            {"unhandledPackets", board.unhandledPackets}, {"received", received},
            {"expected", expected}};
}

orderedJson clockJson(const boardTimeline& timeline) {
    const clockFacts& facts = timeline.clock;
    const auto numberOrNull = [](const std::optional<double>& value) {
        return value ? orderedJson(*value) : orderedJson(nullptr);
    };
    orderedJson clock = {{"driftPpm", numberOrNull(facts.driftPpm)}, {"packets", facts.packets}};
    clock["driftRangePpm"] = facts.driftRangePpm
                                 ? orderedJson::array({facts.driftRangePpm->first, facts.driftRangePpm->second})
                                 : orderedJson(nullptr);
    clock["spanSeconds"] = facts.spanSeconds;
    clock["residualMs"] = numberOrNull(facts.residualMs);
    clock["zeroIntervalMs"] = numberOrNull(facts.intervalMs);
    clock["zero"] = timeline.valid ? preciseTimeJson(timeline.zeroUnixSeconds) : orderedJson(nullptr);
    clock["zeroSessionSeconds"] = timeline.valid ? orderedJson(timeline.sessionStartSeconds()) : orderedJson(nullptr);
    return clock;
}

}  // namespace

orderedJson programJson(const programInfo& program) {
    return {{"name", program.name}, {"version", program.version}, {"commandLine", program.commandLine}};
}

std::string jsonText(const orderedJson& json) {
    return json.dump(2, ' ', false, orderedJson::error_handler_t::replace) + "\n";
}

orderedJson timeJson(int64_t unixMs) {
    return {{"utc", utcText(unixMs)}, {"unixMs", unixMs}};
}

orderedJson inputFileJson(size_t index, const std::string& path, const fileReport& report,
                          const fileTimeline& timeline) {
    const int64_t start = toSigned(report.fileStartTime);
    const fileReport::container& reader = report.reader;
    orderedJson file;
    file["index"] = index;
    file["path"] = path;
    file["headerStart"] = timeJson(start);
    file["firstPacket"] = report.packets > 0 ? timeJson(packetMs(report.fileStartTime, report.firstMs)) : orderedJson(nullptr);
    file["lastPacket"] = report.packets > 0 ? timeJson(packetMs(report.fileStartTime, report.lastMs)) : orderedJson(nullptr);

    orderedJson streamCounts = orderedJson::object();
    for (const auto& [type, count] : reader.streamCounts) {
        const bool named = type >= 0 && static_cast<size_t>(type) < streamTypeNames.size();
        streamCounts[named ? streamTypeNames[static_cast<size_t>(type)] : std::to_string(type)] = count;
    }
    file["reader"] = {{"numParsedPackets", reader.numParsedPackets},
                      {"numCorruptSections", reader.numCorruptSections},
                      {"numCorruptBytesSkipped", reader.numCorruptBytesSkipped},
                      {"streamCounts", streamCounts}};

    orderedJson images = {{"good", 0}, {"bad", 0}};
    if (report.images) images = {{"good", report.images->good}, {"bad", report.images->bad}};
    file["decoder"] = {
        {"qor2", report.qor2.active ? boardStatistics(report.qor2, qor2ChannelTable) : orderedJson(nullptr)},
        {"jux", report.jux.active ? boardStatistics(report.jux, juxChannelTable) : orderedJson(nullptr)},
        {"gpsBytes", report.gpsBytes},
        {"images", images}};
    file["clocks"] = {{"qor2", report.qor2.active ? clockJson(timeline.qor2) : orderedJson(nullptr)},
                      {"jux", report.jux.active ? clockJson(timeline.jux) : orderedJson(nullptr)}};

    orderedJson boards = {{"qor2", nullptr}, {"jux", nullptr}};
    if (report.qor2.active && report.qor2Header) {
        const qor2Settings& s = *report.qor2Header;
        boards["qor2"] = identityJson(s.bdnr, s.hver, s.swma, s.swmi);
        boards["qor2"]["interruptCounterMax"] = s.intr;
    }
    if (report.jux.active && report.juxHeader) {
        const juxSettings& s = *report.juxHeader;
        boards["jux"] = identityJson(s.bdnr, s.hver, s.swma, s.swmi);
        boards["jux"]["interruptCounterMax"] = s.intr;
    }
    file["boards"] = boards;
    return file;
}

sessionSummary::sessionSummary(programInfo program, std::string part, int session, int sessions,
                               std::string imagesDirectory)
    : program_(std::move(program)),
      part_(std::move(part)),
      session_(session),
      sessions_(sessions),
      imagesDirectory_(std::move(imagesDirectory)) {}

sessionSummary::channel& sessionSummary::channelFor(const std::string& longName, const std::string& shortName,
                                                    double rateHz, bool audio) {
    for (channel& c : channels_) {
        if (c.longName == longName) return c;
    }
    channel c;
    c.name = audio ? "audio" : shortName;
    c.longName = longName;
    c.source = boardOfChannel(longName);
    c.audio = audio;
    c.rateHz = rateHz;
    channels_.push_back(std::move(c));
    return channels_.back();
}

void sessionSummary::addSamples(channel& target, int64_t samplesNow, int64_t filledNow, size_t file) {
    const int64_t added = samplesNow - target.samples;
    if (added > 0) {
        // The file's first sample of the channel sits at the board's tick 0 of the file.
        if (const auto zero = timeline_.zeroUnixSeconds(file, target.source)) {
            target.anchors.push_back({file, target.samples, *zero});
        }
    }
    target.samples = samplesNow;
    target.filled = filledNow;
}

void sessionSummary::addFile(const std::string& path, const fileReport& report,
                             const snsr_packetWriter_class& writer) {
    const size_t index = fileCount_;
    timeline_.addFile(timelineOf(report));
    orderedJson file = inputFileJson(index, path, report, timeline_.file(index));

    const int64_t gpsRecords = writer.gpsRecords() - gpsRecords_;
    file["gpsRecords"] = gpsRecords;
    // The board identities follow the keys every reader of the file relies on.
    orderedJson boards = file["boards"];
    file.erase("boards");
    file["boards"] = boards;
    gpsRecords_ = writer.gpsRecords();
    gpsFile_ = gpsFile_ || writer.gpsOpen();
    goodImages_ += file["decoder"]["images"]["good"].get<int64_t>();
    badImages_ += file["decoder"]["images"]["bad"].get<int64_t>();

    if (qor2Board_.is_null() && !file["boards"]["qor2"].is_null()) qor2Board_ = file["boards"]["qor2"];
    if (juxBoard_.is_null() && !file["boards"]["jux"].is_null()) juxBoard_ = file["boards"]["jux"];
    if (report.packets > 0) {
        if (!startMs_) startMs_ = packetMs(report.fileStartTime, report.firstMs);
        endMs_ = packetMs(report.fileStartTime, report.lastMs);
    }

    // The WAV file is opened before the channel files of the same input file.
    if (writer.audioOpen()) {
        channel& audio = channelFor(qor2ChannelTable[qor2Audio].longName, "audio", writer.audioRate(), true);
        const int64_t filledInFile = writer.audioSamples() > audio.samples ? report.audioFilled : 0;
        addSamples(audio, writer.audioSamples(), audio.filled + filledInFile, index);
    }
    for (const auto& facts : writer.channelSummary()) {
        channel& c = channelFor(facts.longName, facts.shortName, facts.rateHz, false);
        addSamples(c, facts.samples, facts.filled, index);
    }
    keepFile(file);
}

std::optional<writtenChannel> sessionSummary::written(const std::string& longName) const {
    for (const channel& c : channels_) {
        if (c.longName == longName && !c.audio) return writtenChannel{c.name, c.rateHz, c.samples, c.filled};
    }
    return std::nullopt;
}

static orderedJson anchorJson(size_t file, int64_t index, double unixSeconds) {
    return {{"file", file}, {"index", index}, {"unixSeconds", unixSeconds}, {"utc", utcText(unixMsOf(unixSeconds))}};
}

orderedJson sessionSummary::channelJson(const channel& c, bool withAnchors) const {
    orderedJson json;
    json["name"] = c.name;
    json["longName"] = c.longName;
    json["board"] = boardName(c.source);
    json["unit"] = unitOf(c.longName);
    // What the values measure, from the channel table: the .bin values become physical
    // values by the conversion named here.
    if (const channelInfo* info = findChannel(c.longName)) {
        json["quantity"] = info->quantity;
        json["ucum"] = info->ucum;
        json["conversion"] = conversionName(info->conversion);
        json["uncalibrated"] = info->uncalibrated;
    } else {
        json["quantity"] = nullptr;
        json["ucum"] = nullptr;
        json["conversion"] = conversionName(physicalConversion::unchanged);
        json["uncalibrated"] = true;
    }
    json["rate"] = c.rateHz;
    json["file"] = c.audio ? std::string(outputLayout::audioFileName) : outputLayout::channelDataFileName(c.name);
    json["sparseFile"] =
        c.audio || c.filled == 0 ? orderedJson(nullptr) : orderedJson(outputLayout::channelSparseFileName(c.name));
    json["samples"] = c.samples;
    json["filledSamples"] = c.filled;
    json["filledShare"] = c.samples > 0 ? static_cast<double>(c.filled) / static_cast<double>(c.samples) : 0.0;
    if (c.samples > 0 && !c.anchors.empty()) {
        const anchor& last = c.anchors.back();
        const double lastOffset = c.rateHz > 0 ? static_cast<double>(c.samples - 1 - last.index) / c.rateHz : 0.0;
        json["first"] = timeJson(unixMsOf(c.anchors.front().unixSeconds));
        json["last"] = timeJson(unixMsOf(last.unixSeconds + lastOffset));
    } else {
        json["first"] = nullptr;
        json["last"] = nullptr;
    }
    orderedJson anchors = orderedJson::array();
    if (withAnchors) {
        for (const anchor& a : c.anchors) anchors.push_back(anchorJson(a.file, a.index, a.unixSeconds));
    }
    json["anchors"] = anchors;
    return json;
}

std::optional<sessionSummary::channelFacts> sessionSummary::factsOf(const std::string& longName) const {
    for (const channel& c : channels_) {
        if (c.longName != longName || c.audio) continue;
        channelFacts facts;
        facts.file = outputLayout::channelDataFileName(c.name);
        if (c.filled > 0) facts.sparseFile = outputLayout::channelSparseFileName(c.name);
        facts.rateHz = c.rateHz;
        facts.samples = c.samples;
        for (const anchor& a : c.anchors) facts.anchors.emplace_back(a.index, a.unixSeconds);
        return facts;
    }
    return std::nullopt;
}

void sessionSummary::keepFile(const orderedJson& file) {
    const std::string line = file.dump(-1, ' ', false, orderedJson::error_handler_t::replace) + "\n";
    if (!scratchDirectory_.empty() && (filesSpill_.isOpen() || filesSpill_.open(scratchDirectory_))) {
        filesSpill_.append(line.data(), line.size());
    } else {
        filesInMemory_.push_back(line);
    }
    ++fileCount_;
}

template <typename consumer>
bool sessionSummary::forEachFile(consumer&& take) {
    size_t index = 0;
    const auto entry = [&](const std::string& line) {
        orderedJson file = orderedJson::parse(line, nullptr, false);
        const std::optional<gpsClockCheck> check =
            index < gps_.clockChecks.size() ? gps_.clockChecks[index] : std::nullopt;
        file["clockCheck"] = check ? orderedJson{{"fixes", check->fixes},
                                                 {"medianOffsetMs", check->medianOffsetMs},
                                                 {"minOffsetMs", check->minOffsetMs},
                                                 {"maxOffsetMs", check->maxOffsetMs}}
                                   : orderedJson(nullptr);
        take(file, index++);
    };
    // Spilled entries come first: the memory keeps only what could not be spilled.
    std::string line;
    const bool read = filesSpill_.readBack([&](const char* block, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            if (block[i] != '\n') {
                line.push_back(block[i]);
                continue;
            }
            entry(line);
            line.clear();
        }
    });
    for (const std::string& kept : filesInMemory_) entry(kept.substr(0, kept.size() - 1));
    return read;
}

orderedJson sessionSummary::toJsonWithoutFiles(int status) const {
    orderedJson json;
    json["schemaVersion"] = sessionSchemaVersion;
    json["program"] = programJson(program_);
    json["part"] = part_;
    json["session"] = session_;
    json["sessions"] = sessions_;
    json["status"] = status;
    json["start"] = timeOrNull(startMs_);
    json["end"] = timeOrNull(endMs_);
    json["durationSeconds"] = startMs_ && endMs_ ? static_cast<double>(*endMs_ - *startMs_) / 1000.0 : 0.0;
    json["boards"] = {{"qor2", qor2Board_}, {"jux", juxBoard_}};
    json["files"] = orderedJson::array();
    orderedJson channels = orderedJson::array();
    for (const channel& c : channels_) channels.push_back(channelJson(c, false));
    json["channels"] = channels;
    json["images"] = {{"directory", imagesDirectory_}, {"good", goodImages_}, {"bad", badImages_},
                      {"unchecked", uncheckedImages_}};
    const auto trackFile = [this](const char* name) { return gps_.tracksWritten ? orderedJson(name) : orderedJson(nullptr); };
    json["gps"] = {{"file", gpsFile_ ? orderedJson(outputLayout::gpsRecordsFileName) : orderedJson(nullptr)},
                   {"records", gpsRecords_},
                   {"fixes", gps_.fixes},
                   {"badChecksumFrames", gps_.counters.badChecksumFrames},
                   {"badFrames", gps_.counters.badFrames},
                   {"unknownMessages", gps_.counters.unknownMessages},
                   {"firstFix", timeOrNull(gps_.firstFixMs)},
                   {"lastFix", timeOrNull(gps_.lastFixMs)},
                   {"csv", trackFile(outputLayout::gpsTableFileName)},
                   {"gpx", trackFile(outputLayout::gpsTrackFileName)}};
    json["accelerometerCalibration"] = accelCalibration_;
    // When the recorder was worn (the wear pass; null without accelerometer samples).
    json["wear"] = wear_;
    return json;
}

bool sessionSummary::write(const std::string& partDir, int status, runStatus& run) {
    outputFile file(run);
    const std::string path = platform::withTrailingSeparator(partDir) + outputLayout::sessionSummaryFileName;
    if (!file.create(path)) {
        printMessage(outputMessages::unableToWrite, path.c_str(), std::strerror(errno));
        file.lostWithoutFile();
        return false;
    }
    // The text is what one dump of the whole document gives, written a piece at a time:
    // the input files' entries and every channel's anchors, which grow with the number
    // of input files, go into their empty arrays one element at a time.
    const std::string whole = jsonText(toJsonWithoutFiles(status));
    size_t from = 0;
    std::string text;
    // Writes up to and through the empty array of marker, then what produce hands over,
    // each element indented as the array's own.
    const auto fillArray = [&](std::string_view marker, const std::string& indent, auto&& produce) {
        const size_t place = whole.find(marker, from);
        if (place == std::string::npos) return;
        const size_t open = place + marker.size() - 2;
        file.write(whole.data() + from, 1, open + 1 - from);
        from = open + 1;
        bool any = false;
        produce([&](const orderedJson& element, bool last) {
            text = "\n" + indent;
            for (const char c : element.dump(2, ' ', false, orderedJson::error_handler_t::replace)) {
                text.push_back(c);
                if (c == '\n') text += indent;
            }
            if (!last) text.push_back(',');
            file.write(text.data(), 1, text.size());
            any = true;
        });
        if (any) {
            const std::string close = "\n" + indent.substr(2);
            file.write(close.data(), 1, close.size());
        }
    };
    bool read = true;
    fillArray("\n  \"files\": []", "    ", [&](auto&& put) {
        read = forEachFile([&](const orderedJson& entry, size_t index) { put(entry, index + 1 == fileCount_); });
    });
    if (!read) file.markFailed(filesSpill_.errorNumber());
    for (const channel& c : channels_) {
        fillArray("\n      \"anchors\": []", "        ", [&](auto&& put) {
            for (size_t i = 0; i < c.anchors.size(); ++i) {
                const anchor& a = c.anchors[i];
                put(anchorJson(a.file, a.index, a.unixSeconds), i + 1 == c.anchors.size());
            }
        });
    }
    file.write(whole.data() + from, 1, whole.size() - from);
    return file.close();
}

}  // namespace sensconv
