#include "common/utcText.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "common/textFormat.h"

namespace sensconv {

std::string utcText(int64_t unixMs) {
    using namespace std::chrono;
    // The text has four digits for the year: values outside the years 0000 to 9999
    // (only a damaged header gives them) show the nearest end of that range.
    constexpr int64_t earliest = -62167219200000;  // 0000-01-01T00:00:00.000Z
    constexpr int64_t latest = 253402300799999;    // 9999-12-31T23:59:59.999Z
    const sys_time<milliseconds> time{milliseconds(std::clamp(unixMs, earliest, latest))};
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss clock(time - day);
    return formatText("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
}

int64_t unixMsOf(double unixSeconds) {
    const double ms = std::floor(unixSeconds * 1000.0);
    if (std::isnan(ms)) return 0;
    constexpr double limit = 9.2e18;  // inside the int64_t range, far beyond any real date
    if (ms >= limit) return static_cast<int64_t>(limit);
    if (ms <= -limit) return -static_cast<int64_t>(limit);
    return static_cast<int64_t>(ms);
}

}  // namespace sensconv
