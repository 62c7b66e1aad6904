// The two passes that run on a session once its files are written: the accelerometer's
// calibration (calibrateAccelerometer) and the wear and epoch pass (wearPass), timed on
// a finished session folder as the conversion calls them. The channel facts both take
// (file names, rates, counts, time anchors) are read from the folder's session.json,
// which holds what the conversion handed them; the wear pass gets the calibration the
// calibration pass finds here, as in the conversion. Its epochs.csv goes to a scratch
// directory, so the session stays as the conversion left it.
//
// Before timing, each pass is run once and its result compared with what session.json
// says it gave during the conversion: a benchmark of different work would measure
// nothing worth knowing, so a difference ends the program with an error.
//
// usage: bench_sessionPasses [--benchmark_... options] SESSION_FOLDER
// (bench/passes simulates a 7-day session, converts it and runs this program on it.)

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/outputLayout.h"
#include "common/runStatus.h"
#include "decode/channelTable.h"
#include "output/accelCalibrationPass.h"
#include "output/activityPass.h"
#include "output/epochTable.h"

namespace {

using namespace sensconv;
using orderedJson = nlohmann::ordered_json;

// What the passes read of one channel, as session.json lists it.
struct channelEntry {
    writtenChannel written;
    activityChannel activity;
};

std::optional<channelEntry> entryOf(const orderedJson& session, const std::string& folder, const char* longName) {
    for (const orderedJson& c : session.at("channels")) {
        if (c.at("longName") != longName) continue;
        channelEntry entry;
        entry.written = writtenChannel{c.at("name").get<std::string>(), c.at("rate").get<double>(),
                                       c.at("samples").get<int64_t>(), c.at("filledSamples").get<int64_t>()};
        // The wear pass, like the conversion, leaves out a channel without samples.
        if (entry.written.samples == 0) return entry;
        entry.activity.binPath = folder + "/" + c.at("file").get<std::string>();
        if (!c.at("sparseFile").is_null()) entry.activity.sparsePath = folder + "/" + c.at("sparseFile").get<std::string>();
        entry.activity.rateHz = entry.written.rateHz;
        entry.activity.samples = entry.written.samples;
        for (const orderedJson& a : c.at("anchors")) {
            entry.activity.anchors.emplace_back(a.at("index").get<int64_t>(), a.at("unixSeconds").get<double>());
        }
        return entry;
    }
    return std::nullopt;
}

struct sessionInputs {
    std::string folder;
    std::string scratch;  // where the wear pass writes its epochs.csv
    calibrationChannels calibration;
    activityInputs activity;
    activitySettings settings;
    accelCalibration applied;  // what the calibration pass gives the wear pass
    int64_t axisSamples = 0;
};

sessionInputs& inputs() {
    static sessionInputs in;
    return in;
}

std::optional<writtenChannel> writtenOf(const std::optional<channelEntry>& entry) {
    return entry ? std::optional<writtenChannel>(entry->written) : std::nullopt;
}

std::optional<activityChannel> activityOf(const std::optional<channelEntry>& entry) {
    if (!entry || entry->written.samples == 0) return std::nullopt;
    return entry->activity;
}

bool fail(const std::string& what) {
    std::fprintf(stderr, "bench_sessionPasses: %s\n", what.c_str());
    return false;
}

// Reads session.json, runs both passes once and checks that they give what the
// conversion recorded.
bool prepare(const std::string& folder) {
    sessionInputs& in = inputs();
    in.folder = folder;
    const std::string path = folder + "/" + outputLayout::sessionSummaryFileName;
    std::ifstream file(path);
    if (!file) return fail(path + " cannot be read");
    const orderedJson session = orderedJson::parse(file, nullptr, false);
    if (session.is_discarded() || !session.contains("channels")) return fail(path + " is not a session");

    const auto x = entryOf(session, folder, qor2ChannelTable[qor2XAccel].longName);
    const auto y = entryOf(session, folder, qor2ChannelTable[qor2YAccel].longName);
    const auto z = entryOf(session, folder, qor2ChannelTable[qor2ZAccel].longName);
    const auto temperature = entryOf(session, folder, qor2ChannelTable[qor2Temp].longName);
    const auto light = entryOf(session, folder, qor2ChannelTable[qor2AmbLight].longName);
    in.calibration = calibrationChannels{writtenOf(x), writtenOf(y), writtenOf(z), writtenOf(temperature)};
    in.activity.axes = {activityOf(x), activityOf(y), activityOf(z)};
    in.activity.temperature = activityOf(temperature);
    in.activity.light = activityOf(light);
    in.axisSamples = x ? x->written.samples : 0;
    if (in.axisSamples == 0) return fail(folder + " has no accelerometer samples");
    // The epoch length the conversion used (its -epochSeconds option).
    in.settings = activitySettings{defaultEpochSeconds, wearParameters{}};
    const orderedJson& wear = session.value("wear", orderedJson());
    if (wear.is_object() && wear.contains("epochs")) in.settings.epochSeconds = wear["epochs"].value("seconds", defaultEpochSeconds);

    const std::optional<accelCalibrationOutcome> calibration = calibrateAccelerometer(folder, in.calibration);
    if (accelCalibrationJson(calibration) != session.value("accelerometerCalibration", orderedJson())) {
        return fail("the calibration pass does not give the session's accelerometerCalibration");
    }
    in.applied = calibration ? calibration->report.applied : accelCalibration{};

    char scratch[] = "/tmp/sensconv_bench_passes_XXXXXX";
    if (::mkdtemp(scratch) == nullptr) return fail("no scratch directory");
    in.scratch = scratch;
    runStatus run;
    const activityOutcome activity = wearPass(in.applied, in.activity, in.settings, in.scratch, run);
    if (!activity.failure.empty() || run.outputLost()) return fail("the wear pass failed: " + activity.failure);
    if (activity.wear != session.value("wear", orderedJson())) {
        return fail("the wear pass does not give the session's wear");
    }
    return true;
}

void peakCounter(benchmark::State& state) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["axis_samples"] = static_cast<double>(inputs().axisSamples);
}

void BM_calibrationPass(benchmark::State& state) {
    const sessionInputs& in = inputs();
    for (auto _ : state) {
        auto outcome = calibrateAccelerometer(in.folder, in.calibration);
        benchmark::DoNotOptimize(outcome);
    }
    peakCounter(state);
}

void BM_wearPass(benchmark::State& state) {
    const sessionInputs& in = inputs();
    for (auto _ : state) {
        runStatus run;
        auto outcome = wearPass(in.applied, in.activity, in.settings, in.scratch, run);
        benchmark::DoNotOptimize(outcome);
        if (!outcome.failure.empty()) state.SkipWithError(outcome.failure.c_str());
    }
    peakCounter(state);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [--benchmark_... options] SESSION_FOLDER\n", argv[0]);
        return 2;
    }
    const bool ready = prepare(argv[1]);
    if (ready) {
        // One pass over a long session takes seconds: each repetition is one run.
        benchmark::RegisterBenchmark("calibrateAccelerometer", BM_calibrationPass)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("wearPass", BM_wearPass)->Iterations(1)->Unit(benchmark::kMillisecond);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    if (!inputs().scratch.empty()) std::filesystem::remove_all(inputs().scratch);
    return ready ? 0 : 1;
}
