#include "output/epochTable.h"

#include <algorithm>
#include <cmath>

#include "common/textFormat.h"
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

}  // namespace

epochTable::epochTable(int epochSeconds, double accelerometerRateHz)
    : epochMs_(int64_t{1000} * std::clamp(epochSeconds, 1, maxEpochSeconds)),
      epochSeconds_(std::clamp(epochSeconds, 1, maxEpochSeconds)),
      samplesPerEpoch_(std::max(accelerometerRateHz, 0.0) * std::clamp(epochSeconds, 1, maxEpochSeconds)) {}

epochTable::epoch* epochTable::epochAt(double unixMs) {
    if (!std::isfinite(unixMs)) return nullptr;
    const auto n = static_cast<int64_t>(std::floor(unixMs / static_cast<double>(epochMs_)));
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
        double sum = 0.0;
        double enmo = 0.0;
        for (const double r : norms_) {
            sum += r;
            enmo += std::max(r - 1.0, 0.0);
        }
        const auto n = static_cast<double>(norms_.size());
        const double mean = sum / n;
        double deviation = 0.0;
        for (const double r : norms_) deviation += std::fabs(r - mean);
        e.enmoMg = static_cast<float>(enmo / n * 1000.0);
        e.madMg = static_cast<float>(deviation / n * 1000.0);
    }
    norms_.clear();
    open_ = -1;
}

void epochTable::feedAcceleration(double unixMs, const std::array<double, 3>& g, bool filled) {
    epoch* e = epochAt(unixMs);
    if (e == nullptr) return;
    const int64_t index = e - epochs_.data();
    if (index != open_) {
        closeOpenEpoch();
        open_ = index;
        e = &epochs_[static_cast<size_t>(index)];
    }
    if (filled) {
        ++e->filled;
        return;
    }
    ++e->samples;
    norms_.push_back(std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]));
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

void epochTable::rowText(size_t i, const wearResult& wear, std::string& text) const {
    const epoch& e = epochs_[i];
    const int64_t startMs = (first_ + static_cast<int64_t>(i)) * epochMs_;
    const int32_t all = e.samples + e.filled;
    const bool data = e.samples > 0 && 2.0 * e.samples >= std::max(static_cast<double>(all), samplesPerEpoch_);
    const wearState state = data ? wear.stateAt(startMs + epochMs_ / 2) : wearState::nodata;
    text = utcText(startMs);
    text += e.samples > 0 ? formatText(",%.3f,%.3f,", static_cast<double>(e.enmoMg), static_cast<double>(e.madMg))
                          : std::string(",,,");
    text += stateName(state);
    text += formatText(",%.4f,", all > 0 ? static_cast<double>(e.filled) / all : 1.0);
    if (e.temperatureSamples > 0) text += formatText("%.3f", e.temperatureSum / e.temperatureSamples);
    text += ',';
    if (e.lightSamples > 0) text += formatText("%.2f", e.lightSum / e.lightSamples);
    text += '\n';
}

}  // namespace sensconv
