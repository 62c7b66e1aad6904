#pragma once
// The person wearing the recorder: stretches of rest and walking, turns, stairs,
// going in and out of doors, and what the sensors feel from that (motion, heading,
// air pressure, temperature, humidity, light). Everything is a function of the time
// since the session started, drawn from the seed and generated ahead as needed.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "snsrsim/postures.h"
#include "snsrsim/randomSource.h"

namespace snsrsim {

struct wearerState {
    bool walking = false;
    bool outdoors = false;
    double headingDeg = 0.0;      // 0 to 360, clockwise from north
    double turnRateDegS = 0.0;    // positive clockwise
    double speedMS = 0.0;         // walking speed over ground
    double altitudeM = 0.0;       // above the session's start
    double pressureMbar = 1013.25;
    double temperatureC = 21.0;   // air at the sensors (they follow the air slowly)
    double humidityRH = 40.0;
    double lightLux = 300.0;      // visible light
    double infraredShare = 0.15;  // infrared relative to visible light
    double deviceTemperatureC = 30.0;
    // Acceleration of the body in G along the recorder's axes (x forward, y left,
    // z up), gravity included.
    double accelX = 0.0;
    double accelY = 0.0;
    double accelZ = 1.0;
};

// A stretch of rest: from start to end (seconds after the session start), with the
// gravity the recorder feels throughout.
struct stillPeriod {
    double start = 0.0;
    double end = 0.0;
    gravityVector gravity{};
};

class wearerModel {
public:
    // oneOrientation: the wearer stays at rest, upright, the whole session.
    explicit wearerModel(uint64_t seed, bool oneOrientation = false);

    // State at t seconds after the session start (t >= 0).
    wearerState at(double t);

    // The rests that begin before t seconds, as far as they have been drawn.
    std::vector<stillPeriod> stillPeriods(double until) const;

private:
    struct turn {
        double start;
        double duration;
        double deltaDeg;
    };
    struct segment {
        double start = 0.0;
        double end = 0.0;
        bool walking = false;
        bool outdoors = false;
        double stepFrequencyHz = 0.0;
        double stepAmplitudeG = 0.0;
        double phaseAtStart = 0.0;  // step phase (radians) at the start
        double headingAtStart = 0.0;
        std::vector<turn> turns;
        double altitudeAtStart = 0.0;
        double altitudeAtEnd = 0.0;
        double temperatureAtStart = 0.0;
        double humidityAtStart = 0.0;
        double lightLevel = 0.0;  // lux in this environment, before clouds
        gravityVector gravity{};  // at rest
    };

    const segment& segmentAt(double t);
    void appendSegment();
    double headingIn(const segment& s, double t, double& rate) const;
    double temperatureTarget(bool outdoors) const;
    double humidityTarget(bool outdoors) const;

    randomSource random_;
    randomSource postureRandom_;  // of its own, so that the day's course stays the seed's
    bool oneOrientation_;
    std::vector<segment> segments_;
    size_t cursor_ = 0;
    double outdoorTemperatureC_;
    double indoorTemperatureC_;
    double outdoorHumidity_;
    double weatherPhase_;
};

}  // namespace snsrsim
