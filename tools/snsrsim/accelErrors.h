#pragma once
// What a real accelerometer adds to the acceleration it feels: per axis an offset, a
// gain that is off by a few per cent, and a drift with the board's temperature. The
// simulator encodes every acceleration reading through these errors, and the ground
// truth states the calibration that undoes them, in the converter's form.

#include <array>
#include <string>

#include "common/accelCalibration.h"

namespace snsrsim {

struct accelErrorSettings {
    std::array<double, 3> offsetMg{0.0, 0.0, 0.0};
    std::array<double, 3> gainErrorPercent{0.0, 0.0, 0.0};
    std::array<double, 3> temperatureCoefficientMgPerC{0.0, 0.0, 0.0};
    // The temperature at which the offsets hold.
    double referenceTemperatureC = 20.0;
};

class accelErrors {
public:
    explicit accelErrors(const accelErrorSettings& settings) : settings_(settings) {}

    // What axis (0 x, 1 y, 2 z) reports, in g, for the true acceleration g at the
    // board temperature temperatureC.
    double measured(int axis, double g, double temperatureC) const;

    // The calibration that gives the true acceleration back from the reported one.
    sensconv::accelCalibration undoing() const;

    // Writes DIR/accelCalibration.csv: the calibration that undoes the errors, per axis.
    void writeTruth(const std::string& directory) const;

private:
    accelErrorSettings settings_;
};

// Parses "X,Y,Z" (three numbers) for the command line.
bool parseTriple(const std::string& text, std::array<double, 3>& values);

}  // namespace snsrsim
