#pragma once
// Per-packet output of a board decoder: up to 256 values per channel, all channels
// of a board carved out of one block.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/littleEndian.h"
#include "decode/channelTable.h"

namespace sensconv {

class packetBatch {
public:
    static constexpr int32_t maxValuesPerChannel = 256;
    static constexpr int maxChannels = std::max(numQor2Channels, numJuxChannels);

    packetBatch() = default;
    // At most maxChannels channels.
    explicit packetBatch(int channels)
        : block_(static_cast<size_t>(std::clamp(channels, 0, maxChannels)) * maxValuesPerChannel, 0.0),
          samples16_(block_.size(), 0) {}

    double* values(int channel) { return block_.data() + static_cast<size_t>(channel) * maxValuesPerChannel; }
    const double* values(int channel) const { return block_.data() + static_cast<size_t>(channel) * maxValuesPerChannel; }

    // Stores value at the channel's count; a full channel drops it (a packet cannot
    // carry more than 256 readings of one channel).
    void append(int channel, double value) {
        int32_t& count = counts[static_cast<size_t>(channel)];
        if (count >= maxValuesPerChannel) return;
        values(channel)[count] = value;
        ++count;
        ++total;
    }

    // The same as appending valueAt(0) .. valueAt(n - 1) one by one, in a single loop
    // without a check per value, which the compiler can run in vector registers.
    template <typename valueFunction>
    void appendEach(int channel, int32_t n, valueFunction valueAt) {
        int32_t& count = counts[static_cast<size_t>(channel)];
        const int32_t taken = std::min(n, maxValuesPerChannel - count);
        if (taken <= 0) return;
        double* out = values(channel) + count;
        for (int32_t i = 0; i < taken; ++i) out[i] = valueAt(i);
        count += taken;
        total += taken;
    }

    // Appends n board words (little-endian, offset by 32768: the microphone's) as the
    // values word - 32768, and keeps them as 16-bit samples beside the values as well.
    void appendOffsetWords(int channel, int32_t n, const uint8_t* words) {
        const int32_t before = counts[static_cast<size_t>(channel)];
        appendEach(channel, n, [words](int32_t i) { return static_cast<double>(readLE16(words + 2 * i)) - 32768.0; });
        const int32_t taken = counts[static_cast<size_t>(channel)] - before;
        int16_t* out = samples16(channel) + before;
        for (int32_t i = 0; i < taken; ++i) {
            out[i] = static_cast<int16_t>(static_cast<uint16_t>(readLE16(words + 2 * i) ^ 0x8000u));
        }
        if (counts16[static_cast<size_t>(channel)] == before) counts16[static_cast<size_t>(channel)] += taken;
    }

    // The channel's values as 16-bit samples, where every value of the channel came with
    // one (appendOffsetWords); null otherwise.
    const int16_t* valuesAs16Bit(int channel) const {
        const auto c = static_cast<size_t>(channel);
        return counts[c] > 0 && counts16[c] == counts[c] ? samples16(channel) : nullptr;
    }

    void clear() {
        total = 0;
        counts.fill(0);
        counts16.fill(0);
    }

    int32_t total = 0;
    // Of a fixed size, so that clear is a few stores in line: the library's memset may
    // write the counts in a way that the next packet's first read of them has to wait for.
    std::array<int32_t, maxChannels> counts{};
    // Of them, how many came with a 16-bit sample, from the channel's first value on.
    std::array<int32_t, maxChannels> counts16{};

private:
    int16_t* samples16(int channel) { return samples16_.data() + static_cast<size_t>(channel) * maxValuesPerChannel; }
    const int16_t* samples16(int channel) const {
        return samples16_.data() + static_cast<size_t>(channel) * maxValuesPerChannel;
    }

    std::vector<double> block_;
    std::vector<int16_t> samples16_;
};

// Board time of a packet: 8-bit period counter and interrupt count within the period.
struct timePair {
    int32_t ts = -1;
    int32_t intCount = -1;

    bool operator==(const timePair&) const = default;
};

// What a board decoder made of one packet.
enum class boardResult : int32_t {
    none = 0,           // no packet decoded yet
    valid = 1,
    rejected = -2,      // a checksum, range or cut-off failure
    notDecodable = -3,  // a layout the decoder does not know
};

// A board decoder's result and counters for one file.
struct boardState {
    explicit boardState(int channels = 0) : received(static_cast<size_t>(channels), 0) {}

    boardResult result = boardResult::none;
    timePair pair;  // of the latest valid packet that carried one
    // Per-file counters; 64-bit like the reader's, a long file of small frames can
    // hold more than 2^31 packets.
    int64_t validPackets = 0;
    int64_t crcErrors = 0;
    int64_t unhandledPackets = 0;
    // Per channel; 64-bit because a very long file can carry more than 2^31 audio samples.
    std::vector<int64_t> received;
};

}  // namespace sensconv
