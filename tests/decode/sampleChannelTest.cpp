#include "decode/sampleChannel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sensconv {
namespace {


std::vector<double> batchOf(const sampleChannel& channel) {
    return {channel.batch(), channel.batch() + channel.batchCount()};
}

TEST(sampleChannelTest, PacketWithoutGapIsPassedThroughUncopied) {
    sampleChannel channel(sampleChannel::defaultMaxFill, 40, 1000, "qor2/compass", "compass");
    const double values[] = {3.5};
    // At t = 0 four hertz expect 0.04 samples: one value is no gap.
    ASSERT_TRUE(channel.addSamples(values, 1, 0, 0).ok());
    EXPECT_EQ(channel.batch(), values);
    EXPECT_EQ(channel.batchCount(), 1);
    EXPECT_EQ(channel.samplesSoFar(), 1);
    EXPECT_TRUE(channel.missingList().empty());
    EXPECT_EQ(channel.firstTimestamp(), 0.0);

    // A surplus is never trimmed.
    const double many[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(channel.addSamples(many, 5, 100, 1).ok());
    EXPECT_EQ(channel.batch(), many);
    EXPECT_EQ(channel.samplesSoFar(), 6);
    EXPECT_EQ(channel.lastTimestamp(), 1.0);  // 100 ticks of 1000 per 10 s
}

TEST(sampleChannelTest, GapIsFilledWithTheLastValueBeforeThePacket) {
    sampleChannel channel(sampleChannel::defaultMaxFill, 40, 1000, "qor2/compass", "compass");
    std::vector<double> first(10, 0.0);
    first.back() = 7.25;
    // A 16-bit view of a packet's values stays with them until values are filled in.
    const std::vector<int16_t> first16(10, 0);
    ASSERT_TRUE(channel.addSamples(first.data(), 10, 0, 0, first16.data()).ok());
    ASSERT_EQ(channel.samplesSoFar(), 10);
    EXPECT_EQ(channel.batch16(), first16.data());

    // expected = 5001 * 0.04 = 200.04, have = 11: 188 values are missing.
    const double next[] = {9.0};
    const int16_t next16[] = {9};
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.addSamples(next, 1, 5000, 42, next16).ok());
    EXPECT_EQ(channel.batch16(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "# WARNING: Packet     42, Filling 188 missing samples for field qor2/compass\n");
    ASSERT_EQ(channel.batchCount(), 189);
    EXPECT_EQ(channel.samplesSoFar(), 199);
    ASSERT_EQ(channel.missingList().size(), 188u);
    EXPECT_EQ(channel.missingList().front(), 10);
    EXPECT_EQ(channel.missingList().back(), 197);
    const auto batch = batchOf(channel);
    EXPECT_EQ(batch[0], 7.25);
    EXPECT_EQ(batch[187], 7.25);
    EXPECT_EQ(batch[188], 9.0);
    EXPECT_EQ(channel.lastTimestamp(), 50.0);
    EXPECT_EQ(channel.firstTimestamp(), 0.0);
}

TEST(sampleChannelTest, FirstFilledValueOfAFileIsOne) {
    // One sample per tick: at t = 5 six are expected; one arrives, four are filled.
    sampleChannel channel(sampleChannel::defaultMaxFill, 10, 10, "jux/x_mag", "mag");
    const double value[] = {-4.0};
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.addSamples(value, 1, 5, 0).ok());
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(batchOf(channel), (std::vector<double>{1.0, 1.0, 1.0, 1.0, -4.0}));
    EXPECT_EQ(channel.missingList(), (std::vector<int64_t>{0, 1, 2, 3}));

    // Gap after gap, the filled positions of a file follow one another in order: packets
    // at ticks 0, 4, 5, 9 find 0, 2, none and 3 samples missing (the output stays one
    // sample behind the schedule).
    sampleChannel later(sampleChannel::defaultMaxFill, 10, 10, "jux/x_mag", "mag");
    ::testing::internal::CaptureStderr();
    for (int64_t t : {0, 4, 5, 9}) ASSERT_TRUE(later.addSamples(value, 1, t, 0).ok());
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(later.missingList(), (std::vector<int64_t>{1, 2, 5, 6, 7}));
    EXPECT_EQ(later.samplesSoFar(), 9);
}

TEST(sampleChannelTest, FillLimit) {
    sampleChannel channel(sampleChannel::defaultMaxFill, 10, 10, "jux/x_mag", "mag");
    const double value[] = {2.0};
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.addSamples(value, 1, 204801, 0).ok());  // exactly 204,800 missing
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(channel.batchCount(), 204801);
    EXPECT_EQ(channel.missingList().size(), 204800u);

    sampleChannel fresh(sampleChannel::defaultMaxFill, 10, 10, "jux/x_mag", "mag");
    ::testing::internal::CaptureStderr();
    const outcome tooMany = fresh.addSamples(value, 1, 204802, 17);
    EXPECT_EQ(processStatus(tooMany.status()), -3);
    EXPECT_EQ(tooMany.lines(), "# ERROR: Too many missing samples to output, input is badly corrupted!\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "# WARNING: Packet     17, Filling 204801 missing samples for field jux/x_mag\n");
    EXPECT_STREQ(tooMany.closingLine(), "# ERROR: Exiting\n");
    // Nothing was taken: no batch, no filled positions.
    EXPECT_EQ(fresh.batchCount(), 0);
    EXPECT_TRUE(fresh.missingList().empty());
}

TEST(sampleChannelTest, NoTimeBaseOrNoScheduleMeansNoFilling) {
    const double value[] = {2.0};
    sampleChannel noIntmax(sampleChannel::defaultMaxFill, 40, 0, "qor2/temp", "BarTemp");
    ASSERT_TRUE(noIntmax.addSamples(value, 1, 123456, 0).ok());
    EXPECT_EQ(noIntmax.batch(), value);
    EXPECT_TRUE(noIntmax.missingList().empty());

    sampleChannel noRate(sampleChannel::defaultMaxFill, 0, 1000, "qor2/power", "power");
    ASSERT_TRUE(noRate.addSamples(value, 1, 123456, 0).ok());
    EXPECT_EQ(noRate.batchCount(), 1);
}

}  // namespace
}  // namespace sensconv
