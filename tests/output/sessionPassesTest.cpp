// The passes over a finished session's files (the accelerometer's calibration, the wear
// and epoch pass) read them back a block at a time and hand the detectors whole minutes
// and epochs. A session written here by hand, with runs of samples that start off the
// minute, filled samples on block edges, epochs that do not divide the minute and a
// temperature that ends before the acceleration, must give what its samples fed one by
// one give; a channel file shorter than the session says must be reported, never taken
// for a shorter session. The session is long enough for the wear pass to gather its
// two halves side by side.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/accelCalibration.h"
#include "common/outputLayout.h"
#include "common/runStatus.h"
#include "driver/sessionPipeline.h"
#include "output/accelCalibrationPass.h"
#include "output/activityPass.h"
#include "output/epochTable.h"
#include "output/outputTestSupport.h"
#include "output/wearDetector.h"

namespace sensconv {
namespace {

using outputTest::readWhole;
using outputTest::scratchDirectory;

constexpr double rateHz = 10.0;
constexpr int64_t samples = 50000;      // three blocks and a part
constexpr double temperatureRateHz = 1.0;
constexpr int64_t temperatureSamples = 4990;  // the last 100 acceleration samples pair with the last one
constexpr int epochSeconds = 45;
// Runs of evenly spaced samples: the first starts a quarter second into a minute, the
// second three hours later off the 0.1 s grid, the third across two block edges.
const std::vector<std::pair<int64_t, double>> runs = {
    {0, 1742981400.25}, {20000, 1742981400.25 + 2000.0 + 10800.37}, {45000, 1742994700.62 + 2500.0 + 0.05}};
const std::set<int64_t> filledX = {3, 16383, 16384, 32767, 40000};
const std::set<int64_t> filledY = {16384, 49999};

void writeFloats(const std::string& path, const std::vector<float>& values, size_t count) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(values.data(), sizeof(float), count, file), count);
    std::fclose(file);
}

void writeSparse(const std::string& path, const std::set<int64_t>& positions) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (const int64_t p : positions) std::fprintf(file, "%lld,1\n", static_cast<long long>(p));
    std::fclose(file);
}

// Moving for the first 25,000 samples and the last 5,000, still between, the board
// cooling from skin to room temperature over the still stretch.
float rawAxis(int axis, int64_t i) {
    const bool still = i >= 25000 && i < 45000;
    const double wobble = still ? 0.0004 * std::sin(0.7 * static_cast<double>(i) + axis)
                                : 0.35 * std::sin(0.9 * static_cast<double>(i) + 2.0 * axis);
    const double base[3] = {2.08, 1.97, 2.99};
    return static_cast<float>(base[axis] + wobble);
}

float rawTemperature(int64_t t) {
    return static_cast<float>(t < 2500 ? 32.0 : 21.0 + 11.0 * std::exp(-static_cast<double>(t - 2500) / 600.0));
}

struct handMadeSession {
    scratchDirectory dir;
    std::array<std::vector<float>, 3> axes;
    std::vector<float> temperature;
    std::vector<float> light;

    handMadeSession() {
        for (int a = 0; a < 3; ++a) {
            for (int64_t i = 0; i < samples; ++i) axes[a].push_back(rawAxis(a, i));
        }
        for (int64_t t = 0; t < temperatureSamples; ++t) temperature.push_back(rawTemperature(t));
        for (int64_t l = 0; l < samples / 5; ++l) light.push_back(static_cast<float>(100.0 + l % 37));
        writeFloats(dir / "binaryData_accel.bin", axes[0], samples);
        writeFloats(dir / "binaryData_accelY.bin", axes[1], samples);
        writeFloats(dir / "binaryData_accelZ.bin", axes[2], samples);
        writeSparse(dir / "binaryData_accel.sparse", filledX);
        writeSparse(dir / "binaryData_accelY.sparse", filledY);
        writeFloats(dir / "binaryData_BarTemp.bin", temperature, temperature.size());
        writeFloats(dir / "binaryData_AmbientLight.bin", light, light.size());
    }

    static activityChannel channel(const std::string& bin, const std::string& sparse, double rate, int64_t count) {
        std::vector<std::pair<int64_t, double>> anchors;
        for (const auto& [index, seconds] : runs) anchors.emplace_back(static_cast<int64_t>(index * rate / rateHz), seconds);
        return activityChannel{bin, sparse, rate, count, anchors};
    }
    activityInputs inputs() const {
        activityInputs in;
        in.axes = {channel(dir / "binaryData_accel.bin", dir / "binaryData_accel.sparse", rateHz, samples),
                   channel(dir / "binaryData_accelY.bin", dir / "binaryData_accelY.sparse", rateHz, samples),
                   channel(dir / "binaryData_accelZ.bin", "", rateHz, samples)};
        in.temperature = channel(dir / "binaryData_BarTemp.bin", "", temperatureRateHz, temperatureSamples);
        in.light = channel(dir / "binaryData_AmbientLight.bin", "", rateHz / 5, samples / 5);
        return in;
    }
    calibrationChannels calibration() const {
        return {writtenChannel{"accel", rateHz, samples, static_cast<int64_t>(filledX.size())},
                writtenChannel{"accelY", rateHz, samples, static_cast<int64_t>(filledY.size())},
                writtenChannel{"accelZ", rateHz, samples, 0},
                writtenChannel{"BarTemp", temperatureRateHz, temperatureSamples, 0}};
    }
};

double unixMsOf(int64_t index, double rate) {
    size_t run = 0;
    while (run + 1 < runs.size() && static_cast<int64_t>(runs[run + 1].first * rate / rateHz) <= index) ++run;
    const int64_t start = static_cast<int64_t>(runs[run].first * rate / rateHz);
    return (runs[run].second + static_cast<double>(index - start) / rate) * 1000.0;
}

TEST(sessionPassesTest, blockwiseReadBackGivesWhatSampleBySampleFeedingGives) {
    const handMadeSession session;
    accelCalibration calibration;
    calibration.offsetG = {0.012, -0.031, 0.004};
    calibration.gain = {1.02, 0.985, 1.001};
    calibration.temperatureCoefficientGPerC = {0.0011, -0.0004, 0.0021};
    calibration.referenceTemperatureC = 27.5;

    // Sample by sample, the way the pass is described: each channel at its own times,
    // each acceleration sample with the temperature sample at the same place by the two
    // rates (clamped to the last one) and filled where any axis was.
    wearDetector detector(wearParameters{}, rateHz);
    epochTable epochs(epochSeconds, rateHz);
    for (int64_t t = 0; t < temperatureSamples; ++t) {
        detector.feedTemperature(unixMsOf(t, temperatureRateHz), session.temperature[t], false);
        epochs.feedTemperature(unixMsOf(t, temperatureRateHz), session.temperature[t], false);
    }
    for (size_t l = 0; l < session.light.size(); ++l) {
        epochs.feedLight(unixMsOf(static_cast<int64_t>(l), rateHz / 5), session.light[l], false);
    }
    for (int64_t i = 0; i < samples; ++i) {
        const auto t = std::min<int64_t>(static_cast<int64_t>(std::floor(i * temperatureRateHz / rateHz)),
                                         temperatureSamples - 1);
        const double celsius = session.temperature[static_cast<size_t>(t)];
        std::array<double, 3> g{};
        for (size_t a = 0; a < 3; ++a) {
            g[a] = calibration.offsetG[a] + calibration.gain[a] * (session.axes[a][i] - nominalZeroG) +
                   calibration.temperatureCoefficientGPerC[a] * (celsius - calibration.referenceTemperatureC);
        }
        const bool filled = filledX.count(i) > 0 || filledY.count(i) > 0;
        detector.feedAcceleration(unixMsOf(i, rateHz), g, filled);
        epochs.feedAcceleration(unixMsOf(i, rateHz), g, filled);
    }
    detector.finish();
    epochs.finish();
    std::string expected = epochsHeader;
    epochs.forEachRow(detector.result(), [&expected](const std::string& row) { expected += row; });

    // In one pass, and in two halves with the later one on the session's thread.
    sessionThread thread;
    for (handOff* beside : {static_cast<handOff*>(nullptr), static_cast<handOff*>(&thread)}) {
        SCOPED_TRACE(beside == nullptr ? "one pass" : "two halves");
        runStatus run;
        const activityOutcome outcome = wearPass(calibration, session.inputs(),
                                                 activitySettings{epochSeconds, wearParameters{}}, session.dir.path(),
                                                 run, beside);
        ASSERT_EQ(outcome.failure, "");
        EXPECT_EQ(readWhole(session.dir / outputLayout::epochsFileName), expected);
        const wearResult& wear = detector.result();
        EXPECT_EQ(outcome.wear["minutes"]["wear"], wear.wearMinutes);
        EXPECT_EQ(outcome.wear["minutes"]["nonwear"], wear.nonwearMinutes);
        EXPECT_EQ(outcome.wear["minutes"]["nodata"], wear.nodataMinutes);
        EXPECT_EQ(outcome.wear["nonwear"].size(), wear.nonwear.size());
        EXPECT_FALSE(run.outputLost());
    }

    // The calibration's 10 s windows (100 samples) straddle the blocks; a window is
    // still when no sample is filled and each axis's sample SD is below 13 mg.
    int64_t still = 0;
    for (int64_t w = 0; w + 100 <= samples; w += 100) {
        bool quiet = true;
        for (int64_t i = w; i < w + 100; ++i) quiet = quiet && filledX.count(i) == 0 && filledY.count(i) == 0;
        for (size_t a = 0; a < 3 && quiet; ++a) {
            double mean = 0.0;
            for (int64_t i = w; i < w + 100; ++i) mean += (session.axes[a][i] - nominalZeroG) / 100.0;
            double squares = 0.0;
            for (int64_t i = w; i < w + 100; ++i) squares += std::pow(session.axes[a][i] - nominalZeroG - mean, 2);
            quiet = std::sqrt(squares / 99.0) < 0.013;
        }
        still += quiet ? 1 : 0;
    }
    const auto fitted = calibrateAccelerometer(session.dir.path(), session.calibration());
    ASSERT_TRUE(fitted.has_value());
    EXPECT_EQ(fitted->report.samples, samples);
    EXPECT_EQ(fitted->report.windows, samples / 100);
    EXPECT_EQ(fitted->report.stillWindows, still);
    EXPECT_GT(still, 150);
    EXPECT_LT(still, samples / 100);
}

TEST(sessionPassesTest, aChannelFileCutShortFailsTheCalibrationAndShortensTheWearPass) {
    // Epochs with an ENMO: those the acceleration reached.
    const auto epochsWithEnmo = [](const std::string& path) {
        std::istringstream rows(readWhole(path));
        size_t count = 0;
        for (std::string row; std::getline(rows, row);) count += row.find("Z,,") == std::string::npos ? 1 : 0;
        return count - 1;  // the header
    };
    sessionThread thread;
    size_t wholeRows = 0;
    {
        const handMadeSession session;
        runStatus run;
        ASSERT_EQ(wearPass(accelCalibration{}, session.inputs(), activitySettings{}, session.dir.path(), run, &thread)
                      .failure,
                  "");
        wholeRows = epochsWithEnmo(session.dir / outputLayout::epochsFileName);
    }
    // Cut in the first half of the samples, and in the second, which the pass gathers
    // on the session's thread.
    const std::vector<std::pair<std::string, int>> cuts = {
        {"binaryData_accelZ.bin", 1000}, {"binaryData_BarTemp.bin", 1000}, {"binaryData_accelZ.bin", 40000}};
    for (const auto& [name, values] : cuts) {
        SCOPED_TRACE(name + " cut to " + std::to_string(values));
        const handMadeSession session;
        std::filesystem::resize_file(session.dir / name, 4 * values);
        // The fit needs the whole session: without it, the nominal conversion stays.
        const auto fitted = calibrateAccelerometer(session.dir.path(), session.calibration());
        ASSERT_TRUE(fitted.has_value());
        EXPECT_FALSE(fitted->report.accepted);
        EXPECT_NE(fitted->report.reason.find(name + " holds fewer samples than written"), std::string::npos)
            << fitted->report.reason;

        // A file cut short is output the conversion has already reported lost (its
        // session stays incomplete): the wear pass takes the samples there are.
        runStatus run;
        const activityOutcome outcome =
            wearPass(accelCalibration{}, session.inputs(), activitySettings{}, session.dir.path(), run, &thread);
        EXPECT_EQ(outcome.failure, "");
        ASSERT_TRUE(outcome.wear.is_object());
        const size_t rows = epochsWithEnmo(session.dir / outputLayout::epochsFileName);
        EXPECT_GT(rows, 0u);
        EXPECT_LT(rows, wholeRows);
    }
}

}  // namespace
}  // namespace sensconv
