// The wear detector's rules on hand-made signals (the simulated week in
// python/tests/test_activity.py measures its accuracy): a removal found to the minute by
// its temperature, a still night at skin temperature kept as wear, lost data as no
// data, and the epoch table's ENMO, MAD and states.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "output/epochTable.h"
#include "output/wearDetector.h"

namespace sensconv {
namespace {

constexpr double rateHz = 10.0;
constexpr int64_t startMs = int64_t{1742981400} * 1000;  // 2025-03-26T09:30:00Z, a whole minute
constexpr int64_t minuteMs = 60000;

// A day of one sample every 100 ms: moving (a 1 Hz wobble of 0.3 g) outside [stillFrom,
// stillTo) minutes; still there, with a temperature from temperatureAt(minute).
template <typename temperature>
void feedDay(wearDetector& detector, int stillFrom, int stillTo, temperature&& temperatureAt,
             int filledFrom = -1, int filledTo = -1) {
    for (int64_t i = 0; i < 24 * 3600 * 10; ++i) {
        const double t = static_cast<double>(startMs) + static_cast<double>(i) * 100.0;
        const double minute = static_cast<double>(i) / 600.0;
        const bool still = minute >= stillFrom && minute < stillTo;
        const double wobble = still ? 0.001 * std::sin(static_cast<double>(i)) : 0.3 * std::sin(0.2 * std::numbers::pi * static_cast<double>(i));
        const bool filled = minute >= filledFrom && minute < filledTo;
        detector.feedAcceleration(t, {0.1 + wobble, wobble, 1.0 - wobble}, filled);
        if (i % 10 == 0) detector.feedTemperature(t, temperatureAt(minute), filled);
    }
    detector.finish();
}

wearInterval minutes(int from, int to) {
    return {startMs + from * minuteMs, startMs + to * minuteMs};
}

TEST(wearDetectorTest, removalIsFoundToTheMinuteWhileStillSkinTemperatureStaysWear) {
    // Off at minute 300 for 37 minutes: the temperature falls from 32 C towards the
    // room's 21 C (time constant 15 min) and, once it is worn again, rises back.
    const auto temperature = [](double m) {
        if (m < 300) return 32.0;
        if (m < 337) return 21.0 + 11.0 * std::exp(-(m - 300) / 15.0);
        const double atDonning = 21.0 + 11.0 * std::exp(-37.0 / 15.0);
        return 32.0 + (atDonning - 32.0) * std::exp(-(m - 337) / 8.0);
    };
    wearDetector removal;
    feedDay(removal, 300, 337, temperature);
    EXPECT_EQ(removal.result().nonwear, std::vector<wearInterval>{minutes(300, 337)});
    // 37 minutes are too short for the 60-minute windows.
    EXPECT_TRUE(removal.result().accelerometerOnly.empty());

    // Three still hours at skin temperature: asleep, not off; the accelerometer
    // criterion alone takes them for a removal.
    wearDetector sleep;
    feedDay(sleep, 600, 780, [](double) { return 33.5; });
    EXPECT_TRUE(sleep.result().nonwear.empty());
    EXPECT_EQ(sleep.result().accelerometerOnly, std::vector<wearInterval>{minutes(600, 780)});

    // A recorder that lies at room temperature from the start of a still stretch.
    wearDetector cold;
    feedDay(cold, 0, 90, [](double m) { return m < 90 ? 20.0 : 31.0; });
    EXPECT_EQ(cold.result().nonwear, std::vector<wearInterval>{minutes(0, 90)});
}

TEST(wearDetectorTest, filledSamplesAreNoDataNeverStill) {
    // Two hours of stand-ins for lost samples (copies of one value: as still as can be)
    // at room temperature: no data, neither wear nor non-wear, for both criteria.
    wearDetector detector(wearParameters{}, rateHz);
    feedDay(detector, 0, 0, [](double) { return 20.0; }, 120, 240);
    EXPECT_EQ(detector.result().nodata, std::vector<wearInterval>{minutes(120, 240)});
    EXPECT_TRUE(detector.result().nonwear.empty());
    EXPECT_TRUE(detector.result().accelerometerOnly.empty());
    EXPECT_EQ(detector.result().nodataMinutes, 120);
    EXPECT_EQ(detector.result().stateAt(startMs + 150 * minuteMs), wearState::nodata);
    EXPECT_EQ(detector.result().stateAt(startMs + 250 * minuteMs), wearState::wear);
}

TEST(wearDetectorTest, epochRowsGiveEnmoMadStateAndMeans) {
    epochTable table(60, 2.0);
    wearResult wear;
    wear.nonwear = {minutes(1, 2)};
    // Minute 0: norms alternate 1.1 g and 0.9 g: ENMO 50 mg, MAD 100 mg. Minute 1: still
    // at 1 g, with one of its 120 samples filled. Minute 2: only 40 of 120 samples.
    for (int i = 0; i < 120; ++i) {
        const double norm = i % 2 == 0 ? 1.1 : 0.9;
        table.feedAcceleration(static_cast<double>(startMs) + i * 500.0, {0.0, 0.0, norm}, false);
    }
    for (int i = 0; i < 120; ++i) {
        table.feedAcceleration(static_cast<double>(startMs + minuteMs) + i * 500.0, {0.0, 1.0, 0.0}, i == 7);
    }
    for (int i = 0; i < 40; ++i) {
        table.feedAcceleration(static_cast<double>(startMs + 2 * minuteMs) + i * 500.0, {0.0, 0.0, 1.0}, false);
    }
    table.feedTemperature(static_cast<double>(startMs) + 1000.0, 31.0, false);
    table.feedTemperature(static_cast<double>(startMs) + 2000.0, 32.0, false);
    table.feedTemperature(static_cast<double>(startMs) + 3000.0, 99.0, true);
    table.feedLight(static_cast<double>(startMs + minuteMs), 250.5, false);
    table.finish();
    std::string text = epochsHeader;
    table.forEachRow(wear, [&text](const std::string& row) { text += row; });
    EXPECT_EQ(text,
              "utc,enmo_mg,mad_mg,wear,filled_share,temperature_c,light_lx\n"
              "2025-03-26T09:30:00.000Z,50.000,100.000,wear,0.0000,31.500,\n"
              "2025-03-26T09:31:00.000Z,0.000,0.000,nonwear,0.0083,,250.50\n"
              "2025-03-26T09:32:00.000Z,0.000,0.000,nodata,0.0000,,\n");
}

}  // namespace
}  // namespace sensconv
