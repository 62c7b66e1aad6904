#pragma once
// The wearer's days (--schedule): nights of sleep, the device taken off and left on a
// table, bouts of walking and running, on top of the everyday moving about of
// wearerModel. Everything is a function of UTC (seconds since 1970), so the sessions
// and downloads of one wearer share one plan. With --truth, dayTruth writes what the
// wear and activity analysis of the conversion must find, per minute.
//
// - Sleep from about 22:00 to 06:00 UTC: lying still in one posture for 20 to 120 min,
//   a short shift of posture between, at skin temperature under the blanket, dark.
// - Removals (two a day, 10 min to 8 h, in the waking hours): the device lies still on a
//   table in some orientation, in the room's light; its temperature falls exponentially
//   to the room's (time constant 10 to 20 min) and rises back to skin level once it is
//   worn again (time constant 6 to 10 min).
// - Walks (10 to 30 min, steps 1.7 to 2.0 Hz) and runs (8 to 20 min, 2.6 to 3.0 Hz,
//   0.75 to 0.9 g of bounce, inside the sensor's +-2 g), upright.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "snsrsim/randomSource.h"
#include "snsrsim/simFile.h"
#include "snsrsim/wearerModel.h"

namespace snsrsim {

enum class dayActivity { awake, walk, run, sleep, removed };

const char* activityName(dayActivity activity);

struct removalSpan {
    double startUnix = 0.0;
    double endUnix = 0.0;
};

class daySchedule {
public:
    daySchedule(uint64_t seed, double startUnixSeconds);

    // What the schedule makes of the wearer model's state at UTC t: acceleration,
    // temperatures and light while asleep, off or exercising; unchanged otherwise.
    void apply(double unixSeconds, wearerState& state);
    dayActivity activityAt(double unixSeconds);
    // The removals that overlap [from, to), clipped to it.
    std::vector<removalSpan> removalsBetween(double from, double to);

private:
    struct interval {
        double start = 0.0;
        double end = 0.0;
        dayActivity activity = dayActivity::awake;
        std::array<double, 3> gravity{0.0, 0.0, 1.0};  // still postures and the table
        double stepHz = 0.0;
        double amplitudeG = 0.0;
        double targetC = 32.0;   // the temperature the device tends to
        double lagS = 600.0;     // and how fast
        double startC = 32.0;    // where it was at the start
        double lux = 0.0;        // the room's light while off or asleep
    };

    const interval& intervalAt(double t);
    void appendDay();
    void push(interval next);

    randomSource random_;
    double dayStart_;  // UTC midnight of the next day to plan
    int day_ = 0;
    std::vector<interval> intervals_;
    size_t cursor_ = 0;
};

// Per-minute truth of a session: wear.csv ("utc,unix_seconds,state,activity,enmo_mg,
// samples": the activity at the minute's middle, the ENMO of the acceleration sent in
// it, before the sensor's quantisation) and removals.csv ("start_utc,end_utc,
// start_unix,end_unix").
class dayTruth {
public:
    explicit dayTruth(const std::string& directory);
    void acceleration(double unixSeconds, double x, double y, double z, daySchedule& schedule);
    void finish(daySchedule& schedule, double fromUnix, double toUnix);

private:
    void closeMinute(daySchedule& schedule);

    std::string directory_;
    simFile minutes_;
    int64_t minute_ = -1;
    double enmoSum_ = 0.0;
    int64_t samples_ = 0;
};

}  // namespace snsrsim
