#pragma once
// The accelerometer's calibration model: per axis an offset, a gain and a temperature
// coefficient, fitted to the session's still moments (van Hees et al. 2014,
// J Appl Physiol 117:738-744, "Autocalibration of accelerometer data for free-living
// physical activity assessment using local gravity and temperature").
//
//   a = offset + gain * (v - nominalZeroG) + temperatureCoefficient * (T - referenceTemperature)
//
// v is the axis value of the channel's .bin file (0 to about 4, zero acceleration near 2),
// a the acceleration in g, T the main board's temperature (qor2/temp, degrees Celsius) at
// the sample's time. The nominal conversion (offset 0, gain 1, no temperature term) is
// v - 2.0: what a session gets whose fit was not accepted.

#include <array>
#include <cstddef>
#include <cstdint>

namespace sensconv {

inline constexpr double nominalZeroG = 2.0;

struct accelCalibration {
    std::array<double, 3> offsetG{0.0, 0.0, 0.0};
    std::array<double, 3> gain{1.0, 1.0, 1.0};
    std::array<double, 3> temperatureCoefficientGPerC{0.0, 0.0, 0.0};
    double referenceTemperatureC = 0.0;

    // Acceleration in g of axis (0 x, 1 y, 2 z) for the .bin value v at temperature T.
    double apply(int axis, double v, double temperatureC) const {
        const auto i = static_cast<size_t>(axis);
        return offsetG[i] + gain[i] * (v - nominalZeroG) +
               temperatureCoefficientGPerC[i] * (temperatureC - referenceTemperatureC);
    }
};

// The temperature sample that goes with acceleration sample `accelIndex`: the one at the
// same place in the session's run of samples, by the two channels' rates, clamped to the
// last temperature sample. Temperature changes over minutes, so the board's few ppm of
// drift and the per-file anchors do not matter here; every reader of the calibrated
// values (the reader, the exports, the wear pass) pairs the samples by this one rule.
inline int64_t temperatureIndexFor(int64_t accelIndex, double accelRateHz, double temperatureRateHz,
                                   int64_t temperatureSamples) {
    if (temperatureSamples <= 0 || accelRateHz <= 0.0 || temperatureRateHz <= 0.0) return -1;
    const double at = static_cast<double>(accelIndex) * temperatureRateHz / accelRateHz;
    const auto index = static_cast<int64_t>(at);
    return index < temperatureSamples ? index : temperatureSamples - 1;
}

}  // namespace sensconv
