#include "common/utcText.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

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
    // Every field is within its width here: the digits are written in place.
    std::string text = "0000-00-00T00:00:00.000Z";
    const auto put = [&text](size_t at, size_t width, int64_t value) {
        for (size_t i = width; i-- > 0; value /= 10) text[at + i] = static_cast<char>('0' + value % 10);
    };
    put(0, 4, static_cast<int>(date.year()));
    put(5, 2, static_cast<unsigned>(date.month()));
    put(8, 2, static_cast<unsigned>(date.day()));
    put(11, 2, clock.hours().count());
    put(14, 2, clock.minutes().count());
    put(17, 2, clock.seconds().count());
    put(20, 3, clock.subseconds().count());
    return text;
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
