#pragma once
// A small, fully specified pseudo-random generator (xoshiro256**, seeded through
// splitmix64) with the few distributions the simulator needs. The standard
// library's distributions may differ between library versions; these do not, so the
// same seed always gives the same recording.

#include <cstdint>

namespace snsrsim {

class randomSource {
public:
    explicit randomSource(uint64_t seed);

    uint64_t next();
    // Uniform in [0, 1).
    double uniform();
    double uniform(double low, double high);
    // Uniform integer in [low, high].
    int64_t integer(int64_t low, int64_t high);
    // Standard normal (mean 0, deviation 1).
    double normal();
    bool chance(double probability);

private:
    uint64_t state_[4];
    bool haveSpare_ = false;
    double spare_ = 0.0;
};

}  // namespace snsrsim
