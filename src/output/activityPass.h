#pragma once
// The wear and activity pass of a session, run once its channel files are complete:
// it streams the accelerometer's three .bin files (with their .sparse lists), the main
// board's temperature and the ambient light in blocks, converts the acceleration with
// the session's calibration, feeds wearDetector and epochTable, writes epochs.csv into
// the session folder and gives session.json's "wear" object. Memory stays a few blocks
// plus one small record per minute and per epoch, whatever the recording's length.
// The acceleration of a session longer than a few blocks is gathered in two halves at
// once, the later one on the session's thread, cut where a minute and an epoch begin:
// the result is the same as from one pass over all samples.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/accelCalibration.h"
#include "common/handOff.h"
#include "common/runStatus.h"
#include "output/epochTable.h"
#include "output/wearDetector.h"

namespace sensconv {

class sessionSummary;

struct activitySettings {
    int epochSeconds = defaultEpochSeconds;
    wearParameters wear;
};

// One channel of the session as the pass reads it.
struct activityChannel {
    std::string binPath;
    std::string sparsePath;  // empty when no sample was filled
    double rateHz = 0.0;
    int64_t samples = 0;
    // (index, UTC seconds) of each run of evenly spaced samples, in index order.
    std::vector<std::pair<int64_t, double>> anchors;
};

struct activityInputs {
    std::array<std::optional<activityChannel>, 3> axes;  // qor2/x_accel, y_accel, z_accel
    std::optional<activityChannel> temperature;          // qor2/temp, Celsius
    std::optional<activityChannel> light;                // qor2/amb_light, lux
};

// The channels of a converted session, from its summary, in folder.
activityInputs activityInputsOf(const sessionSummary& summary, const std::string& folder);

struct activityOutcome {
    // session.json's "wear": null for a session without accelerometer samples or when
    // the pass could not read its input.
    nlohmann::ordered_json wear;
    std::string failure;  // what could not be read; empty when the pass ran
};

// Runs the pass with the session's accelerometer calibration (the nominal one until a
// fit is accepted) and writes folder/epochs.csv; a file that cannot be written counts
// as lost output in run. With a thread beside (the session pipeline's), the later half
// of the acceleration is gathered there while the calling thread gathers the earlier
// one; the result is the same.
activityOutcome wearPass(const accelCalibration& calibration, const activityInputs& inputs,
                         const activitySettings& settings, const std::string& folder, runStatus& run,
                         handOff* beside = nullptr);

}  // namespace sensconv
