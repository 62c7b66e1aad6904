#pragma once
// What the microphone hears: stretches of near silence, tones and chords, beeps and
// noisy bursts, each lasting a second or a few. Samples are produced in time order
// at the microphone's rate.

#include <cstdint>
#include <vector>

#include "snsrsim/randomSource.h"

namespace snsrsim {

class audioSynth {
public:
    audioSynth(uint64_t seed, int32_t rateHz);

    // The next sample, -32768 to 32767. t is its time in seconds since the session
    // start; it must not go back.
    int32_t next(double t);

private:
    enum class sound { silence, tone, chord, beeps, burst };
    struct stretch {
        double end = 0.0;
        sound kind = sound::silence;
        double frequencyHz = 0.0;
        double secondHz = 0.0;
        double amplitude = 0.0;
    };
    void startStretch(double t);

    randomSource random_;
    double rateHz_;
    stretch current_;
    double start_ = 0.0;
    double lowPass_ = 0.0;
};

}  // namespace snsrsim
