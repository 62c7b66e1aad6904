#pragma once
// The epoch table of a session (epochs.csv): per epoch of N seconds, aligned to UTC
// multiples of N, the ENMO and MAD of the calibrated acceleration, the share of filled
// samples, and the mean board temperature and ambient light. A push accumulator like
// wearDetector: each channel's samples are fed in time order, finish() closes the last
// epoch, and forEachRow hands the rows out. No I/O; one small record per epoch.
//
// ENMO is the mean of max(|a| - 1 g, 0), MAD the mean absolute deviation of |a| from the
// epoch's mean (van Hees et al. 2013; Vaha-Ypya et al. 2015), both in mg, over the
// epoch's real samples: filled stand-ins only count in the filled share.

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "output/wearDetector.h"

namespace sensconv {

inline constexpr int defaultEpochSeconds = 60;
inline constexpr int maxEpochSeconds = 3600;
inline constexpr char epochsHeader[] = "utc,enmo_mg,mad_mg,wear,filled_share,temperature_c,light_lx\n";

class epochTable {
public:
    // accelerometerRateHz tells how many samples an epoch should hold (0: unknown); an
    // epoch with fewer than half of them real has no data.
    explicit epochTable(int epochSeconds = defaultEpochSeconds, double accelerometerRateHz = 0.0);

    void feedAcceleration(double unixMs, const std::array<double, 3>& g, bool filled);
    // Samples that all lie in the epoch holding unixMs (epochNumber tells), at once.
    void feedAccelerationSpan(double unixMs, const std::array<std::span<const double>, 3>& g,
                              std::span<const uint8_t> filled);
    void feedTemperature(double unixMs, double celsius, bool filled);
    void feedLight(double unixMs, double lux, bool filled);
    void finish();
    // Takes the acceleration of another finished table, fed the later part of the same
    // samples alongside this one: its epochs must hold no acceleration here.
    void takeAccelerationOf(const epochTable& other);

    int epochSeconds() const { return epochSeconds_; }
    // The epoch (since 1970) that holds unixMs.
    int64_t epochNumber(double unixMs) const {
        return static_cast<int64_t>(std::floor(unixMs / static_cast<double>(epochMs_)));
    }
    size_t rows() const { return epochs_.size(); }

    // Hands take(text) each row of epochs.csv (header excluded), the wear state taken
    // from wear.
    template <typename consumer>
    void forEachRow(const wearResult& wear, consumer&& take) const {
        std::string text;
        for (size_t i = 0; i < epochs_.size(); ++i) {
            rowText(i, wear, text);
            take(text);
        }
    }

private:
    struct epoch {
        float enmoMg = 0.0f;
        float madMg = 0.0f;
        int32_t samples = 0;
        int32_t filled = 0;
        double temperatureSum = 0.0;
        int32_t temperatureSamples = 0;
        int32_t lightSamples = 0;
        double lightSum = 0.0;
    };

    epoch* epochAt(double unixMs);
    void closeOpenEpoch();
    void rowText(size_t i, const wearResult& wear, std::string& text) const;

    int64_t epochMs_;
    int epochSeconds_;
    double samplesPerEpoch_;
    int64_t first_ = 0;  // epoch number (since 1970) of epochs_[0]
    bool started_ = false;
    std::vector<epoch> epochs_;
    // The epoch whose acceleration is being gathered, with the norms of its samples.
    int64_t open_ = -1;
    std::vector<double> norms_;
};

}  // namespace sensconv
