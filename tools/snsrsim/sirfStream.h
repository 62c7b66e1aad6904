#pragma once
// The GPS receiver's output: once a second a navigation solution in the receiver's
// binary message format (start bytes 0xA0 0xA2, big-endian length, payload, 15-bit
// checksum, end bytes 0xB0 0xB3): measured navigation data (message 2), geodetic
// navigation data (message 41) and the receiver's throughput (message 9). The
// position follows the wearer's walk; indoors the receiver loses its fix. Both
// navigation messages describe the same solution: message 41 to 1e-7 degrees and
// centimetres, message 2 as whole metres of the earth-centred position of that point.

#include <cstdint>
#include <vector>

#include "snsrsim/randomSource.h"
#include "snsrsim/wearerModel.h"

namespace snsrsim {

class sirfStream {
public:
    // The receiver sends message 2 when measured is set, message 41 when geodetic is.
    sirfStream(uint64_t seed, bool measured = true, bool geodetic = true);

    // Height of the geoid above the WGS-84 ellipsoid where the wearer walks.
    static constexpr double geoidSeparationM = 48.0;

    // Appends the messages of one second to out. t is seconds since the session start
    // (increasing from call to call), utcMs the wall-clock time in milliseconds since
    // 1970.
    void second(double t, const wearerState& state, int64_t utcMs, std::vector<uint8_t>& out);

private:
    void appendMessage(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out) const;

    randomSource random_;
    bool measured_;
    bool geodetic_;
    double latitudeDeg_;
    double longitudeDeg_;
    double lastT_ = -1.0;
    double fixQuality_ = 0.0;  // 0 no fix .. 1 full fix, follows the sky view
};

}  // namespace snsrsim
