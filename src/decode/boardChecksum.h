#pragma once
// The frame shared by both sensor boards: two sync bytes, kind, count or mask, the
// period counter, the interrupt count, the payload and a checksum byte at position L
// that holds the low 8 bits of the sum of bytes 2 .. L-1.

#include <cstddef>
#include <cstdint>

namespace sensconv {

inline constexpr uint8_t boardSync1 = 0x23;  // '#'
inline constexpr uint8_t boardSync2 = 0x7C;  // '|'
inline constexpr int32_t boardHeaderSize = 7;

// True when the packet holds its checksum byte at L and the byte matches.
// The caller has made sure that length > L.
inline bool boardChecksumPasses(const uint8_t* data, int32_t checksumAt) {
    uint32_t sum = 0;
    for (int32_t i = 2; i < checksumAt; ++i) sum += data[i];
    return static_cast<uint8_t>(sum) == data[checksumAt];
}

}  // namespace sensconv
