#include "snsrsim/audioSynth.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace snsrsim {

namespace {
constexpr double twoPi = 2.0 * std::numbers::pi;
}

audioSynth::audioSynth(uint64_t seed, int32_t rateHz) : random_(seed), rateHz_(rateHz) {
    current_.end = -1.0;
}

void audioSynth::startStretch(double t) {
    start_ = t;
    const double nyquist = rateHz_ / 2.0;
    const double roll = random_.uniform();
    stretch s;
    if (roll < 0.35) {
        s.kind = sound::silence;
        s.end = t + random_.uniform(0.5, 4.0);
    } else if (roll < 0.6) {
        s.kind = sound::tone;
        s.end = t + random_.uniform(0.4, 2.5);
        s.frequencyHz = std::min(random_.uniform(200.0, 1800.0), 0.4 * nyquist);
        s.amplitude = random_.uniform(2000.0, 14000.0);
    } else if (roll < 0.75) {
        s.kind = sound::chord;
        s.end = t + random_.uniform(0.8, 3.0);
        s.frequencyHz = std::min(random_.uniform(180.0, 600.0), 0.25 * nyquist);
        s.secondHz = s.frequencyHz * 1.5;  // a fifth above
        s.amplitude = random_.uniform(2000.0, 9000.0);
    } else if (roll < 0.9) {
        s.kind = sound::beeps;
        s.end = t + random_.uniform(1.0, 3.0);
        s.frequencyHz = std::min(random_.uniform(800.0, 2500.0), 0.45 * nyquist);
        s.amplitude = random_.uniform(4000.0, 16000.0);
    } else {
        s.kind = sound::burst;
        s.end = t + random_.uniform(0.3, 1.5);
        s.amplitude = random_.uniform(1500.0, 8000.0);
    }
    current_ = s;
}

int32_t audioSynth::next(double t) {
    if (t >= current_.end) startStretch(t);
    const double since = t - start_;
    const double left = current_.end - t;
    // Soft edges so that nothing clicks.
    const double edge = std::clamp(std::min(since, left) / 0.02, 0.0, 1.0);
    double value = (random_.uniform() - 0.5) * 40.0;  // the room's hiss
    switch (current_.kind) {
        case sound::silence:
            break;
        case sound::tone:
            value += edge * current_.amplitude * std::sin(twoPi * current_.frequencyHz * since);
            break;
        case sound::chord:
            value += edge * current_.amplitude *
                     (std::sin(twoPi * current_.frequencyHz * since) +
                      0.6 * std::sin(twoPi * current_.secondHz * since));
            break;
        case sound::beeps:
            // Four beeps a second.
            if (std::fmod(since, 0.25) < 0.12)
                value += edge * current_.amplitude * std::sin(twoPi * current_.frequencyHz * since);
            break;
        case sound::burst: {
            // Noise that swells and fades like a voice, darker than the hiss.
            lowPass_ = 0.7 * lowPass_ + 0.3 * random_.normal();
            const double envelope = 0.5 - 0.5 * std::cos(twoPi * 4.0 * since);
            value += edge * current_.amplitude * envelope * lowPass_;
            break;
        }
    }
    return static_cast<int32_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

}  // namespace snsrsim
