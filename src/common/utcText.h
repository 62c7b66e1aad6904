#pragma once
// UTC times as the summaries write them: ISO 8601 with milliseconds and a Z
// ("2025-03-14T09:30:00.123Z"), and the milliseconds since 1970 they stand for.

#include <cstdint>
#include <string>

namespace sensconv {

// Milliseconds since 1970-01-01 UTC as ISO 8601 text, also before 1970; years beyond
// 0000 to 9999 show the nearest end of that range.
std::string utcText(int64_t unixMs);

// The whole milliseconds a time in seconds since 1970 has reached (rounded down, as a
// millisecond clock would show it); saturates beyond the 64-bit range, 0 for NaN.
int64_t unixMsOf(double unixSeconds);

}  // namespace sensconv
