#pragma once
// UTC instants as text: ISO 8601 with milliseconds and Z ("2026-12-08T10:52:57.123Z").

#include <cstdint>
#include <string>

namespace sensconv {

// unixMs: milliseconds since 1970-01-01 00:00:00 UTC (negative before).
std::string utcText(int64_t unixMs);

}  // namespace sensconv
