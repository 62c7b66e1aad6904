#pragma once
// Second-board (JUX) packet decoding: three gyroscopes with their temperatures and a
// three-axis magnetometer, in the frame shared with the main board.

#include <cstdint>

#include "decode/packetBatch.h"

namespace sensconv {

class juxDecoder {
public:
    // Decodes one packet of length bytes into batch; the outcome is state.result.
    // Never reads beyond length.
    static void decode(const uint8_t* data, int32_t length, packetBatch& batch, int32_t intmax, boardState& state);
};

}  // namespace sensconv
