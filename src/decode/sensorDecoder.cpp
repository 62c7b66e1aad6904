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
    : header_(fileHeader), repairLimit_(repairLimit) {
    if (header_ == nullptr) {
        printMessage(msg::noHeader);
        return;
    }
    setUpResult_ = setUpChannels();
}

outcome sensorDecoder::setUpChannels() {
    if (header_->num_streams > maxStreams) printMessage(msg::tooManyStreams, header_->num_streams, maxStreams);
    for (int32_t i = 0; i < header_->num_streams; ++i) {
        if (static_cast<size_t>(i) >= header_->streams.size()) {
            printMessage(msg::nullStream);
            continue;
        }
        streamTypes_.insert(header_->streams[static_cast<size_t>(i)].type);
    }
    fileStartTime_ = header_->fileStartTime;

    if (loadQor2Settings(*header_)) {
        const qor2Settings& s = header_->qor2_settings;
        const barometerCalibration& c = header_->calib_bar;
        qor2Active_ = true;
        qor2Clock_.intmax = s.intr;
        qor2MicGain_ = s.spare;
        qor2Cal_.intmax = s.intr;
        qor2Cal_.C1 = c.C1;
        qor2Cal_.C2 = c.C2;
        qor2Cal_.C3 = c.C3;
        qor2Cal_.C4 = c.C4;
        qor2Cal_.C5 = c.C5;
        qor2Cal_.C6 = c.C6;
        for (size_t i = 0; i < qor2Rates_.size(); ++i) qor2Rates_[i] = scheduledRate(qor2ChannelTable[i], s);
        if (outcome made = makeChannels(qor2Channels_, qor2Rates_, qor2ChannelTable, s.intr, repairLimit_); !made.ok())
            return made;
    }

    if (loadJuxSettings(*header_)) {
        const juxSettings& s = header_->jux_settings;
        juxActive_ = true;
        juxClock_.intmax = s.intr;
        for (size_t i = 0; i < juxRates_.size(); ++i) juxRates_[i] = scheduledRate(juxChannelTable[i], s);
        if (outcome made = makeChannels(juxChannels_, juxRates_, juxChannelTable, s.intr, repairLimit_); !made.ok())
            return made;
    }

    if (streamTypes_.contains(streamSIRF_GPS)) {
        gpsActive_ = true;
        try {
            gpsRecord_.bytes.assign(gpsRecordBuffer::capacity, 0);
        } catch (const std::bad_alloc&) {
            return outcome::fatal(exitStatus::noGpsBuffer, msg::gpsBufferNotAllocated);
        }
    }
    cameraActive_ = streamTypes_.contains(streamCAMERA);
    return {};
}

bool sensorDecoder::loadCarryOver(carryOver& record) {
    if (record.extractor != nullptr) {
        extractor_ = record.extractor;
        extractor_->resetCounts();
    }
    if (!record.valid) return false;
    static_cast<qor2Readings&>(qor2Cal_) = record;
    qor2Clock_.sessionBase = record.qor2SessionTime;
    juxClock_.sessionBase = record.juxSessionTime;
    firstPacketTimestamp_ = record.firstPacketTimestamp;
    lastPacketTimestamp_ = record.lastPacketTimestamp;
    return true;
}

void sensorDecoder::saveCarryOver(carryOver& record) const {
    static_cast<qor2Readings&>(record) = qor2Cal_;
    record.qor2SessionTime = addTicks(qor2Clock_.fileTime, qor2Clock_.sessionBase);
    record.juxSessionTime = addTicks(juxClock_.fileTime, juxClock_.sessionBase);
    record.extractor = extractor_;
    record.valid = true;
    record.firstPacketTimestamp = firstPacketTimestamp_;
    record.lastPacketTimestamp = lastPacketTimestamp_;
}

void sensorDecoder::disableRolloverCheck() {
    qor2Clock_.rolloverCheck = false;
    juxClock_.rolloverCheck = false;
}

void sensorDecoder::emptyOutputs() {
    held_.empty();
    gpsRecord_.length = 0;
}

outcome sensorDecoder::processPacket(const snsrPacket& packet) {
    // What the previous packet produced has been taken by now.
    emptyOutputs();
    if (packet.type != streamINVALID) {
        lastPacketTimestamp_ = packet.timestamp;
        if (firstPacketTimestamp_ == noTimestamp) firstPacketTimestamp_ = packet.timestamp;
        times_.packet(packet.timestamp);
    }
    switch (packet.type) {
        case streamQOR2:
        case streamMIC:
            if (qor2Active_) return processQor2(packet);
            break;
        case streamJUX:
            if (juxActive_) return processJux(packet);
            break;
        case streamSIRF_GPS:
            if (gpsActive_) processGps(packet);
            break;
        case streamCAMERA:
            if (cameraActive_ && extractor_ != nullptr) {
                extractor_->addPacket(packet, qor2Clock_.sessionBase, qor2Clock_.fileTime, qor2Clock_.intmax);
            }
            break;
        default: break;
    }
    return {};
}

outcome sensorDecoder::processQor2(const snsrPacket& packet) {
    qor2Batch_.clear();
    qor2Decoder::decode(packet.data, packet.length, qor2Batch_, qor2Cal_, qor2State_);
    if (qor2State_.result != boardResult::valid) {
        printMessage(qor2State_.result == boardResult::rejected ? msg::qor2BadChecksum : msg::qor2ParserError, packet.index);
        return {};
    }
    if (outcome placed = updateClock(qor2Clock_, qor2State_.pair, packet.index, "qor2"); !placed.ok()) return placed;
    times_.qor2.add(qor2Clock_.fileTime, times_.now());
    return addQor2Values(packet.index);
}

outcome sensorDecoder::addQor2Values(int64_t packetIndex) {
    return addBatchToChannels(qor2Batch_, qor2Channels_, 0, qor2Clock_.fileTime, packetIndex, held_);
}

outcome sensorDecoder::processJux(const snsrPacket& packet) {
    juxBatch_.clear();
    juxDecoder::decode(packet.data, packet.length, juxBatch_, juxClock_.intmax, juxState_);
    if (juxState_.result != boardResult::valid) {
        printMessage(juxState_.result == boardResult::rejected ? msg::juxBadChecksum : msg::juxParserError, packet.index);
        return {};
    }
    // Packets without readings carry no time pair of their own; before the board's
    // first real pair there is nothing to repeat, and the clock must not start at
    // an invented time.
    if (juxState_.pair == timePair{}) return {};
    if (outcome placed = updateClock(juxClock_, juxState_.pair, packet.index, "jux"); !placed.ok()) return placed;
    times_.jux.add(juxClock_.fileTime, times_.now());
    return addJuxValues(packet.index);
}

outcome sensorDecoder::addJuxValues(int64_t packetIndex) {
    return addBatchToChannels(juxBatch_, juxChannels_, numQor2Channels, juxClock_.fileTime, packetIndex, held_);
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
    const int64_t sessionTime = addTicks(qor2Clock_.fileTime, qor2Clock_.sessionBase);
    uint8_t* record = gpsRecord_.bytes.data();
    writeLE32(record, static_cast<uint32_t>(ticksToMilliseconds32(sessionTime, qor2Clock_.intmax)));
    writeLE32(record + 4, packet.timestamp);
    writeLE64(record + 8, fileStartTime_);
    writeLE32(record + 16, n);
    std::copy(packet.data + gpsDataAt, packet.data + gpsDataAt + n, record + gpsRecordHeadSize);
    gpsRecord_.length = n + gpsRecordHeadSize;
    gpsBytes_ += n;
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
    times_.settle();
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
    if (header_ != nullptr) {
        report.qor2Header = header_->qor2_settings;
        report.juxHeader = header_->jux_settings;
    }
    report.fileStartTime = fileStartTime_;
    report.packets = times_.packets;
    report.firstMs = times_.first;
    report.lastMs = times_.now();
    report.qor2 = boardReportOf(qor2Active_, qor2Clock_, qor2State_, qor2Rates_, times_.qor2);
    report.jux = boardReportOf(juxActive_, juxClock_, juxState_, juxRates_, times_.jux);
    report.gpsBytes = gpsBytes_;
    report.gpsRecords = gpsRecords;
    if (cameraActive_ && extractor_ != nullptr) report.images = extractor_->counts();
    if (const sampleChannel* audio = qor2Channels_[qor2Audio].get()) report.audioFilled = audio->filledInFile();
    reader.writeStatistics(report.statisticsKeys, report.statisticsValues);
    writeStatistics(report.statisticsKeys, report.statisticsValues);
    return report;
}

void sensorDecoder::writeStatistics(metaList& metaKeys, metaList& metaValues) const {
    auto add = [&](std::string key, std::string value) {
        appendMeta(metaKeys, metaValues, std::move(key), std::move(value));
    };

    add("firstSNSRTimetamp", formatText("%u", firstPacketTimestamp_));
    add("lastSNSRTimestamp", formatText("%u", lastPacketTimestamp_));
    add("SNSRTimestamp_start_time", formatText("%" PRIu64, fileStartTime_));

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

    if (qor2Active_) {
        addBoard("qor2", qor2Clock_, qor2State_);
        add("qor2_calib_mic_gain", formatText("%d", qor2MicGain_));
        const int32_t coefficients[] = {qor2Cal_.C1, qor2Cal_.C2, qor2Cal_.C3, qor2Cal_.C4, qor2Cal_.C5, qor2Cal_.C6};
        for (int i = 0; i < 6; ++i) add(formatText("qor2_calib_bar_C%d", i + 1), formatText("%d", coefficients[i]));
        if (const sampleChannel* audio = qor2Channels_[qor2Audio].get(); audio != nullptr && audio->rate != 0) {
            add("qor2_audioFirstTimestamp", formatText("%f", audio->firstTimestamp()));
            add("qor2_audioLastTimestamp", formatText("%f", audio->lastTimestamp()));
        }
        addChannels("qor2", qor2Clock_, qor2State_, qor2Rates_, qor2ChannelTable);
    }
    if (juxActive_) {
        addBoard("jux", juxClock_, juxState_);
        addChannels("jux", juxClock_, juxState_, juxRates_, juxChannelTable);
    }
    if (gpsActive_) {
        add("sirfGPS", "1");
        add("sirfGPS_numBytesProcessed", formatText("%" PRId64, gpsBytes_));
    }
    if (cameraActive_) {
        add("camera", "1");
        add("camera_numGoodImages", formatText("%" PRId64, extractor_ != nullptr ? extractor_->counts().good : int64_t{0}));
        add("camera_numBadImages", formatText("%" PRId64, extractor_ != nullptr ? extractor_->counts().bad : int64_t{0}));
    }
}

}  // namespace sensconv
