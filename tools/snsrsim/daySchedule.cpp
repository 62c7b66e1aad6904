#include "snsrsim/daySchedule.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/utcText.h"
#include "platform/platform.h"

namespace snsrsim {

namespace {

constexpr double secondsPerDay = 86400.0;
constexpr double twoPi = 2.0 * std::numbers::pi;
// The removals of the first days, in minutes: short ones (a shower) and long ones (left
// on the desk for the afternoon), 10 min to 8 h.
constexpr std::array<double, 14> removalMinutes = {10, 480, 15, 240, 20, 120, 30, 360, 12, 90, 45, 180, 25, 60};
constexpr double awakeC = 32.0;
constexpr double walkC = 32.4;
constexpr double runC = 33.0;
constexpr double sleepC = 33.5;
constexpr double wornLagS = 600.0;
constexpr double postureShiftS = 60.0;

std::array<double, 3> unit(double x, double y, double z) {
    const double n = std::sqrt(x * x + y * y + z * z);
    return {x / n, y / n, z / n};
}

double temperatureAt(double targetC, double startC, double elapsed, double lagS) {
    return targetC + (startC - targetC) * std::exp(-std::max(elapsed, 0.0) / lagS);
}

}  // namespace

const char* activityName(dayActivity activity) {
    switch (activity) {
        case dayActivity::awake: return "awake";
        case dayActivity::walk: return "walk";
        case dayActivity::run: return "run";
        case dayActivity::sleep: return "sleep";
        case dayActivity::removed: return "removed";
    }
    return "awake";
}

daySchedule::daySchedule(uint64_t seed, double startUnixSeconds) : random_(seed), dayStart_(startUnixSeconds) {}

void daySchedule::push(interval next) {
    if (!intervals_.empty()) {
        const interval& last = intervals_.back();
        next.startC = temperatureAt(last.targetC, last.startC, last.end - last.start, last.lagS);
    } else {
        next.startC = next.targetC;
    }
    intervals_.push_back(next);
}

void daySchedule::appendDay() {
    // From a wake time (or the recording's start) to the next wake time.
    const double from = dayStart_;
    const double midnight = std::floor(from / secondsPerDay) * secondsPerDay;
    double bed = midnight + 22.0 * 3600.0 + random_.uniform(-1800.0, 1800.0);
    if (bed < from + 2.0 * 3600.0) bed += secondsPerDay;
    const double wake = std::floor(bed / secondsPerDay) * secondsPerDay + secondsPerDay + 6.0 * 3600.0 +
                        random_.uniform(-1800.0, 1800.0);

    // The day's events, in a random order, with random pauses of at least 15 min.
    std::vector<interval> events;
    for (int r = 0; r < 2; ++r) {
        const size_t k = static_cast<size_t>(2 * day_ + r);
        const double minutes = k < removalMinutes.size() ? removalMinutes[k] : random_.uniform(10.0, 480.0);
        interval off;
        off.activity = dayActivity::removed;
        off.end = minutes * 60.0 * random_.uniform(1.0, 1.1);
        static constexpr std::array<std::array<double, 3>, 5> tables = {
            {{0, 0, 1}, {0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {0, -0.5, 0.866}}};
        const auto& g = tables[static_cast<size_t>(random_.integer(0, 4))];
        off.gravity = unit(g[0], g[1], g[2]);
        off.targetC = random_.uniform(19.5, 23.0);
        off.lagS = random_.uniform(600.0, 1200.0);
        off.lux = random_.uniform(150.0, 500.0);
        events.push_back(off);
    }
    for (int w = 0; w < 3; ++w) {
        interval walk;
        walk.activity = dayActivity::walk;
        walk.end = random_.uniform(10.0, 30.0) * 60.0;
        walk.stepHz = random_.uniform(1.7, 2.0);
        walk.amplitudeG = random_.uniform(0.25, 0.35);
        walk.targetC = walkC;
        events.push_back(walk);
    }
    interval run;
    run.activity = dayActivity::run;
    run.end = random_.uniform(8.0, 20.0) * 60.0;
    run.stepHz = random_.uniform(2.6, 3.0);
    // Within the accelerometer's range of +-2 g, noise included.
    run.amplitudeG = random_.uniform(0.75, 0.9);
    run.targetC = runC;
    events.push_back(run);
    for (size_t i = events.size(); i > 1; --i) std::swap(events[i - 1], events[static_cast<size_t>(random_.integer(0, static_cast<int64_t>(i) - 1))]);

    constexpr double minimumGapS = 15.0 * 60.0;
    const auto needed = [&] {
        double total = minimumGapS;
        for (const interval& e : events) total += e.end + minimumGapS;
        return total;
    };
    // A short first day keeps what fits, dropping the longest events first.
    while (!events.empty() && needed() > bed - from) {
        events.erase(std::max_element(events.begin(), events.end(),
                                      [](const interval& a, const interval& b) { return a.end < b.end; }));
    }
    std::vector<double> weights(events.size() + 1);
    double weightSum = 0.0;
    for (double& w : weights) weightSum += (w = random_.uniform(0.2, 1.0));
    const double spare = bed - from - needed();

    double t = from;
    bool afterRemoval = false;
    for (size_t i = 0; i <= events.size(); ++i) {
        interval awake;
        awake.activity = dayActivity::awake;
        awake.start = t;
        awake.end = i == events.size() ? bed : t + minimumGapS + spare * weights[i] / weightSum;
        awake.targetC = awakeC;
        awake.lagS = afterRemoval ? random_.uniform(360.0, 600.0) : wornLagS;
        push(awake);
        t = awake.end;
        if (i == events.size()) break;
        interval e = events[i];
        const double length = e.end;
        e.start = t;
        e.end = t + length;
        if (e.activity != dayActivity::removed) e.lagS = wornLagS;
        afterRemoval = e.activity == dayActivity::removed;
        push(e);
        t = e.end;
    }

    // The night: still postures, each followed by a short shift.
    static constexpr std::array<std::array<double, 3>, 5> postures = {
        {{0, 1, 0.1}, {0, -1, 0.1}, {0.1, 0, 1}, {0.1, 0, -1}, {0.7, 0.7, 0}}};
    t = bed;
    while (t < wake) {
        interval still;
        still.activity = dayActivity::sleep;
        still.start = t;
        still.end = std::min(wake, t + random_.uniform(20.0, 120.0) * 60.0);
        const auto& p = postures[static_cast<size_t>(random_.integer(0, 4))];
        still.gravity = unit(p[0] + random_.uniform(-0.1, 0.1), p[1] + random_.uniform(-0.1, 0.1), p[2]);
        still.targetC = sleepC;
        still.lagS = wornLagS;
        still.lux = 0.5;
        push(still);
        t = still.end;
        if (t >= wake) break;
        interval shift = still;
        shift.start = t;
        shift.end = std::min(wake, t + postureShiftS);
        shift.amplitudeG = 0.3;
        shift.stepHz = 0.7;
        push(shift);
        t = shift.end;
    }
    dayStart_ = wake;
    ++day_;
}

const daySchedule::interval& daySchedule::intervalAt(double t) {
    while (intervals_.empty() || intervals_.back().end <= t) appendDay();
    if (cursor_ >= intervals_.size()) cursor_ = intervals_.size() - 1;
    while (cursor_ > 0 && intervals_[cursor_].start > t) --cursor_;
    while (intervals_[cursor_].end <= t) ++cursor_;
    return intervals_[cursor_];
}

dayActivity daySchedule::activityAt(double unixSeconds) {
    return intervalAt(unixSeconds).activity;
}

void daySchedule::apply(double unixSeconds, wearerState& state) {
    const interval& s = intervalAt(unixSeconds);
    const double since = unixSeconds - s.start;
    const double celsius = temperatureAt(s.targetC, s.startC, since, s.lagS);
    state.temperatureC = celsius;
    state.deviceTemperatureC = celsius;
    switch (s.activity) {
        case dayActivity::awake:
            return;
        case dayActivity::removed:
        case dayActivity::sleep: {
            state.walking = false;
            state.speedMS = 0.0;
            state.lightLux = s.lux;
            state.infraredShare = 0.12;
            const double move = s.amplitudeG * std::sin(twoPi * s.stepHz * since);
            state.accelX = s.gravity[0] + move;
            state.accelY = s.gravity[1] + 0.7 * move;
            state.accelZ = s.gravity[2] - 0.5 * move;
            return;
        }
        case dayActivity::walk:
        case dayActivity::run: {
            const double phase = twoPi * s.stepHz * since;
            state.walking = true;
            state.speedMS = (s.activity == dayActivity::run ? 1.1 : 0.75) * s.stepHz;
            state.accelZ = 1.0 + s.amplitudeG * std::sin(phase);
            state.accelX = 0.5 * s.amplitudeG * std::sin(phase + 0.5 * std::numbers::pi);
            state.accelY = 0.3 * s.amplitudeG * std::sin(0.5 * phase);
            return;
        }
    }
}

std::vector<removalSpan> daySchedule::removalsBetween(double from, double to) {
    intervalAt(to);
    std::vector<removalSpan> spans;
    for (const interval& s : intervals_) {
        if (s.activity != dayActivity::removed || s.end <= from || s.start >= to) continue;
        spans.push_back({std::max(s.start, from), std::min(s.end, to)});
    }
    return spans;
}

dayTruth::dayTruth(const std::string& directory) : directory_(sensconv::platform::withTrailingSeparator(directory)) {
    simFile::makeDirectory(directory_);
    minutes_.open(directory_ + "wear.csv");
    minutes_.print("utc,unix_seconds,state,activity,enmo_mg,samples\n");
}

void dayTruth::acceleration(double unixSeconds, double x, double y, double z, daySchedule& schedule) {
    const auto minute = static_cast<int64_t>(std::floor(unixSeconds / 60.0));
    if (minute != minute_) {
        closeMinute(schedule);
        minute_ = minute;
    }
    enmoSum_ += std::max(std::sqrt(x * x + y * y + z * z) - 1.0, 0.0);
    ++samples_;
}

void dayTruth::closeMinute(daySchedule& schedule) {
    if (samples_ > 0) {
        const double start = static_cast<double>(minute_) * 60.0;
        const dayActivity activity = schedule.activityAt(start + 30.0);
        minutes_.print("%s,%.0f,%s,%s,%.4f,%lld\n", sensconv::utcText(minute_ * 60000).c_str(), start,
                       activity == dayActivity::removed ? "nonwear" : "wear", activityName(activity),
                       enmoSum_ / static_cast<double>(samples_) * 1000.0, static_cast<long long>(samples_));
    }
    enmoSum_ = 0.0;
    samples_ = 0;
}

void dayTruth::finish(daySchedule& schedule, double fromUnix, double toUnix) {
    closeMinute(schedule);
    minutes_.close();
    simFile removals(directory_ + "removals.csv");
    removals.print("start_utc,end_utc,start_unix,end_unix\n");
    for (const removalSpan& r : schedule.removalsBetween(fromUnix, toUnix)) {
        removals.print("%s,%s,%.3f,%.3f\n", sensconv::utcText(static_cast<int64_t>(std::llround(r.startUnix * 1000))).c_str(),
                       sensconv::utcText(static_cast<int64_t>(std::llround(r.endUnix * 1000))).c_str(), r.startUnix,
                       r.endUnix);
    }
    removals.close();
}

}  // namespace snsrsim
