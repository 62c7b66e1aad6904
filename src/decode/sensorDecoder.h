#pragma once
// The per-file decoder: dispatches packets by stream type to the board decoders, the
// GPS pass-through and the image extractor, and rebuilds each board's time base.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "common/metaLists.h"
#include "common/outcome.h"
#include "container/packetReader.h"
#include "container/snsrHeader.h"
#include "decode/cameraSink.h"
#include "decode/channelTable.h"
#include "decode/decoderView.h"
#include "decode/fileReport.h"
#include "decode/fileTimes.h"
#include "decode/packetBatch.h"
#include "decode/qor2Decoder.h"
#include "decode/sampleChannel.h"

namespace sensconv {


// Time base of one board. Ticks are 64-bit so that long sessions keep exact times.
struct boardClock {
    int32_t intmax = 0;
    timePair first;
    timePair previous;
    int64_t wrapOffset = 0;
    int64_t fileTime = -1;
    int64_t firstFileTime = -1;
    int64_t sessionBase = -1;
    bool rolloverCheck = true;
};

// State handed from one file's decoder to the next file's within a session.
struct carryOver : qor2Readings {
    bool valid = false;
    int64_t qor2SessionTime = 0;
    int64_t juxSessionTime = 0;
    cameraSink* extractor = nullptr;  // the session's, not owned
    uint32_t firstPacketTimestamp = 0xFFFFFFFFu;
    uint32_t lastPacketTimestamp = 0xFFFFFFFFu;
};

// The channels that hold values of the current packet; a packet reaches one board, so
// each channel comes at most once. Each comes with its number across both boards'
// tables (see decoderView::channelsWithValues).
class heldBatches {
public:
    void add(sampleChannel& channel, int number) {
        if (count_ < channels_.size()) {
            numbers_[count_] = static_cast<uint8_t>(number);
            channels_[count_++] = &channel;
        }
    }
    void empty() {
        for (size_t i = 0; i < count_; ++i) {
            channels_[i]->batchCount = 0;
            channels_[i]->batch16 = nullptr;
            channels_[i]->missingList.clear();
        }
        count_ = 0;
    }
    std::span<const uint8_t> numbers() const { return {numbers_.data(), count_}; }

private:
    std::array<sampleChannel*, numQor2Channels + numJuxChannels> channels_{};
    std::array<uint8_t, numQor2Channels + numJuxChannels> numbers_{};
    size_t count_ = 0;
};

class sensorDecoder {
public:
    // header may be null: then the error is printed and the decoder stays inactive.
    // repairLimit is the largest gap a channel fills; the program always uses the
    // default (a fuzzing target chooses a smaller one to keep its runs fast).
    explicit sensorDecoder(snsrHeader* header, int32_t repairLimit = sampleChannel::defaultMaxFill);
    sensorDecoder(const sensorDecoder&) = delete;
    sensorDecoder& operator=(const sensorDecoder&) = delete;

    // Fatal when the decoder could not be set up (a channel's repair buffer, status -1;
    // the GPS record, status -12). Such a decoder must not be used.
    const outcome& setUpResult() const { return setUpResult_; }

    // What the writer and any other consumer of the decoded data may see.
    decoderView view() const { return decoderView(*this); }

    // The board clocks are fitted on thread's side from now on (see fileTimes.h).
    void fitClocksOn(handOff& thread) { times.fitOn(thread); }
    // After the file's last packet (or the packet that ended the conversion): completes
    // the clock fits and returns what the file held, read by reader. gpsRecords counts
    // the records the decoder made.
    fileReport finishFile(const packetReader& reader, int64_t gpsRecords);
    bool loadCarryOver(carryOver& record);
    void saveCarryOver(carryOver& record) const;
    void disableRolloverCheck();
    // Decodes one packet; the channels' batches and the GPS record then hold what it
    // produced, until the next packet. Fatal on a counter wrap that is not a roll-over
    // or board time running backwards (status -11), and when a channel's gap is larger
    // than the repair limit (status -3).
    outcome processPacket(const snsrPacket& packet);
    // Hands the values a board decoder left in the board's batch to the board's
    // channels, at the board clock's file time; processPacket does so for every valid
    // packet of the board. Fatal (status -3) when a gap is larger than the repair limit.
    outcome addQor2Values(int64_t packetIndex);
    outcome addJuxValues(int64_t packetIndex);
    // Numbers of the channels that got values from the last packet (see decoderView).
    std::span<const uint8_t> channelsWithValues() const { return held_.numbers(); }

    // Appends the decoder's statistics for this file to the session metadata.
    void writeStatistics(metaList& metaKeys, metaList& metaValues) const;

    // The decoder's state, for its tests and statistics. Consumers read the decoded
    // data through view().
    snsrHeader* header = nullptr;
    bool qor2Active = false;
    bool juxActive = false;
    bool gpsActive = false;
    bool cameraActive = false;
    // One entry per table channel; null where the channel is off.
    std::array<std::unique_ptr<sampleChannel>, numQor2Channels> qor2Channels;
    std::array<std::unique_ptr<sampleChannel>, numJuxChannels> juxChannels;
    gpsRecordBuffer gpsRecord;
    int64_t gpsBytes = 0;  // receiver bytes taken into records in this file

    uint32_t firstPacketTimestamp = 0xFFFFFFFFu;
    uint32_t lastPacketTimestamp = 0xFFFFFFFFu;
    uint64_t fileStartTime = 0;
    boardClock qor2Clock;
    boardClock juxClock;
    boardState qor2State{numQor2Channels};
    boardState juxState{numJuxChannels};
    packetBatch qor2Batch{numQor2Channels};
    packetBatch juxBatch{numJuxChannels};
    qor2Calibration qor2Cal;
    std::array<double, numQor2Channels> qor2Rates{};
    std::array<double, numJuxChannels> juxRates{};
    int32_t qor2MicGain = 0;
    std::set<int32_t> streamTypes;
    cameraSink* extractor = nullptr;
    // This file's container times and how each board clock runs against them.
    fileTimes times;

private:
    int32_t repairLimit_;
    outcome setUpResult_;
    heldBatches held_;

    outcome setUpChannels();
    void emptyOutputs();
    outcome processQor2(const snsrPacket& packet);
    outcome processJux(const snsrPacket& packet);
    void processGps(const snsrPacket& packet);
    // Places the packet's time pair on the board's time line.
    outcome updateClock(boardClock& clock, const timePair& current, int64_t packetIndex, const char* boardName);
};

}  // namespace sensconv
