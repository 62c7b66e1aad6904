#pragma once
// Board time arithmetic shared by the decoder, the channels and the image extractor.
// One period of the 8-bit counter holds intmax ticks and lasts 10 seconds, so t ticks
// are t / (intmax / 10) seconds.

#include <cmath>
#include <cstdint>
#include <limits>

namespace sensconv {

// Tick sums saturate instead of overflowing: only a hostile file with millions of
// forced wraps could get near the limit, and it must not make the arithmetic undefined.
inline int64_t addTicks(int64_t a, int64_t b) {
    constexpr int64_t most = std::numeric_limits<int64_t>::max();
    constexpr int64_t least = std::numeric_limits<int64_t>::min();
    if (b > 0 && a > most - b) return most;
    if (b < 0 && a < least - b) return least;
    return a + b;
}

inline double ticksPerSecond(int32_t intmax) {
    return intmax / 10.0;
}

inline double ticksToSeconds(int64_t ticks, int32_t intmax) {
    return static_cast<double>(ticks) / ticksPerSecond(intmax);
}

// Milliseconds of a tick count, truncated toward zero, as the signed low 32 bits of
// the 64-bit value (the GPS records and the image names keep only those). Without an
// interrupt maximum there is no time base and the result is 0.
inline int32_t ticksToMilliseconds32(int64_t ticks, int32_t intmax) {
    if (intmax == 0) return 0;
    const double ms = std::trunc(ticksToSeconds(ticks, intmax) * 1000.0);
    if (!std::isfinite(ms)) return 0;
    // Reduce modulo 2^32 in floating point, where every value of this size is an exact
    // integer, so that even values beyond the 64-bit range keep their low bits.
    constexpr double twoTo32 = 4294967296.0;
    double low = std::fmod(ms, twoTo32);
    if (low < 0) low += twoTo32;
    return static_cast<int32_t>(static_cast<uint32_t>(low));
}

}  // namespace sensconv
