#include "decode/fileTimes.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace sensconv {

template <bool upper>
void boardClockFit::extend(std::vector<point>& hull, point p) {
    // Monotone chain: the points come in order of board time.
    while (hull.size() >= 2) {
        const point& a = hull[hull.size() - 2];
        const point& b = hull.back();
        const double cross = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
        if (upper ? cross < 0 : cross > 0) break;
        hull.pop_back();
    }
    hull.push_back(p);
}

boardClockFit::~boardClockFit() {
    handed_.settle(thread_);
}

void boardClockFit::add(int64_t ticks, int64_t containerMs) {
    if (n_ > 0 && ticks <= lastTicks_) return;
    if (n_ == 0) {
        firstTicks_ = ticks;
        firstMs_ = containerMs;
    }
    lastTicks_ = ticks;
    ++n_;
    if (thread_ == nullptr) {
        fit(ticks, containerMs);
        return;
    }
    if (pending_.capacity() < pairsPerBlock) pending_.reserve(pairsPerBlock);
    pending_.push_back({ticks, containerMs});
    if (pending_.size() < pairsPerBlock) return;
    handed_.handOver(thread_, *this, pending_, {});
    pending_.clear();
}

void boardClockFit::writeHandedBlock(uint32_t slot) {
    for (const pair& p : handed_.at(slot).items) fit(p.ticks, p.containerMs);
}

void boardClockFit::retireHandedBlock(uint32_t) {
    handed_.retire();
}

void boardClockFit::settle() {
    handed_.settle(thread_);
    for (const pair& p : pending_) fit(p.ticks, p.containerMs);
    pending_.clear();
}

void boardClockFit::fit(int64_t ticks, int64_t containerMs) {
    if (fit_.pairs == 0) {
        // Once per board and file, never per packet.
        fit_.upper.reserve(maxHull);
        fit_.lower.reserve(maxHull);
    }
    ++fit_.pairs;
    if (fit_.hullsWhole) {
        const point p{static_cast<double>(ticks - firstTicks_), static_cast<double>(containerMs - firstMs_)};
        extend<true>(fit_.upper, p);
        extend<false>(fit_.lower, p);
        if (fit_.upper.size() >= maxHull || fit_.lower.size() >= maxHull) {
            fit_.hullsWhole = false;
            fit_.upper.clear();
            fit_.lower.clear();
        }
    }
    const double x = static_cast<double>(ticks);
    const double y = static_cast<double>(containerMs);
    const double dx = x - fit_.meanX;
    const double dy = y - fit_.meanY;
    fit_.meanX += dx / static_cast<double>(fit_.pairs);
    fit_.meanY += dy / static_cast<double>(fit_.pairs);
    fit_.sxx += dx * (x - fit_.meanX);
    fit_.sxy += dx * (y - fit_.meanY);
    fit_.syy += dy * (y - fit_.meanY);
}

std::optional<double> boardClockFit::slope() const {
    assert(settled());
    if (n_ < 2 || !(fit_.sxx > 0.0)) return std::nullopt;
    return fit_.sxy / fit_.sxx;
}

std::optional<boardClockFit::fitLine> boardClockFit::line(int32_t intmax) const {
    assert(settled());
    if (n_ == 0) return std::nullopt;
    // Without a slope of our own the board's nominal one (10,000 ms per intmax ticks).
    const double nominal = intmax != 0 ? 10000.0 / intmax : 0.0;
    const double firstX = static_cast<double>(firstTicks_);

    if (fit_.hullsWhole) {
        // Stamps that only cut fractions off put every point less than a millisecond
        // below the true line: the slopes at which the points fit into a strip one
        // millisecond wide are the slopes the stamps allow. Their middle is taken (the
        // narrowest strip alone can tilt far where ticks keep step with milliseconds).
        const auto strip = [&](double m) {
            double top = -1e300;
            double bottom = 1e300;
            for (const point& p : fit_.upper) top = std::max(top, p.y - m * p.x);
            for (const point& p : fit_.lower) bottom = std::min(bottom, p.y - m * p.x);
            return std::pair{top, bottom};
        };
        const auto width = [&](double m) {
            const auto [top, bottom] = strip(m);
            return top - bottom;
        };
        // The width is convex in the slope and smallest at the slope of a hull edge.
        double narrowest = nominal;
        double narrowestWidth = width(nominal);
        for (const std::vector<point>* hull : {&fit_.upper, &fit_.lower}) {
            for (size_t k = 1; k < hull->size(); ++k) {
                const double m = ((*hull)[k].y - (*hull)[k - 1].y) / ((*hull)[k].x - (*hull)[k - 1].x);
                if (const double w = width(m); w < narrowestWidth) {
                    narrowestWidth = w;
                    narrowest = m;
                }
            }
        }
        // A stamp taken a microsecond late must not count as a contradiction.
        constexpr double tolerance = 0.02;
        if (narrowestWidth <= 1.0 + tolerance) {
            const double limit = std::max(1.0, narrowestWidth);
            const double span = std::max(fit_.upper.back().x, 1.0);
            // Walks from the narrowest slope to where the strip gets wider than limit.
            const auto edge = [&](double direction) {
                double inside = narrowest;
                double step = direction / span;
                double outside = inside + step;
                for (int k = 0; k < 64 && width(outside) <= limit; ++k) {
                    inside = outside;
                    step *= 2.0;
                    outside = inside + step;
                }
                for (int k = 0; k < 60; ++k) {
                    const double middle = (inside + outside) / 2.0;
                    (width(middle) <= limit ? inside : outside) = middle;
                }
                return inside;
            };
            const double lowest = edge(-1.0);
            const double highest = edge(1.0);
            const double perTick = (lowest + highest) / 2.0;
            const auto [top, bottom] = strip(perTick);
            const double offset = (top + bottom + 1.0) / 2.0;
            return fitLine{perTick, static_cast<double>(firstMs_) + offset - perTick * firstX,
                           std::max(0.0, 1.0 - (top - bottom)), std::pair{lowest, highest}};
        }
    }
    constexpr double stampToInstant = 0.5;
    const double perTick = slope().value_or(nominal);
    return fitLine{perTick, fit_.meanY - perTick * fit_.meanX + stampToInstant, std::nullopt, std::nullopt};
}

std::optional<double> boardClockFit::zeroMs(int32_t intmax) const {
    const auto fitted = line(intmax);
    if (!fitted) return std::nullopt;
    return fitted->zeroMs;
}

std::optional<double> boardClockFit::intervalMs(int32_t intmax) const {
    const auto fitted = line(intmax);
    if (!fitted) return std::nullopt;
    return fitted->intervalMs;
}

namespace {

// Nominal: intmax ticks per 10,000 ms.
std::optional<double> driftOf(double perTick, int32_t intmax) {
    if (intmax == 0 || !(perTick > 0.0)) return std::nullopt;
    return (10000.0 / (perTick * intmax) - 1.0) * 1e6;
}

}  // namespace

std::optional<double> boardClockFit::driftPpm(int32_t intmax) const {
    const auto fitted = line(intmax);
    if (!fitted || n_ < 2) return std::nullopt;
    return driftOf(fitted->perTick, intmax);
}

std::optional<std::pair<double, double>> boardClockFit::driftRangePpm(int32_t intmax) const {
    const auto fitted = line(intmax);
    if (!fitted || n_ < 2 || !fitted->slopes) return std::nullopt;
    // A steeper line (more milliseconds per tick) is a slower board.
    const auto low = driftOf(fitted->slopes->second, intmax);
    const auto high = driftOf(fitted->slopes->first, intmax);
    if (!low || !high) return std::nullopt;
    return std::pair{*low, *high};
}

std::optional<double> boardClockFit::residualMs() const {
    assert(settled());
    if (n_ == 0) return std::nullopt;
    double rest = fit_.syy;
    if (const auto fitted = slope()) rest -= *fitted * fit_.sxy;
    return std::sqrt(std::max(rest, 0.0) / static_cast<double>(n_));
}

}  // namespace sensconv
