#include "common/textFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace sensconv {
namespace {

// The quick appenders write what printf writes, character for character: the GPS track
// files are compared byte for byte with what they were when printf wrote them.
TEST(textFormatTest, AppendedNumbersArePrintfsOwn) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.125,
                                  0.375,
                                  2.5,
                                  -2.5,
                                  1e-9,
                                  0.05,
                                  0.15,
                                  46.18353954999999,
                                  -8.56678645,
                                  99.995,
                                  1e22,
                                  -1.7976931348623157e308,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> degrees(-180.0, 180.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    for (int i = 0; i < 20000; ++i) values.push_back(degrees(random) * std::pow(10.0, exponent(random)));
    // Ties at each printed precision, which printf rounds by the value's exact binary form.
    for (int i = 0; i < 2000; ++i) values.push_back((2 * i + 1) / 200.0);

    std::string appended;
    for (const double value : values) {
        for (const int decimals : {0, 1, 2, 7, 9}) {
            appended = "x";
            appendFixed(appended, value, decimals);
            ASSERT_EQ(appended, "x" + formatText("%.*f", decimals, value)) << value << " with " << decimals;
        }
    }
    for (const int64_t value : {int64_t{0}, int64_t{-1}, int64_t{41}, int64_t{INT32_MIN}, int64_t{INT32_MAX},
                                std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
        appended.clear();
        appendInteger(appended, value);
        EXPECT_EQ(appended, formatText("%lld", static_cast<long long>(value)));
    }
}

}  // namespace
}  // namespace sensconv
