#include "decode/gpsTime.h"

#include <algorithm>
#include <array>
#include <chrono>

namespace sensconv::gpsTime {

namespace {

constexpr int64_t unixSecondsOf(int y, unsigned m, unsigned d) {
    return std::chrono::sys_days(std::chrono::year_month_day(std::chrono::year(y), std::chrono::month(m),
                                                             std::chrono::day(d)))
               .time_since_epoch()
               .count() *
           86400;
}

constexpr std::array<leapSecond, 18> table = {{
    {unixSecondsOf(1981, 7, 1), 1},  {unixSecondsOf(1982, 7, 1), 2},  {unixSecondsOf(1983, 7, 1), 3},
    {unixSecondsOf(1985, 7, 1), 4},  {unixSecondsOf(1988, 1, 1), 5},  {unixSecondsOf(1990, 1, 1), 6},
    {unixSecondsOf(1991, 1, 1), 7},  {unixSecondsOf(1992, 7, 1), 8},  {unixSecondsOf(1993, 7, 1), 9},
    {unixSecondsOf(1994, 7, 1), 10}, {unixSecondsOf(1996, 1, 1), 11}, {unixSecondsOf(1997, 7, 1), 12},
    {unixSecondsOf(1999, 1, 1), 13}, {unixSecondsOf(2006, 1, 1), 14}, {unixSecondsOf(2009, 1, 1), 15},
    {unixSecondsOf(2012, 7, 1), 16}, {unixSecondsOf(2015, 7, 1), 17}, {unixSecondsOf(2017, 1, 1), 18},
}};

constexpr int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

std::span<const leapSecond> leapSeconds() {
    return table;
}

int32_t gpsMinusUtcAtUtc(int64_t utcUnixMs) {
    int32_t offset = 0;
    for (const leapSecond& leap : table) {
        if (utcUnixMs >= leap.utcUnixSeconds * 1000) offset = leap.gpsMinusUtc;
    }
    return offset;
}

int32_t gpsMinusUtcAtGps(int64_t gpsMs) {
    // A leap second takes effect in GPS time at its UTC instant plus the new offset.
    int32_t offset = 0;
    for (const leapSecond& leap : table) {
        if (gpsMs >= (leap.utcUnixSeconds - epochUnixSeconds + leap.gpsMinusUtc) * 1000) offset = leap.gpsMinusUtc;
    }
    return offset;
}

int64_t utcFromGps(int64_t gpsMs) {
    return gpsMs + epochUnixSeconds * 1000 - int64_t{gpsMinusUtcAtGps(gpsMs)} * 1000;
}

int64_t gpsFromUtc(int64_t utcUnixMs) {
    return utcUnixMs - epochUnixSeconds * 1000 + int64_t{gpsMinusUtcAtUtc(utcUnixMs)} * 1000;
}

int64_t resolveWeek(int64_t week, int64_t towMs, int64_t referenceGpsMs) {
    if (week >= weeksPerEra) return week;
    const int64_t eraMs = weeksPerEra * msPerWeek;
    const int64_t inEra = gpsMs(week, towMs);
    // The era that puts the time within half an era of the reference.
    const int64_t era = floorDiv(referenceGpsMs - inEra + eraMs / 2, eraMs);
    return week + std::max<int64_t>(era, 0) * weeksPerEra;
}

std::optional<int64_t> unixMsFromCivil(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                                       int32_t millisecondOfMinute) {
    if (month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        millisecondOfMinute < 0 || millisecondOfMinute > 60999)
        return std::nullopt;
    const std::chrono::year_month_day date(std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day)));
    if (!date.ok()) return std::nullopt;
    const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    return ((days * 24 + hour) * 60 + minute) * 60000 + millisecondOfMinute;
}

}  // namespace sensconv::gpsTime
