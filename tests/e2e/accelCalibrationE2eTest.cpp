// The accelerometer's auto-calibration on simulated recordings: the simulator's
// accelerometer has known offsets, gain errors and temperature drifts, and its ground
// truth states the calibration that undoes them. The converter must find it from the
// recording alone, and must refuse a recording whose wearer never turned.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/roundTripSupport.h"

namespace sensconv::roundtrip {
namespace {

using testing_support::expectValidSessionSummaries;

struct trueCalibration {
    std::array<double, 3> offsetMg{};
    std::array<double, 3> gain{};
    std::array<double, 3> coefficientMgPerC{};
    double referenceC = 0.0;
};

trueCalibration readTruth(const fs::path& csv) {
    std::istringstream in(readText(csv));
    std::string line;
    std::getline(in, line);
    trueCalibration truth;
    for (size_t k = 0; k < 3 && std::getline(in, line); ++k) {
        std::array<double, 4> v{};
        std::istringstream fields(line.substr(line.find(',') + 1));
        for (double& value : v) {
            std::string field;
            std::getline(fields, field, ',');
            value = std::stod(field);
        }
        truth.offsetMg[k] = v[0];
        truth.gain[k] = v[1];
        truth.coefficientMgPerC[k] = v[2];
        truth.referenceC = v[3];
    }
    return truth;
}

nlohmann::json calibrationOf(const fs::path& part) {
    return nlohmann::json::parse(readText(part / "session.json"))["accelerometerCalibration"];
}

TEST(accelCalibrationE2eTest, FindsTheSimulatedErrorsOfADay) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    // A day of the main board alone; offsets up to 80 mg, gains up to 5 %, drifts up to
    // 2 mg per degree.
    const toolRun sim = runBinary(SNSRSIM_BINARY,
                                  {"--out", "rec", "--truth", "truth", "--quiet", "--duration", "86400", "--files", "3",
                                   "--streams", "qor2", "--rate", "acc=10", "--seed", "1", "--accel-offset",
                                   "80,-55,30", "--accel-gain", "-5,3.5,2", "--accel-temperature", "2,-1.5,-2"},
                                  root);
    ASSERT_EQ(sim.status, 0) << sim.err;
    const toolRun run = runBinary(SENSCONV_BINARY, {"-scandir", "rec", "-outputdir", "out"}, root);
    ASSERT_EQ(run.status, 0) << run.err;
    expectValidSessionSummaries({(root / "out" / "part_00" / "session.json").string()});

    const nlohmann::json c = calibrationOf(root / "out" / "part_00");
    ASSERT_TRUE(c.is_object());
    ASSERT_TRUE(c["accepted"].get<bool>()) << c.dump(2);
    EXPECT_TRUE(c["reason"].is_null());
    ASSERT_TRUE(c["temperatureTerm"].get<bool>());
    // The day's temperatures span enough for the drift to matter.
    EXPECT_GT(c["temperatureRangeC"][1].get<double>() - c["temperatureRangeC"][0].get<double>(), 8.0) << c.dump(2);

    const trueCalibration truth = readTruth(root / "truth" / "part_00" / "accelCalibration.csv");
    const double reference = c["referenceTemperatureC"].get<double>();
    for (size_t k = 0; k < 3; ++k) {
        const double coefficient = c["temperatureCoefficientMgPerC"][k].get<double>();
        // The fitted offset holds at the fit's own reference temperature.
        const double offsetAtTruthReference = c["offsetMg"][k].get<double>() + coefficient * (truth.referenceC - reference);
        EXPECT_NEAR(offsetAtTruthReference, truth.offsetMg[k], 1.0) << k;
        EXPECT_NEAR(c["gain"][k].get<double>() / truth.gain[k], 1.0, 0.001) << k;
        EXPECT_NEAR(coefficient, truth.coefficientMgPerC[k], 0.2) << k;
        EXPECT_GT(c["uncertainty"]["offsetMg"][k].get<double>(), 0.0);
        EXPECT_LT(c["uncertainty"]["offsetMg"][k].get<double>(), 1.0);
    }
    EXPECT_LE(c["errorAfterMg"].get<double>(), 3.0);
    EXPECT_GT(c["errorBeforeMg"].get<double>(), 20.0);
    EXPECT_GT(c["stillWindows"].get<int64_t>(), 1000);
}

TEST(accelCalibrationE2eTest, AWearerWhoNeverTurnsIsRefusedAndKeepsTheNominalConversion) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    ASSERT_EQ(runBinary(SNSRSIM_BINARY,
                      {"--out", "rec", "--truth", "truth", "--quiet", "--duration", "3600", "--streams", "qor2",
                       "--one-orientation", "--accel-offset", "40,40,40"},
                      root)
                  .status,
              0);
    const toolRun run = runBinary(SENSCONV_BINARY, {"-scandir", "rec", "-outputdir", "out"}, root);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(countLines(run.err, "WARNING"), 0) << run.err;
    expectValidSessionSummaries({(root / "out" / "part_00" / "session.json").string()});
    const nlohmann::json c = calibrationOf(root / "out" / "part_00");
    ASSERT_TRUE(c.is_object());
    EXPECT_FALSE(c["accepted"].get<bool>());
    EXPECT_NE(c["reason"].get<std::string>().find("do not cover the x axis"), std::string::npos) << c.dump(2);
    EXPECT_GT(c["stillWindows"].get<int64_t>(), 300);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(c["offsetMg"][k].get<double>(), 0.0);
        EXPECT_EQ(c["gain"][k].get<double>(), 1.0);
        EXPECT_EQ(c["temperatureCoefficientMgPerC"][k].get<double>(), 0.0);
    }

    // Without the main board there is nothing to calibrate.
    ASSERT_EQ(runBinary(SNSRSIM_BINARY, {"--out", "jux", "--quiet", "--duration", "20", "--streams", "jux"}, root).status,
              0);
    ASSERT_EQ(runBinary(SENSCONV_BINARY, {"-scandir", "jux", "-outputdir", "juxOut"}, root).status, 0);
    EXPECT_TRUE(calibrationOf(root / "juxOut" / "part_00").is_null());
}

}  // namespace
}  // namespace sensconv::roundtrip
