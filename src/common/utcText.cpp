#include "common/utcText.h"

#include <chrono>

#include "common/textFormat.h"

namespace sensconv {

std::string utcText(int64_t unixMs) {
    using namespace std::chrono;
    const sys_time<milliseconds> time{milliseconds(unixMs)};
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss clock(time - day);
    return formatText("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
}

}  // namespace sensconv
