#include "decode/sensorDecoder.h"

#include <cinttypes>
#include <cstdio>
#include <new>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "decode/boardTime.h"
#include "decode/decodeMessages.h"
#include "decode/juxDecoder.h"

namespace sensconv {

namespace {

namespace msg = decodeMessages;

constexpr int32_t maxStreams = numStreamIds;
constexpr uint32_t noTimestamp = 0xFFFFFFFFu;

// A SiRF GPS packet: byte 3 is the count n of receiver bytes, which start at byte 7.
constexpr int32_t gpsCountAt = 3;
constexpr int32_t gpsDataAt = 7;
constexpr uint8_t gpsNoData = 255;
constexpr int32_t gpsRecordHeadSize = 20;

// One channel per table entry, filling gaps of up to repairLimit; a channel that
// cannot be set up ends the board's set-up.
outcome makeChannels(auto& channels, const auto& rates, const auto& table, int32_t intmax, int32_t repairLimit) {
    for (size_t i = 0; i < channels.size(); ++i) {
        channels[i] = std::make_unique<sampleChannel>(repairLimit, rates[i], intmax, table[i].longName, table[i].shortName);
        if (!channels[i]->setUpResult().ok()) return channels[i]->setUpResult();
    }
    return {};
}

// firstNumber: the number of the board's first channel across both tables.
outcome addBatchToChannels(const packetBatch& batch, auto& channels, int firstNumber, int64_t fileTime,
                           int64_t packetIndex, heldBatches& held) {
    // Most packets fill one or two channels: the search ends with the batch's last value.
    int32_t left = batch.total;
    for (size_t i = 0; i < channels.size() && left > 0; ++i) {
        const int32_t count = batch.counts[i];
        left -= count;
        if (count > 0 && channels[i]) {
            const int channel = static_cast<int>(i);
            outcome added = channels[i]->addSamples(batch.values(channel), count, fileTime, packetIndex,
                                                    batch.valuesAs16Bit(channel));
            if (!added.ok()) return added;
            held.add(*channels[i], firstNumber + static_cast<int>(i));
        }
    }
    return {};
}

}  // namespace

sensorDecoder::sensorDecoder(snsrHeader* fileHeader, int32_t repairLimit)
    : header(fileHeader), repairLimit_(repairLimit) {
    if (header == nullptr) {
        printMessage(msg::noHeader);
        return;
    }
    setUpResult_ = setUpChannels();
}

outcome sensorDecoder::setUpChannels() {
    if (header->num_streams > maxStreams) printMessage(msg::tooManyStreams, header->num_streams, maxStreams);
    for (int32_t i = 0; i < header->num_streams; ++i) {
        if (static_cast<size_t>(i) >= header->streams.size()) {
            printMessage(msg::nullStream);
            continue;
        }
        streamTypes.insert(header->streams[static_cast<size_t>(i)].type);
    }
    fileStartTime = header->fileStartTime;

    if (loadQor2Settings(*header)) {
        const qor2Settings& s = header->qor2_settings;
        const barometerCalibration& c = header->calib_bar;
        qor2Active = true;
        qor2Clock.intmax = s.intr;
        qor2MicGain = s.spare;
        qor2Cal.intmax = s.intr;
        qor2Cal.C1 = c.C1;
        qor2Cal.C2 = c.C2;
        qor2Cal.C3 = c.C3;
        qor2Cal.C4 = c.C4;
        qor2Cal.C5 = c.C5;
        qor2Cal.C6 = c.C6;
        for (size_t i = 0; i < qor2Rates.size(); ++i) qor2Rates[i] = scheduledRate(qor2ChannelTable[i], s);
        if (outcome made = makeChannels(qor2Channels, qor2Rates, qor2ChannelTable, s.intr, repairLimit_); !made.ok())
            return made;
    }

    if (loadJuxSettings(*header)) {
        const juxSettings& s = header->jux_settings;
        juxActive = true;
        juxClock.intmax = s.intr;
        for (size_t i = 0; i < juxRates.size(); ++i) juxRates[i] = scheduledRate(juxChannelTable[i], s);
        if (outcome made = makeChannels(juxChannels, juxRates, juxChannelTable, s.intr, repairLimit_); !made.ok())
            return made;
    }

    if (streamTypes.contains(streamSIRF_GPS)) {
        gpsActive = true;
        try {
            gpsRecord.bytes.assign(gpsRecordBuffer::capacity, 0);
        } catch (const std::bad_alloc&) {
            return outcome::fatal(exitStatus::noGpsBuffer, msg::gpsBufferNotAllocated);
        }
    }
    cameraActive = streamTypes.contains(streamCAMERA);
    return {};
}

bool sensorDecoder::loadCarryOver(carryOver& record) {
    if (record.extractor != nullptr) {
        extractor = record.extractor;
        extractor->resetCounts();
    }
    if (!record.valid) return false;
    static_cast<qor2Readings&>(qor2Cal) = record;
    qor2Clock.sessionBase = record.qor2SessionTime;
    juxClock.sessionBase = record.juxSessionTime;
    firstPacketTimestamp = record.firstPacketTimestamp;
    lastPacketTimestamp = record.lastPacketTimestamp;
    return true;
}

void sensorDecoder::saveCarryOver(carryOver& record) const {
    static_cast<qor2Readings&>(record) = qor2Cal;
    record.qor2SessionTime = addTicks(qor2Clock.fileTime, qor2Clock.sessionBase);
    record.juxSessionTime = addTicks(juxClock.fileTime, juxClock.sessionBase);
    record.extractor = extractor;
    record.valid = true;
    record.firstPacketTimestamp = firstPacketTimestamp;
    record.lastPacketTimestamp = lastPacketTimestamp;
}

void sensorDecoder::disableRolloverCheck() {
    qor2Clock.rolloverCheck = false;
    juxClock.rolloverCheck = false;
}

void sensorDecoder::emptyOutputs() {
    held_.empty();
    gpsRecord.length = 0;
}

outcome sensorDecoder::processPacket(const snsrPacket& packet) {
    // What the previous packet produced has been taken by now.
    emptyOutputs();
    if (packet.type != streamINVALID) {
        lastPacketTimestamp = packet.timestamp;
        if (firstPacketTimestamp == noTimestamp) firstPacketTimestamp = packet.timestamp;
        times.packet(packet.timestamp);
    }
    switch (packet.type) {
        case streamQOR2:
        case streamMIC:
            if (qor2Active) return processQor2(packet);
            break;
        case streamJUX:
            if (juxActive) return processJux(packet);
            break;
        case streamSIRF_GPS:
            if (gpsActive) processGps(packet);
            break;
        case streamCAMERA:
            if (cameraActive && extractor != nullptr) {
                extractor->addPacket(packet, qor2Clock.sessionBase, qor2Clock.fileTime, qor2Clock.intmax);
            }
            break;
        default: break;
    }
    return {};
}

outcome sensorDecoder::processQor2(const snsrPacket& packet) {
    qor2Batch.clear();
    qor2Decoder::decode(packet.data, packet.length, qor2Batch, qor2Cal, qor2State);
    if (qor2State.result != boardResult::valid) {
        printMessage(qor2State.result == boardResult::rejected ? msg::qor2BadChecksum : msg::qor2ParserError, packet.index);
        return {};
    }
    if (outcome placed = updateClock(qor2Clock, qor2State.pair, packet.index, "qor2"); !placed.ok()) return placed;
    times.qor2.add(qor2Clock.fileTime, times.now());
    return addQor2Values(packet.index);
}

outcome sensorDecoder::addQor2Values(int64_t packetIndex) {
    return addBatchToChannels(qor2Batch, qor2Channels, 0, qor2Clock.fileTime, packetIndex, held_);
}

outcome sensorDecoder::processJux(const snsrPacket& packet) {
    juxBatch.clear();
    juxDecoder::decode(packet.data, packet.length, juxBatch, juxClock.intmax, juxState);
    if (juxState.result != boardResult::valid) {
        printMessage(juxState.result == boardResult::rejected ? msg::juxBadChecksum : msg::juxParserError, packet.index);
        return {};
    }
    // Packets without readings carry no time pair of their own; before the board's
    // first real pair there is nothing to repeat, and the clock must not start at
    // an invented time.
    if (juxState.pair == timePair{}) return {};
    if (outcome placed = updateClock(juxClock, juxState.pair, packet.index, "jux"); !placed.ok()) return placed;
    times.jux.add(juxClock.fileTime, times.now());
    return addJuxValues(packet.index);
}

outcome sensorDecoder::addJuxValues(int64_t packetIndex) {
    return addBatchToChannels(juxBatch, juxChannels, numQor2Channels, juxClock.fileTime, packetIndex, held_);
}

outcome sensorDecoder::updateClock(boardClock& clock, const timePair& current, int64_t packetIndex,
                                   const char* boardName) {
    if (clock.first == timePair{}) clock.first = clock.previous = current;

    const int64_t intmax = clock.intmax;
    const int64_t elapsed =
        (int64_t{current.ts} - clock.previous.ts) * intmax + current.intCount - clock.previous.intCount;
    if (elapsed < 0) {
        printMessage(msg::wrapRule);
        printMessage(msg::wrapDetected, packetIndex, elapsed);
        printMessage(msg::wrapCounters, clock.intmax, clock.previous.ts, clock.previous.intCount, current.ts,
                     current.intCount);
        // The board restarts its period counter at 0 after 255; any other backwards
        // step means lost or damaged data.
        if (clock.rolloverCheck && !(clock.previous.ts == 255 && current.ts == 0)) {
            return outcome::fatal(exitStatus::clockInconsistent, std::string(msg::notARollOver) + msg::ignoreRolloverHint);
        }
        printMessage(msg::wrapRule);
        // Continue as if the counter had gone on past 255. After a true roll-over the
        // new period follows period 255 whole, whatever the last interrupt count before
        // it was; after any other (ignored) wrap the time the board lost is unknown, and
        // the new packet is placed one tick plus its own offset after the previous one.
        // Without an interrupt maximum a period holds no ticks and the interrupt count is
        // the only time there is: a roll-over is then placed like any other wrap, or the
        // time would run back to the new count.
        const bool wholePeriod = clock.previous.ts == 255 && current.ts == 0 && intmax > 0;
        const int64_t advance =
            wholePeriod ? 256 * intmax : int64_t{clock.previous.ts} * intmax + clock.previous.intCount + 1;
        clock.wrapOffset = addTicks(clock.wrapOffset, advance);
    }
    clock.previous = current;
    if (clock.sessionBase == -1) clock.sessionBase = 0;

    const int64_t sinceFirst =
        (int64_t{current.ts} - clock.first.ts) * intmax + current.intCount - clock.first.intCount;
    clock.fileTime = addTicks(sinceFirst, clock.wrapOffset);
    if (clock.firstFileTime == -1) clock.firstFileTime = clock.fileTime;
    if (clock.fileTime < clock.firstFileTime) {
        return outcome::fatal(exitStatus::clockInconsistent, formatText(msg::timeMovedBackwards, packetIndex, boardName,
                                                           clock.firstFileTime, clock.fileTime) +
                                                    msg::likelyCorrupt);
    }
    return {};
}

void sensorDecoder::processGps(const snsrPacket& packet) {
    if (packet.data == nullptr || packet.length <= gpsCountAt) {
        printMessage(msg::gpsTooShort, packet.index);
        return;
    }
    const uint8_t n = packet.data[gpsCountAt];
    if (n == gpsNoData) return;
    if (packet.length < n + gpsDataAt) {
        printMessage(msg::gpsTooShort, packet.index);
        return;
    }
    const int64_t sessionTime = addTicks(qor2Clock.fileTime, qor2Clock.sessionBase);
    uint8_t* record = gpsRecord.bytes.data();
    writeLE32(record, static_cast<uint32_t>(ticksToMilliseconds32(sessionTime, qor2Clock.intmax)));
    writeLE32(record + 4, packet.timestamp);
    writeLE64(record + 8, fileStartTime);
    writeLE32(record + 16, n);
    std::copy(packet.data + gpsDataAt, packet.data + gpsDataAt + n, record + gpsRecordHeadSize);
    gpsRecord.length = n + gpsRecordHeadSize;
    gpsBytes += n;
}

namespace {

boardReport boardReportOf(bool active, const boardClock& clock, const boardState& state, const auto& rates,
                          const boardClockFit& fit) {
    boardReport board;
    if (!active) return board;
    board.active = true;
    board.intmax = clock.intmax;
    board.fileTime = clock.fileTime;
    board.sessionBase = clock.sessionBase;
    board.validPackets = state.validPackets;
    board.crcErrors = state.crcErrors;
    board.unhandledPackets = state.unhandledPackets;
    board.received = state.received;
    board.rates.assign(rates.begin(), rates.end());
    board.fit = {fit.packets(),           fit.spanTicks(),         fit.zeroMs(clock.intmax),
                 fit.driftPpm(clock.intmax), fit.driftRangePpm(clock.intmax), fit.residualMs(),
                 fit.intervalMs(clock.intmax)};
    return board;
}

}  // namespace

fileReport sensorDecoder::finishFile(const packetReader& reader, int64_t gpsRecords) {
    times.settle();
    fileReport report;
    report.reader.numStreams = reader.numStreams();
    report.reader.numParsedPackets = reader.numParsedPackets();
    report.reader.numCorruptSections = reader.numCorruptSections();
    report.reader.numCorruptBytesSkipped = reader.numCorruptBytesSkipped();
    report.reader.streamCounts = reader.streamCounts();
    report.reader.firstSNSRTimestamp = reader.firstSNSRTimestamp();
    report.reader.lastSNSRTimestamp = reader.lastSNSRTimestamp();
    report.reader.fileStartTime = reader.fileStartTime();
    if (reader.header() != nullptr) report.reader.streams = reader.header()->streams;
    if (header != nullptr) {
        report.qor2Header = header->qor2_settings;
        report.juxHeader = header->jux_settings;
    }
    report.fileStartTime = fileStartTime;
    report.packets = times.packets;
    report.firstMs = times.first;
    report.lastMs = times.now();
    report.qor2 = boardReportOf(qor2Active, qor2Clock, qor2State, qor2Rates, times.qor2);
    report.jux = boardReportOf(juxActive, juxClock, juxState, juxRates, times.jux);
    report.gpsBytes = gpsBytes;
    report.gpsRecords = gpsRecords;
    if (cameraActive && extractor != nullptr) report.images = extractor->counts();
    if (const sampleChannel* audio = qor2Channels[qor2Audio].get()) report.audioFilled = audio->filledInFile;
    reader.writeStatistics(report.statisticsKeys, report.statisticsValues);
    writeStatistics(report.statisticsKeys, report.statisticsValues);
    return report;
}

void sensorDecoder::writeStatistics(metaList& metaKeys, metaList& metaValues) const {
    auto add = [&](std::string key, std::string value) {
        appendMeta(metaKeys, metaValues, std::move(key), std::move(value));
    };

    add("firstSNSRTimetamp", formatText("%u", firstPacketTimestamp));
    add("lastSNSRTimestamp", formatText("%u", lastPacketTimestamp));
    add("SNSRTimestamp_start_time", formatText("%" PRIu64, fileStartTime));

    // Per channel: readings received, readings the schedule asks for up to the
    // latest packet, and the schedule itself.
    auto addChannels = [&](const char* board, const boardClock& clock, const boardState& state, const auto& rates,
                           const auto& table) {
        for (size_t i = 0; i < table.size(); ++i) {
            const double expected = static_cast<double>(clock.fileTime) / static_cast<double>(clock.intmax) * rates[i];
            add(formatText("%s_recvieved_%s", board, table[i].shortName), formatText("%" PRId64, state.received[i]));
            add(formatText("%s_expected_%s", board, table[i].shortName), formatText("%f", expected));
            add(formatText("%s_schedule_%s", board, table[i].shortName), formatText("%f", rates[i]));
        }
    };

    // Per board: its packet counts and its interrupt maximum.
    auto addBoard = [&](const char* board, const boardClock& clock, const boardState& state) {
        add(board, "1");
        add(formatText("%s_crcErrors", board), formatText("%" PRId64, state.crcErrors));
        add(formatText("%s_validPackets", board), formatText("%" PRId64, state.validPackets));
        add(formatText("%s_unhandledPackets", board), formatText("%" PRId64, state.unhandledPackets));
        add(formatText("%s_interruptCounterMax", board), formatText("%d", clock.intmax));
    };

    if (qor2Active) {
        addBoard("qor2", qor2Clock, qor2State);
        add("qor2_calib_mic_gain", formatText("%d", qor2MicGain));
        const int32_t coefficients[] = {qor2Cal.C1, qor2Cal.C2, qor2Cal.C3, qor2Cal.C4, qor2Cal.C5, qor2Cal.C6};
        for (int i = 0; i < 6; ++i) add(formatText("qor2_calib_bar_C%d", i + 1), formatText("%d", coefficients[i]));
        if (const sampleChannel* audio = qor2Channels[qor2Audio].get(); audio != nullptr && audio->rate != 0) {
            add("qor2_audioFirstTimestamp", formatText("%f", audio->firstTimestamp));
            add("qor2_audioLastTimestamp", formatText("%f", audio->lastTimestamp));
        }
        addChannels("qor2", qor2Clock, qor2State, qor2Rates, qor2ChannelTable);
    }
    if (juxActive) {
        addBoard("jux", juxClock, juxState);
        addChannels("jux", juxClock, juxState, juxRates, juxChannelTable);
    }
    if (gpsActive) {
        add("sirfGPS", "1");
        add("sirfGPS_numBytesProcessed", formatText("%" PRId64, gpsBytes));
    }
    if (cameraActive) {
        add("camera", "1");
        add("camera_numGoodImages", formatText("%" PRId64, extractor != nullptr ? extractor->counts().good : int64_t{0}));
        add("camera_numBadImages", formatText("%" PRId64, extractor != nullptr ? extractor->counts().bad : int64_t{0}));
    }
}

}  // namespace sensconv
