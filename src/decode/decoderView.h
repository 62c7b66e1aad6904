#pragma once
// The narrow, read-only door to what one input file's decoder produces, for code that
// writes or summarises a recording (the session writer, a report of a file): which
// boards and streams the file has, each board's identity, the channels with the values
// of the current packet and their bookkeeping, and the current GPS record. Nothing
// here changes the decoder. A view is cheap to copy and valid while its decoder lives.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decode/channelTable.h"

namespace sensconv {

class sensorDecoder;
class sampleChannel;

// One GPS record: a 20-byte head and the receiver's bytes, made from the current
// packet; length 0 when the packet made none.
struct gpsRecordBuffer {
    static constexpr size_t capacity = 81920;
    std::vector<uint8_t> bytes;
    int32_t length = 0;
};

// A board as its settings name it: serial number, hardware and software versions.
struct boardIdentity {
    int32_t serial = -1;
    int32_t hardwareVersion = -1;
    int32_t majorSoftVersion = -1;
    int32_t minorSoftVersion = -1;

    bool known() const { return serial != -1; }
};

class decoderView {
public:
    explicit decoderView(const sensorDecoder& decoder) : decoder_(&decoder) {}

    // The input file's name as its header gives it; empty without a header.
    const std::string& sourceFile() const;

    // Whether the file's header sets up each board and stream.
    bool hasQor2() const;
    bool hasJux() const;
    bool hasGps() const;
    bool hasCamera() const;

    // The identity of an active board; all fields -1 when the board is missing.
    boardIdentity qor2Identity() const;
    boardIdentity juxIdentity() const;

    // A board's channel by its table index; null where the channel is off or the
    // board is missing. batch/batchCount hold the values of the current packet only:
    // the decoder empties them when the next packet arrives.
    const sampleChannel* qor2Channel(int index) const;
    const sampleChannel* juxChannel(int index) const;
    const sampleChannel* audio() const { return qor2Channel(qor2Audio); }
    // The channels that got values (or filled positions) from the current packet, by
    // their number across both tables: a qor2 channel's index, a jux channel's
    // numQor2Channels + index. Every channel that holds anything of the packet is
    // here, so a consumer need not look at the others.
    std::span<const uint8_t> channelsWithValues() const;

    // The GPS record of the current packet; length 0 when the packet made none.
    const gpsRecordBuffer& gpsRecord() const;

private:
    const sensorDecoder* decoder_;
};

}  // namespace sensconv
