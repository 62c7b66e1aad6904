#include "snsrsim/wearerModel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace snsrsim {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;
// The sensors follow the air around them with these time constants (seconds).
constexpr double temperatureLagS = 150.0;
constexpr double humidityLagS = 60.0;
// Air pressure falls by about 0.12 mbar per metre of height near the ground.
constexpr double mbarPerMetre = 0.12;

double smoothStep(double x) {
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3.0 - 2.0 * x);
}

double smoothStepSlope(double x) {
    if (x <= 0.0 || x >= 1.0) return 0.0;
    return 6.0 * x * (1.0 - x);
}

double wrapDegrees(double deg) {
    deg = std::fmod(deg, 360.0);
    return deg < 0.0 ? deg + 360.0 : deg;
}

double approach(double target, double start, double elapsed, double lag) {
    return target + (start - target) * std::exp(-elapsed / lag);
}

}  // namespace

wearerModel::wearerModel(uint64_t seed, bool oneOrientation)
    : random_(seed), postureRandom_(seed ^ 0x9e3779b97f4a7c15ULL), oneOrientation_(oneOrientation) {
    outdoorTemperatureC_ = random_.uniform(4.0, 26.0);
    indoorTemperatureC_ = random_.uniform(20.0, 23.5);
    outdoorHumidity_ = random_.uniform(50.0, 85.0);
    weatherPhase_ = random_.uniform(0.0, twoPi);

    segment first;
    first.start = 0.0;
    first.end = random_.uniform(15.0, 60.0);
    first.walking = false;
    first.outdoors = false;
    first.headingAtStart = random_.uniform(0.0, 360.0);
    first.temperatureAtStart = indoorTemperatureC_;
    first.humidityAtStart = humidityTarget(false);
    first.lightLevel = random_.uniform(180.0, 600.0);
    first.gravity = uprightGravity();
    segments_.push_back(first);
}

double wearerModel::temperatureTarget(bool outdoors) const {
    return outdoors ? outdoorTemperatureC_ : indoorTemperatureC_;
}

double wearerModel::humidityTarget(bool outdoors) const {
    return outdoors ? outdoorHumidity_ : 38.0;
}

void wearerModel::appendSegment() {
    const segment& last = segments_.back();
    segment next;
    next.start = last.end;
    next.walking = !last.walking && !oneOrientation_;
    next.end = next.start + (next.walking ? random_.uniform(20.0, 200.0) : random_.uniform(20.0, 150.0));

    // Where the last stretch left things.
    double rate = 0.0;
    next.headingAtStart = headingIn(last, last.end, rate);
    next.altitudeAtStart = last.altitudeAtEnd;
    const double lastLength = last.end - last.start;
    next.temperatureAtStart =
        approach(temperatureTarget(last.outdoors), last.temperatureAtStart, lastLength, temperatureLagS);
    next.humidityAtStart = approach(humidityTarget(last.outdoors), last.humidityAtStart, lastLength, humidityLagS);
    next.phaseAtStart = std::fmod(last.phaseAtStart + twoPi * last.stepFrequencyHz * lastLength, twoPi);

    // Doors are passed when walking starts.
    next.outdoors = last.outdoors;
    if (next.walking && random_.chance(0.4)) next.outdoors = !last.outdoors;
    next.lightLevel = next.outdoors == last.outdoors && !next.walking
                          ? last.lightLevel
                          : (next.outdoors ? random_.uniform(2500.0, 15000.0) : random_.uniform(180.0, 600.0));

    next.altitudeAtEnd = next.altitudeAtStart;
    if (!next.walking) next.gravity = oneOrientation_ ? uprightGravity() : restGravity(postureRandom_);
    if (next.walking) {
        next.stepFrequencyHz = random_.uniform(1.6, 2.1);
        next.stepAmplitudeG = random_.uniform(0.18, 0.35);
        // Indoors, some walks take the stairs.
        if (!next.outdoors && random_.chance(0.3)) {
            const double flights = static_cast<double>(random_.integer(1, 3));
            const double up = next.altitudeAtStart < 3.0 || random_.chance(0.5) ? 1.0 : -1.0;
            next.altitudeAtEnd = std::max(0.0, next.altitudeAtStart + up * flights * 3.2);
        }
        double t = next.start + random_.uniform(3.0, 15.0);
        while (t < next.end - 5.0) {
            const double delta = random_.uniform(30.0, 180.0) * (random_.chance(0.5) ? 1.0 : -1.0);
            next.turns.push_back(turn{t, random_.uniform(1.5, 4.0), delta});
            t += random_.uniform(8.0, 40.0);
        }
    } else if (random_.chance(0.5)) {
        // Shifting in a chair or turning to a desk.
        const double t = next.start + random_.uniform(0.0, next.end - next.start - 3.0);
        next.turns.push_back(turn{t, 2.0, random_.uniform(-45.0, 45.0)});
    }
    segments_.push_back(std::move(next));
}

const wearerModel::segment& wearerModel::segmentAt(double t) {
    while (segments_.back().end <= t) appendSegment();
    // Queries move forward in time, with small steps back; start from the last one.
    if (cursor_ >= segments_.size()) cursor_ = segments_.size() - 1;
    while (cursor_ > 0 && segments_[cursor_].start > t) --cursor_;
    while (segments_[cursor_].end <= t) ++cursor_;
    return segments_[cursor_];
}

double wearerModel::headingIn(const segment& s, double t, double& rate) const {
    double heading = s.headingAtStart;
    rate = 0.0;
    for (const turn& tr : s.turns) {
        if (t <= tr.start) break;
        const double x = (t - tr.start) / tr.duration;
        heading += tr.deltaDeg * smoothStep(x);
        rate += tr.deltaDeg * smoothStepSlope(x) / tr.duration;
    }
    return wrapDegrees(heading);
}

wearerState wearerModel::at(double t) {
    t = std::max(t, 0.0);
    const segment& s = segmentAt(t);
    const double inSegment = t - s.start;
    const double length = s.end - s.start;

    wearerState state;
    state.walking = s.walking;
    state.outdoors = s.outdoors;
    state.headingDeg = headingIn(s, t, state.turnRateDegS);
    state.altitudeM = s.altitudeAtStart + (s.altitudeAtEnd - s.altitudeAtStart) * smoothStep(inSegment / length);

    // Weather: a slow swing over hours, plus the height above the start.
    const double weather = 1013.25 + 3.0 * std::sin(twoPi * t / 36000.0 + weatherPhase_);
    state.pressureMbar = weather - mbarPerMetre * state.altitudeM;

    state.temperatureC = approach(temperatureTarget(s.outdoors), s.temperatureAtStart, inSegment, temperatureLagS);
    state.humidityRH = approach(humidityTarget(s.outdoors), s.humidityAtStart, inSegment, humidityLagS);
    state.deviceTemperatureC = 29.0 + 0.3 * (state.temperatureC - 20.0) + (s.walking ? 0.8 : 0.0);

    // Clouds pass outside; indoor light is steady.
    state.lightLux = s.outdoors ? s.lightLevel * (1.0 + 0.25 * std::sin(twoPi * t / 47.0)) : s.lightLevel;
    state.infraredShare = s.outdoors ? 0.55 : 0.12;

    if (s.walking) {
        const double phase = s.phaseAtStart + twoPi * s.stepFrequencyHz * inSegment;
        state.speedMS = 0.75 * s.stepFrequencyHz;
        // Each step lifts and drops the body and rocks it from side to side every
        // second step.
        state.accelZ = 1.0 + s.stepAmplitudeG * std::sin(phase);
        state.accelX = 0.5 * s.stepAmplitudeG * std::sin(phase + 0.5 * std::numbers::pi);
        state.accelY = 0.3 * s.stepAmplitudeG * std::sin(0.5 * phase);
    } else {
        state.accelX = s.gravity[0];
        state.accelY = s.gravity[1];
        state.accelZ = s.gravity[2];
    }
    return state;
}

std::vector<stillPeriod> wearerModel::stillPeriods(double until) const {
    std::vector<stillPeriod> periods;
    for (const segment& s : segments_) {
        if (s.start >= until) break;
        if (!s.walking) periods.push_back({s.start, s.end, s.gravity});
    }
    return periods;
}

}  // namespace snsrsim
