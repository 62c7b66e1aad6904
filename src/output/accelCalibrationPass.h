#pragma once
// The calibration pass: once a session's files are written, its three acceleration
// axes and the main board's temperature are read back from the session folder, a block
// at a time, and fed to the accelerometer's auto-calibration. What it finds goes into
// session.json as "accelerometerCalibration". It prints nothing and never fails the
// run: a fit that cannot be made or is not good enough leaves the nominal conversion
// and says why.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/accelCalibrationFit.h"

namespace sensconv {

// A channel of the session as written: file stem ("accel"), rate and counts.
struct writtenChannel {
    std::string name;
    double rateHz = 0.0;
    int64_t samples = 0;
    int64_t filled = 0;
};

// The channels the pass reads; x, y and z must be present for a calibration.
struct calibrationChannels {
    std::optional<writtenChannel> x;
    std::optional<writtenChannel> y;
    std::optional<writtenChannel> z;
    std::optional<writtenChannel> temperature;  // qor2/temp; none: no temperature term
};

struct accelCalibrationOutcome {
    accelCalibrationSettings settings;
    accelCalibrationReport report;
};

// Nothing when the session has no acceleration samples. A file that cannot be read back
// gives a report that is not accepted, with the reason.
std::optional<accelCalibrationOutcome> calibrateAccelerometer(const std::string& sessionFolder,
                                                              const calibrationChannels& channels,
                                                              const accelCalibrationSettings& settings = {});

// The "accelerometerCalibration" object of session.json; null for nothing.
nlohmann::ordered_json accelCalibrationJson(const std::optional<accelCalibrationOutcome>& outcome);

}  // namespace sensconv
