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
            channels_[i]->emptyBatch();
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
    void fitClocksOn(handOff& thread) { times_.fitOn(thread); }
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

    // The decoder's state, read-only, for its tests, the fuzz targets and the benchmarks.
    // Consumers read the decoded data through view() and a finished file through its
    // report (finishFile).
    snsrHeader* header() const { return header_; }
    bool qor2Active() const { return qor2Active_; }
    bool juxActive() const { return juxActive_; }
    bool gpsActive() const { return gpsActive_; }
    bool cameraActive() const { return cameraActive_; }
    const std::array<std::unique_ptr<sampleChannel>, numQor2Channels>& qor2Channels() const { return qor2Channels_; }
    const std::array<std::unique_ptr<sampleChannel>, numJuxChannels>& juxChannels() const { return juxChannels_; }
    const gpsRecordBuffer& gpsRecord() const { return gpsRecord_; }
    int64_t gpsBytes() const { return gpsBytes_; }
    uint32_t firstPacketTimestamp() const { return firstPacketTimestamp_; }
    uint32_t lastPacketTimestamp() const { return lastPacketTimestamp_; }
    uint64_t fileStartTime() const { return fileStartTime_; }
    const boardClock& qor2Clock() const { return qor2Clock_; }
    const boardClock& juxClock() const { return juxClock_; }
    const boardState& qor2State() const { return qor2State_; }
    const boardState& juxState() const { return juxState_; }
    const packetBatch& qor2Batch() const { return qor2Batch_; }
    const packetBatch& juxBatch() const { return juxBatch_; }
    const qor2Calibration& qor2Cal() const { return qor2Cal_; }
    const std::array<double, numQor2Channels>& qor2Rates() const { return qor2Rates_; }
    const std::array<double, numJuxChannels>& juxRates() const { return juxRates_; }
    int32_t qor2MicGain() const { return qor2MicGain_; }
    const std::set<int32_t>& streamTypes() const { return streamTypes_; }
    cameraSink* extractor() const { return extractor_; }
    const fileTimes& times() const { return times_; }

private:
    // The tests reach the state they set up through a door of their own.
    friend struct sensorDecoderTestDoor;

    // The decoder's state.
    snsrHeader* header_ = nullptr;
    bool qor2Active_ = false;
    bool juxActive_ = false;
    bool gpsActive_ = false;
    bool cameraActive_ = false;
    // One entry per table channel; null where the channel is off.
    std::array<std::unique_ptr<sampleChannel>, numQor2Channels> qor2Channels_;
    std::array<std::unique_ptr<sampleChannel>, numJuxChannels> juxChannels_;
    gpsRecordBuffer gpsRecord_;
    int64_t gpsBytes_ = 0;  // receiver bytes taken into records in this file

    uint32_t firstPacketTimestamp_ = 0xFFFFFFFFu;
    uint32_t lastPacketTimestamp_ = 0xFFFFFFFFu;
    uint64_t fileStartTime_ = 0;
    boardClock qor2Clock_;
    boardClock juxClock_;
    boardState qor2State_{numQor2Channels};
    boardState juxState_{numJuxChannels};
    packetBatch qor2Batch_{numQor2Channels};
    packetBatch juxBatch_{numJuxChannels};
    qor2Calibration qor2Cal_;
    std::array<double, numQor2Channels> qor2Rates_{};
    std::array<double, numJuxChannels> juxRates_{};
    int32_t qor2MicGain_ = 0;
    std::set<int32_t> streamTypes_;
    cameraSink* extractor_ = nullptr;
    // This file's container times and how each board clock runs against them.
    fileTimes times_;

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
