#include "output/accelCalibrationPass.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

constexpr size_t blockSamples = 8192;

struct fileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using fileHandle = std::unique_ptr<std::FILE, fileCloser>;

// The values of a .bin file (little-endian 32-bit floats), a block at a time.
class binReader {
public:
    bool open(const std::string& path) {
        path_ = path;
        file_.reset(platform::openForReading(path));
        if (!file_) failure_ = formatText("%s cannot be opened (%s)", path.c_str(), std::strerror(errno));
        bytes_.resize(blockSamples * 4);
        return static_cast<bool>(file_);
    }
    // Sample by sample, in order; false at the end or when the file ends early.
    bool next(float& value) {
        if (at_ == held_ && !refill()) return false;
        value = std::bit_cast<float>(readLE32(bytes_.data() + at_ * 4));
        ++at_;
        return true;
    }
    const std::string& failure() const { return failure_; }

private:
    bool refill() {
        if (!file_) return false;
        const size_t got = std::fread(bytes_.data(), 1, bytes_.size(), file_.get());
        held_ = got / 4;
        at_ = 0;
        if (held_ == 0) {
            failure_ = std::ferror(file_.get()) ? formatText("%s cannot be read (%s)", path_.c_str(), std::strerror(errno))
                                                : formatText("%s holds fewer samples than written", path_.c_str());
        }
        return held_ > 0;
    }

    std::string path_;
    fileHandle file_;
    std::vector<uint8_t> bytes_;
    size_t held_ = 0;
    size_t at_ = 0;
    std::string failure_;
};

// The positions of a .sparse file ("position,1" lines, ascending), one at a time.
class sparseReader {
public:
    bool open(const std::string& path) {
        file_.reset(platform::openForReading(path));
        if (!file_) failure_ = formatText("%s cannot be opened (%s)", path.c_str(), std::strerror(errno));
        block_.resize(1 << 14);
        return static_cast<bool>(file_);
    }
    // The next filled position; the largest integer after the last.
    int64_t next() {
        int64_t position = 0;
        bool digits = false;
        for (;;) {
            if (at_ == held_) {
                held_ = file_ ? std::fread(block_.data(), 1, block_.size(), file_.get()) : 0;
                at_ = 0;
                if (held_ == 0) return digits ? position : std::numeric_limits<int64_t>::max();
            }
            const char c = block_[at_++];
            if (c >= '0' && c <= '9' && !skipping_) {
                position = position * 10 + (c - '0');
                digits = true;
            } else if (c == '\n') {
                skipping_ = false;
                if (digits) return position;
            } else {
                skipping_ = true;  // the ",1" after the position
            }
        }
    }
    const std::string& failure() const { return failure_; }

private:
    fileHandle file_;
    std::vector<char> block_;
    size_t held_ = 0;
    size_t at_ = 0;
    bool skipping_ = false;
    std::string failure_;
};

std::string binPath(const std::string& folder, const writtenChannel& c) {
    return platform::withTrailingSeparator(folder) + "binaryData_" + c.name + ".bin";
}

std::string sparsePath(const std::string& folder, const writtenChannel& c) {
    return platform::withTrailingSeparator(folder) + "binaryData_" + c.name + ".sparse";
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

    const double rate = axes[0]->rateHz;
    accelCalibrationFit fit(rate, settings);
    std::array<binReader, 3> values;
    std::array<sparseReader, 3> filled;
    std::array<int64_t, 3> nextFilled{};
    std::string failure;
    for (size_t k = 0; k < 3; ++k) {
        if (!values[k].open(binPath(sessionFolder, *axes[k])) && failure.empty()) failure = values[k].failure();
        nextFilled[k] = std::numeric_limits<int64_t>::max();
        if (axes[k]->filled > 0) {
            if (!filled[k].open(sparsePath(sessionFolder, *axes[k])) && failure.empty()) failure = filled[k].failure();
            nextFilled[k] = filled[k].next();
        }
    }
    const writtenChannel* temperature =
        channels.temperature && channels.temperature->samples > 0 ? &*channels.temperature : nullptr;
    binReader temperatures;
    if (temperature != nullptr && !temperatures.open(binPath(sessionFolder, *temperature)) && failure.empty()) {
        failure = temperatures.failure();
    }

    accelCalibrationOutcome outcome;
    outcome.settings = settings;
    if (failure.empty()) {
        std::vector<accelSample> block;
        block.reserve(blockSamples);
        int64_t temperatureIndex = -1;  // of the temperature value held
        float temperatureValue = std::numeric_limits<float>::quiet_NaN();
        for (int64_t i = 0; i < samples && failure.empty(); ++i) {
            accelSample s;
            std::array<float*, 3> targets = {&s.x, &s.y, &s.z};
            for (size_t k = 0; k < 3; ++k) {
                if (!values[k].next(*targets[k])) {
                    failure = values[k].failure();
                    break;
                }
                while (nextFilled[k] < i) nextFilled[k] = filled[k].next();
                s.filled = s.filled || nextFilled[k] == i;
            }
            if (!failure.empty()) break;
            if (temperature != nullptr) {
                const int64_t wanted = temperatureIndexFor(i, rate, temperature->rateHz, temperature->samples);
                while (temperatureIndex < wanted && failure.empty()) {
                    if (temperatures.next(temperatureValue)) {
                        ++temperatureIndex;
                    } else {
                        failure = temperatures.failure();
                    }
                }
                s.temperatureC = temperatureIndex == wanted ? temperatureValue : std::numeric_limits<double>::quiet_NaN();
            } else {
                s.temperatureC = std::numeric_limits<double>::quiet_NaN();
            }
            block.push_back(s);
            if (block.size() == blockSamples) {
                fit.feed(block);
                block.clear();
            }
        }
        if (failure.empty()) {
            fit.feed(block);
            fit.finish();
            outcome.report = fit.result();
            return outcome;
        }
    }
    outcome.report.reason = "the acceleration could not be read back: " + failure;
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
