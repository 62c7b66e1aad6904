#pragma once
// Main-board (QOR2) packet decoding: framing, checksum and range tests, and the
// conversion of every reading into the physical value of its channel.

#include <cstdint>

#include "decode/packetBatch.h"

namespace sensconv {

// The last readings that later packets (and the next file of the session) need:
// the barometer temperature word, the humidity sensor's temperature and the light
// readings not yet combined into an ambient-light value.
struct qor2Readings {
    int32_t lastD2 = -1;
    bool shtTempPresent = false;
    double shtTempValue = -1.0;
    bool visPresent = false;
    double visValue = -1.0;
    bool irPresent = false;
    double irValue = -1.0;
};

// Barometer coefficients of the file's header plus the running readings.
struct qor2Calibration : qor2Readings {
    int32_t C1 = 0, C2 = 0, C3 = 0, C4 = 0, C5 = 0, C6 = 0;
    int32_t intmax = 0;  // 0 switches the interrupt range test off
};

class qor2Decoder {
public:
    static constexpr int32_t maxAudioSamples = 63;

    // Decodes one packet of length bytes into batch; the outcome is state.result.
    // Never reads beyond length.
    static void decode(const uint8_t* data, int32_t length, packetBatch& batch, qor2Calibration& calibration,
                       boardState& state);
};

}  // namespace sensconv
