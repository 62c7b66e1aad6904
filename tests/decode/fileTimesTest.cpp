// The board clock against the container's millisecond stamps: where the first sample
// of a file lies, and how fast the board's clock runs.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>

#include "decode/fileTimes.h"
#include "driver/sessionPipeline.h"

namespace sensconv {
namespace {

constexpr int32_t intmax = 40000;  // 4 ticks a millisecond

// Feeds one packet every `every` ticks for `seconds`: the board's tick t happens at
// zeroMs + t / 4 / (1 + drift) container milliseconds, stamped in whole milliseconds;
// every lateEvery-th stamp comes lateMs late. With a thread, the pairs are fitted there.
std::unique_ptr<boardClockFit> fitOf(double zeroMs, double driftPpm, int64_t every, double seconds,
                                     int lateEvery = 0, int64_t lateMs = 0, handOff* thread = nullptr) {
    auto made = std::make_unique<boardClockFit>();
    boardClockFit& fit = *made;
    if (thread != nullptr) fit.fitOn(*thread);
    const auto last = static_cast<int64_t>(seconds * 4000 * (1 + driftPpm * 1e-6));
    int64_t k = 0;
    for (int64_t t = 0; t <= last; t += every, ++k) {
        auto stamp = static_cast<int64_t>(std::floor(zeroMs + t / 4.0 / (1 + driftPpm * 1e-6)));
        if (lateEvery > 0 && k % lateEvery == lateEvery - 1) stamp += lateMs;
        fit.add(t, stamp);
    }
    fit.settle();
    return made;
}

TEST(fileTimesTest, BoardInStepWithTheStampsIsPlacedWithinTheIntervalTheStampsAllow) {
    // Packets on whole ticks of a board in step with the milliseconds: the stamps
    // cannot tell where within a quarter of a millisecond tick 0 lies.
    for (const double zero : {100.0, 100.1, 100.37, 100.999}) {
        const auto fitted = fitOf(zero, 0.0, 7, 60.0);
        const boardClockFit& fit = *fitted;
        ASSERT_TRUE(fit.intervalMs(intmax).has_value());
        // Within half the interval, and a microsecond for the slope the middle takes.
        EXPECT_LE(std::fabs(*fit.zeroMs(intmax) - zero), *fit.intervalMs(intmax) / 2 + 0.001) << zero;
        EXPECT_LE(*fit.intervalMs(intmax), 0.26) << zero;
        const auto range = fit.driftRangePpm(intmax);
        ASSERT_TRUE(range.has_value());
        EXPECT_LE(range->first, 0.0);
        EXPECT_GE(range->second, 0.0);
        EXPECT_NEAR(*fit.driftPpm(intmax), 0.0, 5.0);
    }
}

TEST(fileTimesTest, DriftingBoardIsPlacedToMicrosecondsAndItsDriftMeasured) {
    for (const double drift : {40.0, -25.0, 300.0}) {
        const auto fitted = fitOf(250.4321, drift, 13, 300.0);
        const boardClockFit& fit = *fitted;
        EXPECT_NEAR(*fit.zeroMs(intmax), 250.4321, 0.005) << drift;
        EXPECT_NEAR(*fit.driftPpm(intmax), drift, 0.1) << drift;
        EXPECT_GT(fit.packets(), 90000);
    }
}

TEST(fileTimesTest, LateStampsFallBackToTheMeanAndSinglePacketsToTheNominalRate) {
    // A stamp 3 ms late now and then allows no line through every stamp.
    const auto lateFit = fitOf(20.6, 40.0, 13, 120.0, 50, 3);
    const boardClockFit& late = *lateFit;
    EXPECT_FALSE(late.intervalMs(intmax).has_value());
    EXPECT_NEAR(*late.zeroMs(intmax), 20.6, 0.1);  // biased by the mean lateness, 0.06 ms
    EXPECT_NEAR(*late.driftPpm(intmax), 40.0, 1.0);
    EXPECT_FALSE(late.driftRangePpm(intmax).has_value());

    boardClockFit single;
    EXPECT_FALSE(single.zeroMs(intmax).has_value());
    single.add(0, 7);
    single.add(0, 9);  // the same board time again (a packet without a time of its own)
    EXPECT_EQ(single.packets(), 1);
    EXPECT_DOUBLE_EQ(*single.zeroMs(intmax), 7.5);
    EXPECT_FALSE(single.driftPpm(intmax).has_value());
}

// During a conversion the pairs are fitted on the session's thread, blocks of them at a
// time: every figure comes out as from the fit in place, to the last bit.
TEST(fileTimesTest, FitOnTheSessionsThreadIsTheFitInPlace) {
    sessionThread writer;
    ASSERT_TRUE(writer.threaded());
    const auto expectSame = [](const boardClockFit& inPlace, const boardClockFit& beside) {
        EXPECT_EQ(beside.packets(), inPlace.packets());
        EXPECT_EQ(beside.spanTicks(), inPlace.spanTicks());
        EXPECT_EQ(beside.zeroMs(intmax), inPlace.zeroMs(intmax));
        EXPECT_EQ(beside.intervalMs(intmax), inPlace.intervalMs(intmax));
        EXPECT_EQ(beside.driftPpm(intmax), inPlace.driftPpm(intmax));
        EXPECT_EQ(beside.driftRangePpm(intmax), inPlace.driftRangePpm(intmax));
        EXPECT_EQ(beside.residualMs(), inPlace.residualMs());
    };
    // In step, drifting and with late stamps; long enough for
    // every block of the fit to be on its way at once.
    expectSame(*fitOf(100.37, 0.0, 7, 60.0), *fitOf(100.37, 0.0, 7, 60.0, 0, 0, &writer));
    expectSame(*fitOf(250.4321, 40.0, 3, 300.0), *fitOf(250.4321, 40.0, 3, 300.0, 0, 0, &writer));
    expectSame(*fitOf(20.6, 40.0, 13, 120.0, 50, 3), *fitOf(20.6, 40.0, 13, 120.0, 50, 3, &writer));

    // Settled in the middle of a file, the fit takes every pair so far and goes on.
    boardClockFit inPlace;
    boardClockFit beside;
    beside.fitOn(writer);
    for (int64_t t = 0; t < 200000; t += 5) {
        const auto stamp = static_cast<int64_t>(std::floor(3.3 + t / 4.0 / (1 + 25e-6)));
        inPlace.add(t, stamp);
        beside.add(t, stamp);
        if (t == 100000) {
            beside.settle();
            expectSame(inPlace, beside);
        }
    }
    beside.settle();
    expectSame(inPlace, beside);
}

TEST(fileTimesTest, ContainerTimeGoesOnAcrossTheWrapOfTheMillisecondCounter) {
    fileTimes times;
    times.packet(0xFFFFFF00u);
    times.packet(0xFFFFFFF0u);
    times.packet(0x10u);
    EXPECT_EQ(times.first, 0xFFFFFF00u);
    EXPECT_EQ(times.now(), (int64_t{1} << 32) + 0x10);
    EXPECT_EQ(times.packets, 3);
}

}  // namespace
}  // namespace sensconv
