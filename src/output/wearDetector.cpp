#include "output/wearDetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace sensconv {

namespace {

constexpr int64_t msPerMinute = 60000;
// A session's minutes are kept up to this span (a year and a month, 38 MB of records);
// samples beyond it, which only a broken clock gives, are left out.
constexpr int64_t maxMinutes = int64_t{400} * 24 * 60;

enum flag : uint8_t { flagWear = 0, flagNonwear = 1, flagNodata = 2 };

// The sum, sum of squares and extremes of one axis's values (n of them, at least one),
// in four interleaved lanes the compiler turns into vector operations. The extremes are
// those of the values as floats, as a minute keeps them.
struct axisSums {
    double sum = 0.0;
    double squares = 0.0;
    float low = 0.0F;
    float high = 0.0F;
};

axisSums sumsOf(const double* values, size_t n) {
    std::array<double, 4> sum{};
    std::array<double, 4> squares{};
    const auto first = static_cast<float>(values[0]);
    std::array<float, 4> low = {first, first, first, first};
    std::array<float, 4> high = low;
    size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        for (size_t k = 0; k < 4; ++k) {
            const double v = values[j + k];
            const auto f = static_cast<float>(v);
            sum[k] += v;
            squares[k] += v * v;
            low[k] = std::min(low[k], f);
            high[k] = std::max(high[k], f);
        }
    }
    for (; j < n; ++j) {
        const double v = values[j];
        const auto f = static_cast<float>(v);
        sum[0] += v;
        squares[0] += v * v;
        low[0] = std::min(low[0], f);
        high[0] = std::max(high[0], f);
    }
    return {(sum[0] + sum[1]) + (sum[2] + sum[3]), (squares[0] + squares[1]) + (squares[2] + squares[3]),
            std::min(std::min(low[0], low[1]), std::min(low[2], low[3])),
            std::max(std::max(high[0], high[1]), std::max(high[2], high[3]))};
}

}  // namespace

wearState wearResult::stateAt(int64_t unixMs) const {
    const auto inside = [unixMs](const std::vector<wearInterval>& list) {
        const auto after = std::upper_bound(list.begin(), list.end(), unixMs,
                                            [](int64_t t, const wearInterval& i) { return t < i.startMs; });
        return after != list.begin() && unixMs < std::prev(after)->endMs;
    };
    if (inside(nodata)) return wearState::nodata;
    if (inside(nonwear)) return wearState::nonwear;
    return wearState::wear;
}

wearDetector::wearDetector(wearParameters parameters, double accelerometerRateHz)
    : parameters_(std::move(parameters)), samplesPerMinute_(std::max(accelerometerRateHz, 0.0) * 60.0) {}

int64_t wearDetector::minuteNumber(double unixMs) {
    return static_cast<int64_t>(std::floor(unixMs / static_cast<double>(msPerMinute)));
}

wearDetector::minute* wearDetector::minuteAt(double unixMs) {
    if (!std::isfinite(unixMs)) return nullptr;
    const int64_t m = minuteNumber(unixMs);
    if (!started_) {
        started_ = true;
        firstMinute_ = m;
    }
    if (m < firstMinute_) {
        if (firstMinute_ - m + static_cast<int64_t>(minutes_.size()) > maxMinutes) return nullptr;
        minutes_.insert(minutes_.begin(), static_cast<size_t>(firstMinute_ - m), minute{});
        firstMinute_ = m;
    }
    const int64_t index = m - firstMinute_;
    if (index >= maxMinutes) return nullptr;
    if (index >= static_cast<int64_t>(minutes_.size())) minutes_.resize(static_cast<size_t>(index) + 1);
    return &minutes_[static_cast<size_t>(index)];
}

void wearDetector::feedAcceleration(double unixMs, const std::array<double, 3>& g, bool filled) {
    const uint8_t mark = filled ? 1 : 0;
    feedAccelerationSpan(unixMs, {std::span(&g[0], 1), std::span(&g[1], 1), std::span(&g[2], 1)}, std::span(&mark, 1));
}

void wearDetector::feedAccelerationSpan(double unixMs, const std::array<std::span<const double>, 3>& g,
                                        std::span<const uint8_t> filled) {
    minute* m = minuteAt(unixMs);
    if (m == nullptr) return;
    // The running sums and extremes sit in scalar locals the compiler keeps in
    // registers, so their additions and comparisons overlap; each still runs in sample
    // order, as sample by sample.
    const double* x = g[0].data();
    const double* y = g[1].data();
    const double* z = g[2].data();
    const size_t count = filled.size();
    // Without stand-ins (nearly every span), each axis is summed in one vector pass.
    if (count > 0 && std::memchr(filled.data(), 1, count) == nullptr) {
        for (size_t axis = 0; axis < 3; ++axis) {
            const axisSums s = sumsOf(g[axis].data(), count);
            m->sum[axis] += s.sum;
            m->sumSquares[axis] += s.squares;
            m->low[axis] = m->samples == 0 ? s.low : std::min(m->low[axis], s.low);
            m->high[axis] = m->samples == 0 ? s.high : std::max(m->high[axis], s.high);
        }
        m->samples += static_cast<int32_t>(count);
        return;
    }
    int32_t real = m->samples;
    int32_t standIns = m->filled;
    size_t j = 0;
    // A minute's extremes start at its first real sample.
    if (real == 0) {
        while (j < count && filled[j] != 0) ++j;
        standIns += static_cast<int32_t>(j);
        if (j < count) {
            m->low = m->high = {static_cast<float>(x[j]), static_cast<float>(y[j]), static_cast<float>(z[j])};
        }
    }
    float lowX = m->low[0], lowY = m->low[1], lowZ = m->low[2];
    float highX = m->high[0], highY = m->high[1], highZ = m->high[2];
    double sumX = m->sum[0], sumY = m->sum[1], sumZ = m->sum[2];
    double squaresX = m->sumSquares[0], squaresY = m->sumSquares[1], squaresZ = m->sumSquares[2];
    for (; j < count; ++j) {
        if (filled[j] != 0) {
            ++standIns;
            continue;
        }
        const auto vx = static_cast<float>(x[j]);
        const auto vy = static_cast<float>(y[j]);
        const auto vz = static_cast<float>(z[j]);
        lowX = std::min(lowX, vx);
        lowY = std::min(lowY, vy);
        lowZ = std::min(lowZ, vz);
        highX = std::max(highX, vx);
        highY = std::max(highY, vy);
        highZ = std::max(highZ, vz);
        ++real;
        sumX += x[j];
        sumY += y[j];
        sumZ += z[j];
        squaresX += x[j] * x[j];
        squaresY += y[j] * y[j];
        squaresZ += z[j] * z[j];
    }
    m->samples = real;
    m->filled = standIns;
    m->low = {lowX, lowY, lowZ};
    m->high = {highX, highY, highZ};
    m->sum = {sumX, sumY, sumZ};
    m->sumSquares = {squaresX, squaresY, squaresZ};
}

void wearDetector::addAccelerationOf(const wearDetector& other) {
    for (size_t i = 0; i < other.minutes_.size(); ++i) {
        const minute& from = other.minutes_[i];
        if (from.samples == 0 && from.filled == 0) continue;
        const auto startMs = static_cast<double>((other.firstMinute_ + static_cast<int64_t>(i)) * msPerMinute);
        minute* m = minuteAt(startMs);
        if (m == nullptr) continue;
        for (size_t axis = 0; axis < 3; ++axis) {
            if (from.samples == 0) break;
            m->low[axis] = m->samples == 0 ? from.low[axis] : std::min(m->low[axis], from.low[axis]);
            m->high[axis] = m->samples == 0 ? from.high[axis] : std::max(m->high[axis], from.high[axis]);
            m->sum[axis] += from.sum[axis];
            m->sumSquares[axis] += from.sumSquares[axis];
        }
        m->samples += from.samples;
        m->filled += from.filled;
    }
}

void wearDetector::feedTemperature(double unixMs, double celsius, bool filled) {
    if (filled || !std::isfinite(celsius)) return;
    minute* m = minuteAt(unixMs);
    if (m == nullptr) return;
    m->temperatureSum += celsius;
    ++m->temperatureSamples;
    anyTemperature_ = true;
}

bool wearDetector::hasData(const minute& m) const {
    const double all = std::max(static_cast<double>(m.samples + m.filled), samplesPerMinute_);
    return m.samples > 0 && static_cast<double>(m.samples) >= (1.0 - parameters_.noDataFilledShare) * all;
}

// Two still axes of three over the summed samples.
static bool stillSums(const std::array<double, 3>& sum, const std::array<double, 3>& sumSquares,
                      const std::array<float, 3>& low, const std::array<float, 3>& high, double n,
                      const wearParameters& p) {
    if (n < 2.0) return false;
    int still = 0;
    for (size_t axis = 0; axis < 3; ++axis) {
        const double mean = sum[axis] / n;
        const double variance = std::max(0.0, (sumSquares[axis] - n * mean * mean) / (n - 1.0));
        const double sdMg = std::sqrt(variance) * 1000.0;
        const double rangeMg = (static_cast<double>(high[axis]) - static_cast<double>(low[axis])) * 1000.0;
        if (sdMg < p.sdLimitMg && rangeMg < p.rangeLimitMg) ++still;
    }
    return still >= p.stillAxes;
}

bool wearDetector::stillMinute(const minute& m) const {
    return hasData(m) && stillSums(m.sum, m.sumSquares, m.low, m.high, m.samples, parameters_);
}

double wearDetector::temperatureOf(size_t i) const {
    const minute& m = minutes_[i];
    return m.temperatureSamples > 0 ? m.temperatureSum / m.temperatureSamples
                                    : std::numeric_limits<double>::quiet_NaN();
}

// Least-squares slope of the minute means from minute i over the next slopeMinutes.
double wearDetector::slopeFrom(size_t i) const {
    const auto span = static_cast<size_t>(parameters_.slopeMinutes);
    if (i + span >= minutes_.size()) return std::numeric_limits<double>::quiet_NaN();
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t k = 0; k <= span; ++k) {
        const double t = temperatureOf(i + k);
        if (std::isnan(t)) continue;
        const auto x = static_cast<double>(k);
        n += 1;
        sx += x;
        sy += t;
        sxx += x * x;
        sxy += x * t;
    }
    const double denominator = n * sxx - sx * sx;
    if (n < static_cast<double>(span) || denominator <= 0.0) return std::numeric_limits<double>::quiet_NaN();
    return (n * sxy - sx * sy) / denominator;
}

void wearDetector::accelerometerCriterion(std::vector<uint8_t>& flagged) const {
    const int64_t window = parameters_.windowMinutes;
    const int64_t step = parameters_.stepMinutes;
    const auto count = static_cast<int64_t>(minutes_.size());
    // Windows start on the UTC quarter hours.
    int64_t first = firstMinute_ - ((firstMinute_ % step) + step) % step;
    for (int64_t start = first; start < firstMinute_ + count; start += step) {
        std::array<double, 3> sum{}, sumSquares{};
        std::array<float, 3> low{}, high{};
        double n = 0;
        int64_t minutesWithData = 0;
        for (int64_t g = start; g < start + window; ++g) {
            const int64_t i = g - firstMinute_;
            if (i < 0 || i >= count) continue;
            const minute& m = minutes_[static_cast<size_t>(i)];
            if (!hasData(m)) continue;
            ++minutesWithData;
            for (size_t axis = 0; axis < 3; ++axis) {
                if (n == 0 || m.low[axis] < low[axis]) low[axis] = m.low[axis];
                if (n == 0 || m.high[axis] > high[axis]) high[axis] = m.high[axis];
                sum[axis] += m.sum[axis];
                sumSquares[axis] += m.sumSquares[axis];
            }
            n += m.samples;
        }
        // A window is judged on its real samples; one that is mostly lost is not judged.
        if (2 * minutesWithData < window || !stillSums(sum, sumSquares, low, high, n, parameters_)) continue;
        for (int64_t g = start; g < start + window; ++g) {
            const int64_t i = g - firstMinute_;
            if (i >= 0 && i < count && hasData(minutes_[static_cast<size_t>(i)])) flagged[static_cast<size_t>(i)] = flagNonwear;
        }
    }
}

void wearDetector::temperatureRefinement(std::vector<uint8_t>& flagged) const {
    const wearParameters& p = parameters_;
    const size_t count = minutes_.size();
    size_t a = 0;
    while (a < count) {
        if (!stillMinute(minutes_[a])) {
            ++a;
            continue;
        }
        size_t b = a;
        while (b < count && stillMinute(minutes_[b])) ++b;
        // The still stretch [a, b).
        std::optional<size_t> onset;
        const double startTemperature = temperatureOf(a);
        if (!std::isnan(startTemperature) && startTemperature < p.lowTemperatureC) {
            const double slope = slopeFrom(a);
            if (std::isnan(slope) || slope < p.riseRateCPerMinute) onset = a;
        }
        const size_t searchEnd = std::min(b, a + static_cast<size_t>(p.onsetSearchMinutes) + 1);
        for (size_t m = a; !onset && m < searchEnd; ++m) {
            const double slope = slopeFrom(m);
            if (std::isnan(slope) || slope > p.fallRateCPerMinute) continue;
            // The window may open before the fall: the onset is the first minute after
            // which the temperature drops.
            size_t k = m;
            const size_t last = std::min(b, m + static_cast<size_t>(p.slopeMinutes));
            while (k + 1 < last && !(temperatureOf(k + 1) - temperatureOf(k) < 0.5 * p.fallRateCPerMinute)) ++k;
            onset = k;
        }
        if (onset) {
            // The end: the device moves, or the temperature rises back while it is still.
            size_t end = b;
            bool leftSkin = false;
            for (size_t m = *onset; m < b; ++m) {
                const double t = temperatureOf(m);
                if (!std::isnan(t) && t < p.highTemperatureC) leftSkin = true;
                if (m >= *onset + static_cast<size_t>(p.slopeMinutes)) {
                    const double slope = slopeFrom(m);
                    if (!std::isnan(slope) && slope >= p.riseRateCPerMinute) {
                        // As at the onset: the end is the minute the rise begins in.
                        size_t k = m;
                        const size_t last = std::min(b, m + static_cast<size_t>(p.slopeMinutes));
                        while (k + 1 < last && !(temperatureOf(k + 1) - temperatureOf(k) >= p.riseRateCPerMinute)) ++k;
                        end = k + 1;
                        break;
                    }
                }
            }
            if (leftSkin && end >= *onset + static_cast<size_t>(p.minimumMinutes)) {
                for (size_t m = *onset; m < end; ++m) flagged[m] = flagNonwear;
            }
        }
        a = b;
    }
}

std::vector<wearInterval> wearDetector::intervalsOf(const std::vector<uint8_t>& flags, uint8_t value) const {
    std::vector<wearInterval> intervals;
    for (size_t i = 0; i < flags.size();) {
        if (flags[i] != value) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < flags.size() && flags[j] == value) ++j;
        intervals.push_back({(firstMinute_ + static_cast<int64_t>(i)) * msPerMinute,
                             (firstMinute_ + static_cast<int64_t>(j)) * msPerMinute});
        i = j;
    }
    return intervals;
}

void wearDetector::finish() {
    result_ = wearResult{};
    std::vector<uint8_t> base(minutes_.size(), flagWear);
    for (size_t i = 0; i < minutes_.size(); ++i) {
        if (!hasData(minutes_[i])) base[i] = flagNodata;
    }
    std::vector<uint8_t> accelerometer = base;
    accelerometerCriterion(accelerometer);
    result_.accelerometerOnly = intervalsOf(accelerometer, flagNonwear);
    result_.nodata = intervalsOf(base, flagNodata);

    result_.temperatureUsed = anyTemperature_;
    std::vector<uint8_t> final = anyTemperature_ ? base : accelerometer;
    if (anyTemperature_) temperatureRefinement(final);
    result_.nonwear = intervalsOf(final, flagNonwear);
    for (const uint8_t f : final) {
        if (f == flagWear) ++result_.wearMinutes;
        else if (f == flagNonwear) ++result_.nonwearMinutes;
        else ++result_.nodataMinutes;
    }
}

}  // namespace sensconv
