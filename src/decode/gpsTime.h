#pragma once
// GPS time to UTC. GPS time counts seconds since 1980-01-06 00:00:00 UTC without leap
// seconds, so it runs ahead of UTC by every leap second inserted since then. The
// receiver's measured navigation message gives only the week modulo 1024, which
// rolled over in August 1999 and April 2019 and will again in November 2038.

#include <cstdint>
#include <optional>
#include <span>

namespace sensconv::gpsTime {

inline constexpr int64_t epochUnixSeconds = 315964800;  // 1980-01-06 00:00:00 UTC
inline constexpr int64_t secondsPerWeek = 604800;
inline constexpr int64_t msPerWeek = secondsPerWeek * 1000;
inline constexpr int64_t weeksPerEra = 1024;

// One leap second: from utcUnixSeconds on, GPS time is gpsMinusUtc seconds ahead.
struct leapSecond {
    int64_t utcUnixSeconds;
    int32_t gpsMinusUtc;
};

// Every leap second since the GPS epoch (IERS Bulletin C). The last one was inserted
// at the end of 2016; add a row here when the IERS announces the next.
std::span<const leapSecond> leapSeconds();

// GPS minus UTC in seconds at a UTC instant, and at a GPS instant.
int32_t gpsMinusUtcAtUtc(int64_t utcUnixMs);
int32_t gpsMinusUtcAtGps(int64_t gpsMs);

// Milliseconds since the GPS epoch of a full week number and time of week.
inline int64_t gpsMs(int64_t fullWeek, int64_t towMs) {
    return fullWeek * msPerWeek + towMs;
}

// UTC (milliseconds since 1970) of a GPS instant, and the reverse.
int64_t utcFromGps(int64_t gpsMs);
int64_t gpsFromUtc(int64_t utcUnixMs);

// The full week of a week number that the receiver gives modulo 1024: the one whose
// time lies nearest to referenceGpsMs (a time known to within about ten years). A week
// of 1024 or more is taken as full already.
int64_t resolveWeek(int64_t week, int64_t towMs, int64_t referenceGpsMs);

// Milliseconds since 1970 of a UTC calendar time; none for fields out of range.
std::optional<int64_t> unixMsFromCivil(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                                       int32_t millisecondOfMinute);

}  // namespace sensconv::gpsTime
