#include "output/activityPass.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "common/utcText.h"
#include "decode/channelTable.h"
#include "output/outputFile.h"
#include "output/sessionSummary.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

using orderedJson = nlohmann::ordered_json;

constexpr size_t samplesPerBlock = 16384;

struct fileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using fileHandle = std::unique_ptr<std::FILE, fileCloser>;

// A channel's .bin values, read forward in blocks.
class binReader {
public:
    bool open(const std::string& path, std::string& failure) {
        file_.reset(std::fopen(path.c_str(), "rb"));
        if (!file_) failure = formatText("%s: %s", path.c_str(), std::strerror(errno));
        return file_ != nullptr;
    }
    // The value at index (never below an index asked for before); false past the end.
    bool at(int64_t index, double& value) {
        while (index >= blockStart_ + static_cast<int64_t>(count_)) {
            if (!nextBlock()) return false;
        }
        if (index < blockStart_) return false;
        value = static_cast<double>(std::bit_cast<float>(readLE32(&bytes_[static_cast<size_t>(index - blockStart_) * 4])));
        return true;
    }
    bool failed() const { return file_ && std::ferror(file_.get()) != 0; }

private:
    bool nextBlock() {
        blockStart_ += static_cast<int64_t>(count_);
        bytes_.resize(samplesPerBlock * 4);
        count_ = std::fread(bytes_.data(), 4, samplesPerBlock, file_.get());
        return count_ > 0;
    }
    fileHandle file_;
    std::vector<uint8_t> bytes_;
    int64_t blockStart_ = 0;
    size_t count_ = 0;
};

// The filled positions of a channel's .sparse list ("position,1" lines), asked in
// increasing order.
class sparseCursor {
public:
    bool open(const std::string& path, std::string& failure) {
        if (path.empty()) return true;
        file_.reset(std::fopen(path.c_str(), "rb"));
        if (!file_) failure = formatText("%s: %s", path.c_str(), std::strerror(errno));
        if (file_) advance();
        return file_ != nullptr;
    }
    bool filled(int64_t index) {
        while (next_ >= 0 && next_ < index) advance();
        return next_ == index;
    }

private:
    void advance() {
        long long position = 0;
        int one = 0;
        next_ = std::fscanf(file_.get(), "%lld,%d", &position, &one) == 2 ? position : -1;
    }
    fileHandle file_;
    int64_t next_ = -1;
};

// UTC milliseconds of a channel's samples, asked in increasing order.
class sampleClock {
public:
    explicit sampleClock(const activityChannel& channel) : channel_(channel) {}
    double unixMs(int64_t index) {
        const auto& anchors = channel_.anchors;
        while (segment_ + 1 < anchors.size() && anchors[segment_ + 1].first <= index) ++segment_;
        if (anchors.empty() || channel_.rateHz <= 0.0) return std::nan("");
        const auto& [start, seconds] = anchors[segment_];
        return (seconds + static_cast<double>(index - start) / channel_.rateHz) * 1000.0;
    }

private:
    const activityChannel& channel_;
    size_t segment_ = 0;
};

// Every sample of a channel, in order, as take(unixMs, value, filled).
template <typename consumer>
bool forEachSample(const activityChannel& channel, std::string& failure, consumer&& take) {
    binReader values;
    sparseCursor sparse;
    if (!values.open(channel.binPath, failure) || !sparse.open(channel.sparsePath, failure)) return false;
    sampleClock clock(channel);
    double value = 0.0;
    for (int64_t i = 0; i < channel.samples && values.at(i, value); ++i) {
        take(clock.unixMs(i), value, sparse.filled(i));
    }
    if (values.failed()) failure = formatText("%s: read error", channel.binPath.c_str());
    return failure.empty();
}

std::optional<activityChannel> channelIn(const sessionSummary& summary, const std::string& folder,
                                         const char* longName) {
    const auto facts = summary.factsOf(longName);
    if (!facts || facts->samples == 0) return std::nullopt;
    const std::string directory = platform::withTrailingSeparator(folder);
    activityChannel channel;
    channel.binPath = directory + facts->file;
    if (!facts->sparseFile.empty()) channel.sparsePath = directory + facts->sparseFile;
    channel.rateHz = facts->rateHz;
    channel.samples = facts->samples;
    channel.anchors = facts->anchors;
    return channel;
}

orderedJson intervalsJson(const std::vector<wearInterval>& intervals) {
    orderedJson list = orderedJson::array();
    for (const wearInterval& i : intervals) {
        list.push_back({{"start", utcText(i.startMs)},
                        {"end", utcText(i.endMs)},
                        {"minutes", (i.endMs - i.startMs) / 60000}});
    }
    return list;
}

orderedJson parametersJson(const wearParameters& p, bool temperature) {
    orderedJson accelerometer = {{"windowMinutes", p.windowMinutes}, {"stepMinutes", p.stepMinutes},
                                 {"sdLimitMg", p.sdLimitMg},         {"rangeLimitMg", p.rangeLimitMg},
                                 {"stillAxes", p.stillAxes},         {"noDataFilledShare", p.noDataFilledShare}};
    orderedJson json = {{"accelerometer", accelerometer}};
    json["temperature"] = temperature ? orderedJson{{"channel", qor2ChannelTable[qor2Temp].longName},
                                                    {"slopeMinutes", p.slopeMinutes},
                                                    {"fallRateCPerMinute", p.fallRateCPerMinute},
                                                    {"riseRateCPerMinute", p.riseRateCPerMinute},
                                                    {"lowTemperatureC", p.lowTemperatureC},
                                                    {"highTemperatureC", p.highTemperatureC},
                                                    {"onsetSearchMinutes", p.onsetSearchMinutes},
                                                    {"minimumMinutes", p.minimumMinutes}}
                                      : orderedJson(nullptr);
    return json;
}

}  // namespace

activityInputs activityInputsOf(const sessionSummary& summary, const std::string& folder) {
    activityInputs inputs;
    inputs.axes = {channelIn(summary, folder, qor2ChannelTable[qor2XAccel].longName),
                   channelIn(summary, folder, qor2ChannelTable[qor2YAccel].longName),
                   channelIn(summary, folder, qor2ChannelTable[qor2ZAccel].longName)};
    inputs.temperature = channelIn(summary, folder, qor2ChannelTable[qor2Temp].longName);
    inputs.light = channelIn(summary, folder, qor2ChannelTable[qor2AmbLight].longName);
    return inputs;
}

activityOutcome wearPass(const accelCalibration& calibration, const activityInputs& inputs,
                         const activitySettings& settings, const std::string& folder, runStatus& run) {
    activityOutcome outcome;
    for (const auto& axis : inputs.axes) {
        if (!axis) return outcome;
    }
    const double rateHz = inputs.axes[0]->rateHz;
    wearDetector detector(settings.wear, rateHz);
    epochTable epochs(settings.epochSeconds, rateHz);
    std::string& failure = outcome.failure;
    const physicalConversion temperatureConversion = qor2ChannelTable[qor2Temp].conversion;
    const physicalConversion lightConversion = qor2ChannelTable[qor2AmbLight].conversion;

    // The board temperature: for the wear criterion and the epochs, at its own times.
    if (inputs.temperature &&
        !forEachSample(*inputs.temperature, failure, [&](double unixMs, double value, bool filled) {
            const double celsius = physicalValue(temperatureConversion, value);
            detector.feedTemperature(unixMs, celsius, filled);
            epochs.feedTemperature(unixMs, celsius, filled);
        })) {
        return outcome;
    }
    if (inputs.light && !forEachSample(*inputs.light, failure, [&](double unixMs, double value, bool filled) {
            epochs.feedLight(unixMs, physicalValue(lightConversion, value), filled);
        })) {
        return outcome;
    }

    // The three axes side by side, each sample with the temperature the calibration
    // pairs it with.
    const activityChannel& x = *inputs.axes[0];
    std::array<binReader, 3> axes;
    std::array<sparseCursor, 3> sparse;
    for (size_t a = 0; a < 3; ++a) {
        if (!axes[a].open(inputs.axes[a]->binPath, failure) || !sparse[a].open(inputs.axes[a]->sparsePath, failure))
            return outcome;
    }
    binReader temperatures;
    if (inputs.temperature && !temperatures.open(inputs.temperature->binPath, failure)) return outcome;
    const double temperatureRate = inputs.temperature ? inputs.temperature->rateHz : 0.0;
    const int64_t temperatureSamples = inputs.temperature ? inputs.temperature->samples : 0;
    const int64_t samples = std::min({x.samples, inputs.axes[1]->samples, inputs.axes[2]->samples});
    sampleClock clock(x);
    for (int64_t i = 0; i < samples; ++i) {
        std::array<double, 3> g{};
        bool filled = false;
        double celsius = calibration.referenceTemperatureC;
        const int64_t t = temperatureIndexFor(i, x.rateHz, temperatureRate, temperatureSamples);
        double value = 0.0;
        if (t >= 0 && temperatures.at(t, value)) celsius = physicalValue(temperatureConversion, value);
        bool complete = true;
        for (size_t a = 0; a < 3; ++a) {
            complete = axes[a].at(i, value) && complete;
            g[a] = calibration.apply(static_cast<int>(a), value, celsius);
            filled = sparse[a].filled(i) || filled;
        }
        if (!complete) break;
        const double unixMs = clock.unixMs(i);
        detector.feedAcceleration(unixMs, g, filled);
        epochs.feedAcceleration(unixMs, g, filled);
    }
    for (const binReader& axis : axes) {
        if (axis.failed()) failure = "read error in an accelerometer channel";
    }
    if (!failure.empty()) return outcome;
    detector.finish();
    epochs.finish();
    const wearResult& wear = detector.result();

    outputFile file(run);
    const std::string path = platform::withTrailingSeparator(folder) + epochsFileName;
    if (file.create(path)) {
        file.printText(epochsHeader);
        epochs.forEachRow(wear, [&file](const std::string& row) { file.printText(row); });
        file.close();
    } else {
        file.lostWithoutFile();
        failure = formatText("%s: %s", path.c_str(), std::strerror(errno));
    }

    orderedJson json;
    json["method"] = wear.temperatureUsed ? "accelerometerAndTemperature" : "accelerometer";
    json["parameters"] = parametersJson(detector.parameters(), wear.temperatureUsed);
    json["minutes"] = {{"wear", wear.wearMinutes}, {"nonwear", wear.nonwearMinutes}, {"nodata", wear.nodataMinutes}};
    json["nonwear"] = intervalsJson(wear.nonwear);
    json["nodata"] = intervalsJson(wear.nodata);
    json["accelerometerCriterion"] = intervalsJson(wear.accelerometerOnly);
    json["epochs"] = {{"file", epochsFileName}, {"seconds", epochs.epochSeconds()}, {"rows", epochs.rows()}};
    outcome.wear = json;
    return outcome;
}

}  // namespace sensconv
