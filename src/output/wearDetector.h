#pragma once
// When the recorder was worn: non-wear and no-data intervals of one session, from the
// calibrated acceleration and the main board's temperature. A push detector in the
// shape of sirfDecoder: samples are fed in time order (feedAcceleration for the three
// axes together, feedTemperature for the board temperature), finish() decides, and
// result() holds the intervals. No I/O; one small record per minute is kept.
//
// Two criteria:
// - The accelerometer criterion (van Hees et al. 2013, PLoS ONE 8:e61691, "Separating
//   movement and gravity components in an acceleration signal and implications for the
//   assessment of human daily physical activity"): windows of 60 min stepped by 15 min;
//   an axis is still when its SD is below 13 mg and its range below 150 mg; a window
//   with two still axes of three is non-wear.
// - The temperature refinement after DETACH (Vert et al. 2022, BMC Med Res Methodol
//   22:147, "Detecting accelerometer non-wear periods using change in acceleration
//   combined with rate-of-change in temperature"): a still stretch is non-wear from
//   where the temperature starts a sustained fall (rate of change over 5 min at or below
//   -0.2 C/min; removal falls at -0.40 +- 0.17 C/min in the paper's data) and the
//   temperature then leaves skin level (below the 30 C upper cut-off), or from its
//   start when the device already lies at room temperature (below the 26 C lower
//   cut-off); it ends where the device moves again or the temperature rises back
//   (+0.1 C/min over 5 min, donning rises at 0.36 +- 0.21 C/min). Stillness is judged per
//   minute with the thresholds above, so removals from 5 min on are found to the
//   minute, and a still night at skin temperature stays wear.
//
// Filled samples (the converter's stand-ins for lost ones) never count as still: a
// minute that is mostly filled, or has no samples, is "no data", neither wear nor
// non-wear.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sensconv {

struct wearParameters {
    // The accelerometer criterion.
    int windowMinutes = 60;
    int stepMinutes = 15;
    double sdLimitMg = 13.0;
    double rangeLimitMg = 150.0;
    int stillAxes = 2;
    // The temperature refinement.
    int slopeMinutes = 5;
    double fallRateCPerMinute = -0.2;
    double riseRateCPerMinute = 0.1;
    double lowTemperatureC = 26.0;
    double highTemperatureC = 30.0;
    int onsetSearchMinutes = 10;  // how far into a still stretch the fall may begin
    int minimumMinutes = 5;       // shortest non-wear
    // A minute with more than this share of its samples filled, or lost without a trace
    // (fewer real samples than the rate asks for), has no data.
    double noDataFilledShare = 0.5;
};

struct wearInterval {
    int64_t startMs = 0;  // UTC, milliseconds since 1970, whole minutes
    int64_t endMs = 0;    // exclusive
    bool operator==(const wearInterval&) const = default;
};

enum class wearState : uint8_t { wear, nonwear, nodata };

struct wearResult {
    bool temperatureUsed = false;
    std::vector<wearInterval> nonwear;             // the method's answer
    std::vector<wearInterval> nodata;
    std::vector<wearInterval> accelerometerOnly;   // the accelerometer criterion alone
    int64_t wearMinutes = 0;
    int64_t nonwearMinutes = 0;
    int64_t nodataMinutes = 0;

    // The state of the minute that holds unixMs (wear outside the session's minutes).
    wearState stateAt(int64_t unixMs) const;
};

class wearDetector {
public:
    // accelerometerRateHz tells how many samples a minute should hold (0: unknown).
    explicit wearDetector(wearParameters parameters = {}, double accelerometerRateHz = 0.0);

    // One acceleration sample (g, calibrated) at its UTC time; filled marks a stand-in.
    void feedAcceleration(double unixMs, const std::array<double, 3>& g, bool filled);
    // Samples that all lie in the minute holding unixMs (minuteNumber tells), at once:
    // the three axes in g, filled marks the stand-ins.
    void feedAccelerationSpan(double unixMs, const std::array<std::span<const double>, 3>& g,
                              std::span<const uint8_t> filled);
    // The minute (since 1970) that holds unixMs.
    static int64_t minuteNumber(double unixMs);
    // One board temperature sample (Celsius).
    void feedTemperature(double unixMs, double celsius, bool filled);
    // Adds the acceleration another detector was fed (the later part of the same
    // samples, gathered alongside), as if it had been fed here.
    void addAccelerationOf(const wearDetector& other);

    void finish();
    const wearResult& result() const { return result_; }
    const wearParameters& parameters() const { return parameters_; }

private:
    struct minute {
        int32_t samples = 0;  // real samples
        int32_t filled = 0;
        std::array<double, 3> sum{};
        std::array<double, 3> sumSquares{};
        std::array<float, 3> low{};
        std::array<float, 3> high{};
        double temperatureSum = 0.0;
        int32_t temperatureSamples = 0;
    };

    minute* minuteAt(double unixMs);
    bool hasData(const minute& m) const;
    bool stillMinute(const minute& m) const;
    double temperatureOf(size_t i) const;
    double slopeFrom(size_t i) const;  // C per minute over slopeMinutes from minute i; NaN without data
    void accelerometerCriterion(std::vector<uint8_t>& flagged) const;
    void temperatureRefinement(std::vector<uint8_t>& flagged) const;
    std::vector<wearInterval> intervalsOf(const std::vector<uint8_t>& flags, uint8_t value) const;

    wearParameters parameters_;
    double samplesPerMinute_;
    int64_t firstMinute_ = 0;  // minutes since 1970 of minutes_[0]
    bool started_ = false;
    bool anyTemperature_ = false;
    std::vector<minute> minutes_;
    wearResult result_;
};

}  // namespace sensconv
