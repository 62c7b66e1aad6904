#include "decode/fileTimes.h"

#include <algorithm>
#include <cmath>

namespace sensconv {

void boardClockFit::add(int64_t ticks, int64_t containerMs) {
    if (n_ > 0 && ticks == lastTicks_) return;
    if (n_ == 0) firstTicks_ = ticks;
    lastTicks_ = ticks;
    ++n_;
    const double x = static_cast<double>(ticks);
    const double y = static_cast<double>(containerMs);
    const double dx = x - meanX_;
    const double dy = y - meanY_;
    meanX_ += dx / static_cast<double>(n_);
    meanY_ += dy / static_cast<double>(n_);
    sxx_ += dx * (x - meanX_);
    sxy_ += dx * (y - meanY_);
    syy_ += dy * (y - meanY_);
}

std::optional<double> boardClockFit::slope() const {
    if (n_ < 2 || !(sxx_ > 0.0)) return std::nullopt;
    return sxy_ / sxx_;
}

std::optional<double> boardClockFit::zeroMs(int32_t intmax) const {
    if (n_ == 0) return std::nullopt;
    constexpr double stampToInstant = 0.5;
    // With a single board time there is no slope of our own: the board's nominal one
    // (10,000 ms per intmax ticks) places tick 0.
    double perTick = 0.0;
    if (const auto fitted = slope()) {
        perTick = *fitted;
    } else if (intmax != 0) {
        perTick = 10000.0 / intmax;
    }
    return meanY_ - perTick * meanX_ + stampToInstant;
}

std::optional<double> boardClockFit::driftPpm(int32_t intmax) const {
    const auto fitted = slope();
    if (!fitted || intmax == 0 || !(*fitted > 0.0)) return std::nullopt;
    // Nominal: intmax ticks per 10,000 ms.
    return (10000.0 / (*fitted * intmax) - 1.0) * 1e6;
}

std::optional<double> boardClockFit::residualMs() const {
    if (n_ == 0) return std::nullopt;
    double rest = syy_;
    if (const auto fitted = slope()) rest -= *fitted * sxy_;
    return std::sqrt(std::max(rest, 0.0) / static_cast<double>(n_));
}

}  // namespace sensconv
