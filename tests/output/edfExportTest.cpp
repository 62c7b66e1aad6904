#include "output/edfExport.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "output/sessionFolder.h"

namespace sensconv {
namespace {

// The EDF header holds each physical bound as 8 characters of text: the range must
// hold every value, and its bounds must be exactly what that text says.
TEST(edfExportTest, HeaderRangeHoldsTheValuesInEightCharacters) {
    struct rangeCase {
        double low, high;
        const char* lowText;
        const char* highText;
    };
    for (const rangeCase& c : {rangeCase{1002.123456, 1013.246001, "1002.123", "1013.247"},
                               rangeCase{-1.2345678, 2.3456789, "-1.23457", "2.34568"},
                               rangeCase{0.0, 0.0, "-0.5", "0.5"},
                               rangeCase{-32768, 32767, "-32768", "32767"},
                               rangeCase{-9999999.0, 1234567.4, "-9999999", "1234568"}}) {
        double low = 0, high = 0;
        ASSERT_TRUE(edfHeaderRange(c.low, c.high, low, high)) << c.low;
        EXPECT_LE(low, c.low);
        EXPECT_GE(high, c.high);
        EXPECT_EQ(low, std::stod(c.lowText)) << c.low;
        EXPECT_EQ(high, std::stod(c.highText)) << c.high;
    }
    double low = 0, high = 0;
    EXPECT_FALSE(edfHeaderRange(-1e9, 0, low, high));
    EXPECT_FALSE(edfHeaderRange(0, std::stod("inf"), low, high));
}

TEST(edfExportTest, GpsTimesAndStagedNames) {
    EXPECT_EQ(parseUtcText("2025-03-14T09:30:00.123Z"), 1741944600123);
    EXPECT_EQ(parseUtcText("1969-12-31T23:59:59.999Z"), -1);
    EXPECT_EQ(parseUtcText("2025-03-14 09:30:00.123Z"), std::nullopt);
    EXPECT_EQ(parseUtcText("2025-13-14T09:30:00.123Z"), std::nullopt);
    EXPECT_EQ(stagedPath("out/export/part_00.nc"), "out/export/.part_00.nc.partial");
}

}  // namespace
}  // namespace sensconv
