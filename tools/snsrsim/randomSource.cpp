#include "snsrsim/randomSource.h"

#include <cmath>
#include <numbers>

namespace snsrsim {

namespace {

uint64_t splitmix64(uint64_t& x) {
    x += 0x9E3779B97F4A7C15ull;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

}  // namespace

randomSource::randomSource(uint64_t seed) {
    for (uint64_t& word : state_) word = splitmix64(seed);
}

uint64_t randomSource::next() {
    const uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
}

double randomSource::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

double randomSource::uniform(double low, double high) {
    return low + (high - low) * uniform();
}

int64_t randomSource::integer(int64_t low, int64_t high) {
    const uint64_t span = static_cast<uint64_t>(high - low) + 1;
    if (span == 0) return static_cast<int64_t>(next());  // the whole 64-bit range
    return low + static_cast<int64_t>(next() % span);
}

double randomSource::normal() {
    if (haveSpare_) {
        haveSpare_ = false;
        return spare_;
    }
    double u = 0.0;
    do {
        u = uniform();
    } while (u <= 0.0);
    const double v = uniform();
    const double radius = std::sqrt(-2.0 * std::log(u));
    spare_ = radius * std::sin(2.0 * std::numbers::pi * v);
    haveSpare_ = true;
    return radius * std::cos(2.0 * std::numbers::pi * v);
}

bool randomSource::chance(double probability) {
    return uniform() < probability;
}

}  // namespace snsrsim
