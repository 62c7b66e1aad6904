#include "output/epochTable.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

#include "common/utcText.h"

namespace sensconv {

namespace {

// Epochs are kept up to the same span as the wear detector's minutes.
constexpr int64_t maxSpanMs = int64_t{400} * 24 * 3600 * 1000;

const char* stateName(wearState state) {
    switch (state) {
        case wearState::wear: return "wear";
        case wearState::nonwear: return "nonwear";
        case wearState::nodata: return "nodata";
    }
    return "nodata";
}

// The sum of term(v) over values, in four interleaved partial sums: their additions
// overlap instead of each waiting for the one before (and the rounding error grows more
// slowly than along one running sum).
template <typename function>
double sumOf(const std::vector<double>& values, function term) {
    std::array<double, 4> lanes{};
    size_t j = 0;
    for (; j + 4 <= values.size(); j += 4) {
        for (size_t k = 0; k < 4; ++k) lanes[k] += term(values[j + k]);
    }
    for (; j < values.size(); ++j) lanes[0] += term(values[j]);
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// sumOf for the values themselves and for max(v - 1, 0), in one pass over them: each
// sum is added up exactly as sumOf adds it.
std::pair<double, double> sumAndExcessOf(const std::vector<double>& values) {
    // max(|a| - 1, 0), written so that it compiles to one instruction rather than a
    // branch that |a| near 1 g would mispredict half the time.
    const auto excess = [](double r) { return 0.0 > r - 1.0 ? 0.0 : r - 1.0; };
    std::array<double, 4> sums{};
    std::array<double, 4> excesses{};
    size_t j = 0;
    for (; j + 4 <= values.size(); j += 4) {
        for (size_t k = 0; k < 4; ++k) {
            sums[k] += values[j + k];
            excesses[k] += excess(values[j + k]);
        }
    }
    for (; j < values.size(); ++j) {
        sums[0] += values[j];
        excesses[0] += excess(values[j]);
    }
    return {(sums[0] + sums[1]) + (sums[2] + sums[3]), (excesses[0] + excesses[1]) + (excesses[2] + excesses[3])};
}

}  // namespace

epochTable::epochTable(int epochSeconds, double accelerometerRateHz)
    : epochMs_(int64_t{1000} * std::clamp(epochSeconds, 1, maxEpochSeconds)),
      epochSeconds_(std::clamp(epochSeconds, 1, maxEpochSeconds)),
      samplesPerEpoch_(std::max(accelerometerRateHz, 0.0) * std::clamp(epochSeconds, 1, maxEpochSeconds)) {}

epochTable::epoch* epochTable::epochAt(double unixMs) {
    if (!std::isfinite(unixMs)) return nullptr;
    const int64_t n = epochNumber(unixMs);
    if (!started_) {
        started_ = true;
        first_ = n;
    }
    const int64_t limit = maxSpanMs / epochMs_;
    if (n < first_) {
        if (first_ - n + static_cast<int64_t>(epochs_.size()) > limit) return nullptr;
        epochs_.insert(epochs_.begin(), static_cast<size_t>(first_ - n), epoch{});
        if (open_ >= 0) open_ += first_ - n;
        first_ = n;
    }
    const int64_t index = n - first_;
    if (index >= limit) return nullptr;
    if (index >= static_cast<int64_t>(epochs_.size())) epochs_.resize(static_cast<size_t>(index) + 1);
    return &epochs_[static_cast<size_t>(index)];
}

void epochTable::closeOpenEpoch() {
    if (open_ < 0) return;
    epoch& e = epochs_[static_cast<size_t>(open_)];
    if (!norms_.empty()) {
        const auto n = static_cast<double>(norms_.size());
        const auto [sum, enmo] = sumAndExcessOf(norms_);
        const double mean = sum / n;
        const double deviation = sumOf(norms_, [mean](double r) { return std::fabs(r - mean); });
        e.enmoMg = static_cast<float>(enmo / n * 1000.0);
        e.madMg = static_cast<float>(deviation / n * 1000.0);
    }
    norms_.clear();
    open_ = -1;
}

void epochTable::feedAcceleration(double unixMs, const std::array<double, 3>& g, bool filled) {
    const uint8_t mark = filled ? 1 : 0;
    feedAccelerationSpan(unixMs, {std::span(&g[0], 1), std::span(&g[1], 1), std::span(&g[2], 1)}, std::span(&mark, 1));
}

void epochTable::feedAccelerationSpan(double unixMs, const std::array<std::span<const double>, 3>& g,
                                      std::span<const uint8_t> filled) {
    epoch* e = epochAt(unixMs);
    if (e == nullptr) return;
    const int64_t index = e - epochs_.data();
    if (index != open_) {
        closeOpenEpoch();
        open_ = index;
        e = &epochs_[static_cast<size_t>(index)];
    }
    // The norms first, in a loop the compiler can vectorise; closeOpenEpoch sums them.
    const double* x = g[0].data();
    const double* y = g[1].data();
    const double* z = g[2].data();
    const size_t held = norms_.size();
    norms_.resize(held + filled.size());
    double* norms = norms_.data() + held;
    for (size_t j = 0; j < filled.size(); ++j) norms[j] = std::sqrt(x[j] * x[j] + y[j] * y[j] + z[j] * z[j]);
    // Stand-ins only count as filled: their norms go.
    size_t kept = 0;
    for (size_t j = 0; j < filled.size(); ++j) {
        norms[kept] = norms[j];
        kept += filled[j] == 0 ? 1 : 0;
    }
    norms_.resize(held + kept);
    e->samples += static_cast<int32_t>(kept);
    e->filled += static_cast<int32_t>(filled.size() - kept);
}

void epochTable::feedTemperature(double unixMs, double celsius, bool filled) {
    if (filled || !std::isfinite(celsius)) return;
    epoch* e = epochAt(unixMs);
    if (e == nullptr) return;
    e->temperatureSum += celsius;
    ++e->temperatureSamples;
}

void epochTable::feedLight(double unixMs, double lux, bool filled) {
    if (filled || !std::isfinite(lux)) return;
    epoch* e = epochAt(unixMs);
    if (e == nullptr) return;
    e->lightSum += lux;
    ++e->lightSamples;
}

void epochTable::finish() {
    closeOpenEpoch();
}

void epochTable::takeAccelerationOf(const epochTable& other) {
    for (size_t i = 0; i < other.epochs_.size(); ++i) {
        const epoch& from = other.epochs_[i];
        if (from.samples == 0 && from.filled == 0) continue;
        epoch* e = epochAt(static_cast<double>((other.first_ + static_cast<int64_t>(i)) * epochMs_));
        if (e == nullptr) continue;
        e->samples = from.samples;
        e->filled = from.filled;
        e->enmoMg = from.enmoMg;
        e->madMg = from.madMg;
    }
}

void epochTable::rowText(size_t i, const wearResult& wear, std::string& text) const {
    const epoch& e = epochs_[i];
    const int64_t startMs = (first_ + static_cast<int64_t>(i)) * epochMs_;
    const int32_t all = e.samples + e.filled;
    const bool data = e.samples > 0 && 2.0 * e.samples >= std::max(static_cast<double>(all), samplesPerEpoch_);
    const wearState state = data ? wear.stateAt(startMs + epochMs_ / 2) : wearState::nodata;
    // Numbers as printf's "%.Nf" writes them (to_chars with a precision is specified so),
    // without its cost for each of a week's 10,080 rows.
    const auto fixed = [&text](double value, int digits) {
        std::array<char, 64> digitsText{};
        const auto [end, error] =
            std::to_chars(digitsText.data(), digitsText.data() + digitsText.size(), value, std::chars_format::fixed, digits);
        text.append(digitsText.data(), error == std::errc() ? end : digitsText.data());
    };
    text = utcText(startMs);
    text += ',';
    if (e.samples > 0) {
        fixed(static_cast<double>(e.enmoMg), 3);
        text += ',';
        fixed(static_cast<double>(e.madMg), 3);
    } else {
        text += ',';
    }
    text += ',';
    text += stateName(state);
    text += ',';
    fixed(all > 0 ? static_cast<double>(e.filled) / all : 1.0, 4);
    text += ',';
    if (e.temperatureSamples > 0) fixed(e.temperatureSum / e.temperatureSamples, 3);
    text += ',';
    if (e.lightSamples > 0) fixed(e.lightSum / e.lightSamples, 2);
    text += '\n';
}

}  // namespace sensconv
