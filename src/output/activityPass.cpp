#include "output/activityPass.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <span>
#include <system_error>

#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "common/utcText.h"
#include "decode/channelTable.h"
#include "output/accelReadBack.h"
#include "output/outputFile.h"
#include "output/sessionSummary.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

using orderedJson = nlohmann::ordered_json;

// UTC milliseconds of a channel's samples, run of evenly spaced samples after run.
class sampleClock {
public:
    explicit sampleClock(const activityChannel& channel) : channel_(channel) {}
    // Moves to the run that holds index; indexes are asked in increasing order.
    void seek(int64_t index) {
        const auto& anchors = channel_.anchors;
        while (run_ + 1 < anchors.size() && anchors[run_ + 1].first <= index) ++run_;
    }
    // The first index of the next run.
    int64_t runEnd() const {
        const auto& anchors = channel_.anchors;
        return run_ + 1 < anchors.size() ? anchors[run_ + 1].first : std::numeric_limits<int64_t>::max();
    }
    // The time of a sample of the run sought last.
    double unixMs(int64_t index) const {
        const auto& anchors = channel_.anchors;
        if (anchors.empty() || channel_.rateHz <= 0.0) return std::nan("");
        const auto& [start, seconds] = anchors[run_];
        return (seconds + static_cast<double>(index - start) / channel_.rateHz) * 1000.0;
    }

private:
    const activityChannel& channel_;
    size_t run_ = 0;
};

readBackChannel readBackOf(const activityChannel& channel) {
    return readBackChannel{channel.binPath, channel.sparsePath, channel.rateHz, channel.samples};
}

// Every sample of a channel, in order, as take(unixMs, value, filled).
template <typename consumer>
bool forEachSample(const activityChannel& channel, std::string& failure, consumer&& take) {
    channelValues values;
    filledPositions sparse;
    if (!values.open(channel.binPath)) {
        failure = values.failure();
        return false;
    }
    if (!channel.sparsePath.empty() && !sparse.open(channel.sparsePath)) {
        failure = sparse.failure();
        return false;
    }
    int64_t nextFilled = channel.sparsePath.empty() ? std::numeric_limits<int64_t>::max() : sparse.next();
    sampleClock clock(channel);
    std::vector<float> block(accelReadBack::blockSamples);
    for (int64_t first = 0; first < channel.samples;) {
        const auto wanted = static_cast<size_t>(std::min<int64_t>(accelReadBack::blockSamples, channel.samples - first));
        const size_t got = values.read(block.data(), wanted, channel.samples);
        for (size_t j = 0; j < got; ++j) {
            const int64_t i = first + static_cast<int64_t>(j);
            while (nextFilled < i) nextFilled = sparse.next();
            clock.seek(i);
            take(clock.unixMs(i), static_cast<double>(block[j]), nextFilled == i);
        }
        if (got != wanted) break;
        first += static_cast<int64_t>(got);
    }
    // A file cut short is output the run has already reported lost: the pass takes what
    // there is.
    if (!values.failure().empty() && !values.endedEarly()) {
        failure = values.failure();
        return false;
    }
    return true;
}

// The end of the span from `from` (below `limit`): the first index whose sample lies in
// another minute or epoch than sample `from`, found by bisection, since a run's sample
// times only grow.
int64_t spanEnd(const sampleClock& clock, const epochTable& epochs, int64_t from, int64_t limit) {
    const double startMs = clock.unixMs(from);
    const int64_t minute = wearDetector::minuteNumber(startMs);
    const int64_t epoch = epochs.epochNumber(startMs);
    const auto same = [&](int64_t index) {
        const double t = clock.unixMs(index);
        return wearDetector::minuteNumber(t) == minute && epochs.epochNumber(t) == epoch;
    };
    if (same(limit - 1)) return limit;
    int64_t inside = from;       // same(inside)
    int64_t outside = limit - 1;  // !same(outside)
    while (outside - inside > 1) {
        const int64_t middle = inside + (outside - inside) / 2;
        (same(middle) ? inside : outside) = middle;
    }
    return outside;
}

// What both halves of the acceleration read.
struct accelerationReading {
    const activityChannel& x;  // its clock is every axis's
    std::array<readBackChannel, 3> axes;
    std::optional<readBackChannel> temperature;
    const accelCalibration& calibration;
    int64_t samples;  // the shortest axis's
};

// Feeds the detector and the epochs the calibrated samples [from, to) of the three axes,
// each with the temperature the calibration pairs it with, a minute or an epoch at a
// time. false, with failure, when a file cannot be read; a file cut short ends the
// samples where it ends, which the run has already reported lost.
bool gatherAcceleration(const accelerationReading& in, int64_t from, int64_t to, wearDetector& detector,
                        epochTable& epochs, std::string& failure) {
    const physicalConversion temperatureConversion = qor2ChannelTable[qor2Temp].conversion;
    accelReadBack reader;
    if (!reader.open(in.axes, in.temperature, from, to)) {
        failure = reader.failure();
        return false;
    }
    sampleClock clock(in.x);
    accelBlock block;
    std::array<std::vector<double>, 3> g;
    for (auto& axis : g) axis.resize(accelReadBack::blockSamples);
    std::vector<double> celsius(accelReadBack::blockSamples, in.calibration.referenceTemperatureC);
    while (reader.next(block)) {
        const size_t n = block.size;
        if (reader.hasTemperature()) {
            for (size_t j = 0; j < n; ++j) celsius[j] = physicalValue(temperatureConversion, block.temperature[j]);
        }
        const int64_t end = block.first + static_cast<int64_t>(n);
        for (int64_t i = block.first; i < end;) {
            clock.seek(i);
            const int64_t runEnd = std::min(end, clock.runEnd());
            const double unixMs = clock.unixMs(i);
            if (!std::isfinite(unixMs)) {
                i = runEnd;
                continue;
            }
            const int64_t spanStop = spanEnd(clock, epochs, i, runEnd);
            const auto first = static_cast<size_t>(i - block.first);
            const auto count = static_cast<size_t>(spanStop - i);
            // Calibrated a span (a minute at most) at a time, so the values are still in
            // the processor's cache when the detector and the epochs take them.
            for (size_t a = 0; a < 3; ++a) {
                const float* raw = block.axes[a].data() + first;
                const double* t = celsius.data() + first;
                double* calibrated = g[a].data();
                for (size_t j = 0; j < count; ++j) {
                    calibrated[j] = in.calibration.apply(static_cast<int>(a), raw[j], t[j]);
                }
            }
            const std::array<std::span<const double>, 3> span = {std::span(g[0]).first(count),
                                                                 std::span(g[1]).first(count),
                                                                 std::span(g[2]).first(count)};
            const std::span<const uint8_t> filled = std::span(block.filled).subspan(first, count);
            detector.feedAccelerationSpan(unixMs, span, filled);
            epochs.feedAccelerationSpan(unixMs, span, filled);
            i = spanStop;
        }
    }
    if (!reader.failure().empty() && !reader.endedEarly()) {
        failure = reader.failure();
        return false;
    }
    return true;
}

// Where the samples may be cut in two halves that share no minute and no epoch: the
// first sample from `wanted` on that starts both a minute and an epoch, while the sample
// times only grow and the session spans far less than the minutes a detector keeps (so
// that each half's minutes and epochs are its own, and none is left out). -1 where
// there is none.
int64_t splitIndex(const activityChannel& x, const epochTable& epochs, int64_t samples, int64_t wanted) {
    constexpr int64_t fewestSamples = 2 * int64_t{accelReadBack::blockSamples};
    constexpr double longestSpanMs = 300.0 * 24 * 3600 * 1000;
    const auto& anchors = x.anchors;
    if (samples < fewestSamples || anchors.empty() || anchors.front().first > 0 || x.rateHz <= 0.0) return -1;
    sampleClock clock(x);
    const double firstSampleMs = clock.unixMs(0);
    double previousMs = -std::numeric_limits<double>::infinity();
    for (size_t k = 0; k < anchors.size(); ++k) {
        const int64_t runFirst = std::max<int64_t>(anchors[k].first, 0);
        const int64_t runLast = (k + 1 < anchors.size() ? anchors[k + 1].first : samples) - 1;
        if (runLast < runFirst) return -1;
        clock.seek(runFirst);
        const double firstMs = clock.unixMs(runFirst);
        const double lastMs = clock.unixMs(runLast);
        if (!std::isfinite(firstMs) || !std::isfinite(lastMs) || firstMs < previousMs) return -1;
        previousMs = lastMs;
    }
    if (previousMs - firstSampleMs > longestSpanMs) return -1;

    sampleClock walk(x);
    for (int64_t i = std::clamp<int64_t>(wanted, 1, samples - 1); i < samples;) {
        walk.seek(i);
        const int64_t next = spanEnd(walk, epochs, i, std::min(samples, walk.runEnd()));
        if (next >= samples) return -1;
        const double before = walk.unixMs(next - 1);
        walk.seek(next);
        const double after = walk.unixMs(next);
        if (wearDetector::minuteNumber(before) != wearDetector::minuteNumber(after) &&
            epochs.epochNumber(before) != epochs.epochNumber(after)) {
            return next;
        }
        i = next;
    }
    return -1;
}

// The later half of the acceleration, gathered on the thread beside the conversion
// into a detector and epochs of its own.
class laterHalf final : public handOff::target {
public:
    laterHalf(const accelerationReading& in, int64_t split, const activitySettings& settings)
        : in_(&in), split_(split), detector(settings.wear, in.axes[0].rateHz),
          epochs(settings.epochSeconds, in.axes[0].rateHz) {}

    void writeHandedBlock(uint32_t) override {
        try {
            read = gatherAcceleration(*in_, split_, in_->samples, detector, epochs, failure);
            epochs.finish();
        } catch (...) {
            error = std::current_exception();
        }
    }
    void retireHandedBlock(uint32_t) override {}

private:
    const accelerationReading* in_;
    int64_t split_;

public:
    wearDetector detector;
    epochTable epochs;
    std::string failure;
    bool read = false;
    std::exception_ptr error;
};

// The two halves of the acceleration, the later one on the thread beside, merged into
// detector and epochs: the result is the one a single pass over all samples gives. The
// calling thread first runs before() (which feeds detector and epochs the other
// channels), then gathers the earlier half. false, with failure, when a file cannot be
// read.
template <typename work>
bool gatherInHalves(handOff& beside, const accelerationReading& in, int64_t split, wearDetector& detector,
                    epochTable& epochs, const activitySettings& settings, std::string& failure, work&& before) {
    laterHalf later(in, split, settings);
    const uint64_t ticket = beside.handNow(later, 0);
    // The later half goes on where the earlier one ends, also when a file ends early.
    bool earlierRead = false;
    try {
        earlierRead = before() && gatherAcceleration(in, 0, split, detector, epochs, failure);
    } catch (...) {
        beside.waitFor(ticket);
        throw;
    }
    beside.waitFor(ticket);
    if (later.error) std::rethrow_exception(later.error);
    const bool laterRead = later.read;
    const std::string& laterFailure = later.failure;
    wearDetector& laterDetector = later.detector;
    epochTable& laterEpochs = later.epochs;
    if (!earlierRead) return false;
    if (!laterRead) {
        failure = laterFailure;
        return false;
    }
    epochs.finish();
    detector.addAccelerationOf(laterDetector);
    epochs.takeAccelerationOf(laterEpochs);
    return true;
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
                         const activitySettings& settings, const std::string& folder, runStatus& run,
                         handOff* beside) {
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

    // The board temperature (for the wear criterion and the epochs) and the light, each
    // at its own times.
    const auto feedOtherChannels = [&] {
        if (inputs.temperature &&
            !forEachSample(*inputs.temperature, failure, [&](double unixMs, double value, bool filled) {
                const double celsius = physicalValue(temperatureConversion, value);
                detector.feedTemperature(unixMs, celsius, filled);
                epochs.feedTemperature(unixMs, celsius, filled);
            })) {
            return false;
        }
        return !inputs.light || forEachSample(*inputs.light, failure, [&](double unixMs, double value, bool filled) {
            epochs.feedLight(unixMs, physicalValue(lightConversion, value), filled);
        });
    };

    // The acceleration, in two halves side by side where the samples allow it. The
    // thread of the earlier half feeds the other channels first, sample for sample about
    // as costly: its half is shorter by their samples.
    const std::array<readBackChannel, 3> axes = {readBackOf(*inputs.axes[0]), readBackOf(*inputs.axes[1]),
                                                 readBackOf(*inputs.axes[2])};
    std::optional<readBackChannel> temperature;
    if (inputs.temperature) temperature = readBackOf(*inputs.temperature);
    const int64_t samples = std::min({axes[0].samples, axes[1].samples, axes[2].samples});
    const accelerationReading reading{*inputs.axes[0], axes, temperature, calibration, samples};
    const int64_t otherSamples = (inputs.temperature ? inputs.temperature->samples : 0) +
                                 (inputs.light ? inputs.light->samples : 0);
    const int64_t split = beside != nullptr && beside->threaded()
                              ? splitIndex(*inputs.axes[0], epochs, samples,
                                           std::max(samples / 4, (samples - otherSamples) / 2))
                              : -1;
    const bool read = split >= 0
                          ? gatherInHalves(*beside, reading, split, detector, epochs, settings, failure,
                                           feedOtherChannels)
                          : feedOtherChannels() && gatherAcceleration(reading, 0, samples, detector, epochs, failure);
    if (!read) return outcome;
    detector.finish();
    epochs.finish();
    const wearResult& wear = detector.result();

    outputFile file(run);
    const std::string path = platform::withTrailingSeparator(folder) + outputLayout::epochsFileName;
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
    json["epochs"] = {
        {"file", outputLayout::epochsFileName}, {"seconds", epochs.epochSeconds()}, {"rows", epochs.rows()}};
    outcome.wear = json;
    return outcome;
}

}  // namespace sensconv
