#include "decode/boardTime.h"

#include <gtest/gtest.h>

#include <limits>

namespace sensconv {
namespace {

TEST(boardTimeTest, MillisecondsKeepTheLow32BitsOfTheFullValue) {
    // intmax 10: one tick is one second.
    EXPECT_EQ(ticksToMilliseconds32(5'000'000, 10), 705'032'704);  // 5e9 - 2^32
    EXPECT_EQ(ticksToMilliseconds32(-5'000'000, 10), -705'032'704);
    EXPECT_EQ(ticksToMilliseconds32(-3, 1000), -30);
    EXPECT_EQ(ticksToMilliseconds32(1, 3000), 3);  // 3.33 ms truncated toward zero
    EXPECT_EQ(ticksToMilliseconds32(-1, 3000), -3);
    // Far beyond the 64-bit range of milliseconds the result is still defined; doubles of
    // that size are multiples of 2^32.
    EXPECT_EQ(ticksToMilliseconds32(std::numeric_limits<int64_t>::min(), 1), 0);
    EXPECT_EQ(ticksToMilliseconds32(12345, 0), 0);
}

TEST(boardTimeTest, TickSumsSaturate) {
    constexpr int64_t most = std::numeric_limits<int64_t>::max();
    constexpr int64_t least = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(addTicks(-1, -1), -2);
    EXPECT_EQ(addTicks(most - 1, 5), most);
    EXPECT_EQ(addTicks(least + 1, -5), least);
    EXPECT_EQ(addTicks(most, least), -1);
}

}  // namespace
}  // namespace sensconv
