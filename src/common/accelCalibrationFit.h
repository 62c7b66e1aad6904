#pragma once
// Auto-calibration of the accelerometer from the recording itself (van Hees et al. 2014,
// J Appl Physiol 117:738-744): while the wearer is still, the accelerometer measures
// gravity alone, so the mean vector of every still moment should lie on the sphere of
// radius 1 g. The fit finds, per axis, the offset, gain and temperature coefficient
// (accelCalibration.h) that put the still moments' mean vectors closest to that sphere.
//
// A push parser like the GPS decoder: the session's samples are fed in order, in
// blocks of any size, then finish() fits and result() tells. No I/O; memory is fixed
// when the object is made (the still windows of a session are thinned evenly once
// their store is full, so a month costs what a fortnight does).
//
// The method and its thresholds are the published ones:
// - non-overlapping 10 s windows; a window is still when the standard deviation of
//   every axis is below 13 mg (here also: no sample in it was filled in for a lost one);
// - iteratively reweighted least squares: the still windows' mean vectors, calibrated
//   with the current parameters, are projected onto the unit sphere; per axis a
//   weighted linear regression of the projections on the axis value and the
//   temperature gives the next parameters; weights are 1 / distance from the sphere,
//   at most 100 (1 / 10 mg); until the weighted mean square distance changes by less
//   than 1e-10, at most 1000 times;
// - the fit is accepted only when the still windows reach below -0.3 g and above
//   +0.3 g on every axis, and the mean distance from the sphere after the fit is below
//   10 mg and below the distance before.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/accelCalibration.h"

namespace sensconv {

// Consecutive acceleration samples as the session's files hold them, column by column:
// the three axes' .bin values, whether any axis's value was filled in for a lost sample,
// and the main board's temperature paired with each (temperatureIndexFor; empty when
// the session has none). All columns are equally long.
struct accelColumns {
    std::span<const float> x;
    std::span<const float> y;
    std::span<const float> z;
    std::span<const uint8_t> filled;
    std::span<const float> temperatureC;
};

struct accelCalibrationSettings {
    double windowSeconds = 10.0;
    double stillSdLimitG = 0.013;
    double coverageG = 0.3;          // every axis below -coverageG and above +coverageG
    double maxErrorAfterG = 0.010;
    int64_t minStillWindows = 30;    // five minutes of stillness: many more than the 9 parameters
    int maxIterations = 1000;
    double tolerance = 1e-10;
    double maxWeight = 100.0;        // 1 / 10 mg
    // Below this spread of the still windows' temperatures a per-degree coefficient
    // would be fitted to noise: the fit then has no temperature term.
    double minTemperatureRangeC = 1.0;
    size_t windowCapacity = size_t{1} << 16;  // 65536 still windows: over a week of stillness
};

struct accelCalibrationReport {
    bool accepted = false;
    std::string reason;         // why not accepted; empty when accepted
    accelCalibration applied;   // what the session's acceleration gets: fitted, or nominal
    bool fitted = false;        // a fit was computed (accepted or not)
    accelCalibration fit;       // its parameters, when fitted
    bool temperatureTerm = false;
    // Standard errors of the fitted parameters, from the residuals of the last weighted
    // regression (g, gain, g per degree Celsius).
    std::array<double, 3> offsetUncertaintyG{};
    std::array<double, 3> gainUncertainty{};
    std::array<double, 3> temperatureCoefficientUncertaintyGPerC{};
    int iterations = 0;
    bool converged = false;
    // Mean distance of the still windows' mean vectors from 1 g: nominal conversion
    // (before) and calibrated (after, when fitted); NaN without still windows.
    double errorBeforeG = 0.0;
    double errorAfterG = 0.0;
    int64_t samples = 0;
    int64_t windows = 0;        // complete windows
    int64_t stillWindows = 0;
    int64_t windowsUsed = 0;    // still windows the fit used (all, unless thinned)
    // Lowest and highest window mean per axis, nominal conversion (g); NaN without any.
    std::array<double, 3> coverageMinG{};
    std::array<double, 3> coverageMaxG{};
    double temperatureMinC = 0.0;  // of the still windows used; NaN without temperature
    double temperatureMaxC = 0.0;
};

class accelCalibrationFit {
public:
    explicit accelCalibrationFit(double accelRateHz, const accelCalibrationSettings& settings = {});

    void feed(const accelColumns& samples);
    // The last, incomplete window is left out; the fit runs.
    void finish();

    const accelCalibrationReport& result() const { return report_; }
    const accelCalibrationSettings& settings() const { return settings_; }

private:
    struct window {
        std::array<double, 3> u;  // mean of v - nominalZeroG per axis
        double temperatureC;
    };

    void closeWindow();
    void keep(const window& w);
    void fit();

    accelCalibrationSettings settings_;
    int64_t windowSamples_;
    // The open window: sums of v - nominalZeroG and of its squares.
    int64_t count_ = 0;
    std::array<double, 3> sum_{};
    std::array<double, 3> sumSquares_{};
    double temperatureSum_ = 0.0;
    bool temperatureMissing_ = false;
    bool filled_ = false;

    std::vector<window> still_;
    int64_t stride_ = 1;      // every stride-th still window is kept
    int64_t sinceKept_ = 0;
    bool anyTemperatureMissing_ = false;
    accelCalibrationReport report_;
};

}  // namespace sensconv
