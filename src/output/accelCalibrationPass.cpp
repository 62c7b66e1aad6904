#include "output/accelCalibrationPass.h"

#include <cmath>
#include <limits>
#include <vector>

#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "output/accelReadBack.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

readBackChannel readBackOf(const std::string& folder, const writtenChannel& c) {
    const std::string directory = platform::withTrailingSeparator(folder);
    return readBackChannel{directory + outputLayout::channelDataFileName(c.name),
                           c.filled > 0 ? directory + outputLayout::channelSparseFileName(c.name) : std::string(),
                           c.rateHz, c.samples};
}

nlohmann::ordered_json triple(const std::array<double, 3>& values, double scale) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (double v : values) array.push_back(std::isfinite(v) ? nlohmann::ordered_json(v * scale) : nullptr);
    return array;
}

nlohmann::ordered_json numberOrNull(double value) {
    return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::optional<accelCalibrationOutcome> calibrateAccelerometer(const std::string& sessionFolder,
                                                              const calibrationChannels& channels,
                                                              const accelCalibrationSettings& settings) {
    if (!channels.x || !channels.y || !channels.z) return std::nullopt;
    const std::array<const writtenChannel*, 3> axes = {&*channels.x, &*channels.y, &*channels.z};
    int64_t samples = axes[0]->samples;
    for (const writtenChannel* axis : axes) samples = std::min(samples, axis->samples);
    if (samples <= 0) return std::nullopt;

    accelCalibrationFit fit(axes[0]->rateHz, settings);
    const writtenChannel* temperature =
        channels.temperature && channels.temperature->samples > 0 ? &*channels.temperature : nullptr;
    accelReadBack reader;
    reader.open({readBackOf(sessionFolder, *axes[0]), readBackOf(sessionFolder, *axes[1]),
                 readBackOf(sessionFolder, *axes[2])},
                temperature != nullptr ? std::optional(readBackOf(sessionFolder, *temperature)) : std::nullopt);

    accelCalibrationOutcome outcome;
    outcome.settings = settings;
    accelBlock block;
    while (reader.next(block)) {
        fit.feed(accelColumns{block.axes[0], block.axes[1], block.axes[2], block.filled, block.temperature});
    }
    if (reader.failure().empty()) {
        fit.finish();
        outcome.report = fit.result();
        return outcome;
    }
    outcome.report.reason = "the acceleration could not be read back: " + reader.failure();
    outcome.report.errorBeforeG = outcome.report.errorAfterG = std::numeric_limits<double>::quiet_NaN();
    return outcome;
}

nlohmann::ordered_json accelCalibrationJson(const std::optional<accelCalibrationOutcome>& outcome) {
    using json = nlohmann::ordered_json;
    if (!outcome) return nullptr;
    const accelCalibrationReport& r = outcome->report;
    const accelCalibrationSettings& s = outcome->settings;
    json j;
    j["accepted"] = r.accepted;
    j["reason"] = r.accepted ? json(nullptr) : json(r.reason);
    j["offsetMg"] = triple(r.applied.offsetG, 1000.0);
    j["gain"] = triple(r.applied.gain, 1.0);
    j["temperatureCoefficientMgPerC"] = triple(r.applied.temperatureCoefficientGPerC, 1000.0);
    j["referenceTemperatureC"] = r.applied.referenceTemperatureC;
    j["errorBeforeMg"] = numberOrNull(r.errorBeforeG * 1000.0);
    j["errorAfterMg"] = r.fitted ? numberOrNull(r.errorAfterG * 1000.0) : json(nullptr);
    j["samples"] = r.samples;
    j["windows"] = r.windows;
    j["stillWindows"] = r.stillWindows;
    j["windowsUsed"] = r.windowsUsed;
    j["coverageG"] = {{"min", triple(r.coverageMinG, 1.0)}, {"max", triple(r.coverageMaxG, 1.0)}};
    j["temperatureRangeC"] = std::isfinite(r.temperatureMinC)
                                 ? json::array({r.temperatureMinC, r.temperatureMaxC})
                                 : json(nullptr);
    j["temperatureTerm"] = r.temperatureTerm;
    if (r.fitted) {
        j["fit"] = {{"offsetMg", triple(r.fit.offsetG, 1000.0)},
                    {"gain", triple(r.fit.gain, 1.0)},
                    {"temperatureCoefficientMgPerC", triple(r.fit.temperatureCoefficientGPerC, 1000.0)},
                    {"referenceTemperatureC", r.fit.referenceTemperatureC},
                    {"iterations", r.iterations},
                    {"converged", r.converged}};
        j["uncertainty"] = {{"offsetMg", triple(r.offsetUncertaintyG, 1000.0)},
                            {"gain", triple(r.gainUncertainty, 1.0)},
                            {"temperatureCoefficientMgPerC",
                             r.temperatureTerm ? triple(r.temperatureCoefficientUncertaintyGPerC, 1000.0) : json(nullptr)}};
    } else {
        j["fit"] = nullptr;
        j["uncertainty"] = nullptr;
    }
    j["parameters"] = {{"method", "van Hees et al. 2014"},
                       {"windowSeconds", s.windowSeconds},
                       {"stillSdLimitMg", s.stillSdLimitG * 1000.0},
                       {"coverageG", s.coverageG},
                       {"maxErrorAfterMg", s.maxErrorAfterG * 1000.0},
                       {"minStillWindows", s.minStillWindows},
                       {"maxIterations", s.maxIterations},
                       {"tolerance", s.tolerance},
                       {"maxWeight", s.maxWeight},
                       {"minTemperatureRangeC", s.minTemperatureRangeC}};
    return j;
}

}  // namespace sensconv
