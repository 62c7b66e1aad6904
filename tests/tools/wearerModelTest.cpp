// Whatever the seed, the wearer stays a plausible person for hours: the quantities
// the simulator encodes stay within what the boards can carry.

#include "snsrsim/wearerModel.h"

#include <gtest/gtest.h>

#include <cmath>

namespace snsrsim {
namespace {

TEST(wearerModelTest, StaysPlausibleForHours) {
    for (uint64_t seed = 0; seed < 8; ++seed) {
        wearerModel wearer(seed);
        int walking = 0;
        int outdoors = 0;
        int samples = 0;
        double lastHeading = -1.0;
        for (double t = 0.0; t < 3 * 3600.0; t += 0.5) {
            const wearerState s = wearer.at(t);
            ++samples;
            walking += s.walking ? 1 : 0;
            outdoors += s.outdoors ? 1 : 0;
            ASSERT_GE(s.headingDeg, 0.0) << t;
            ASSERT_LT(s.headingDeg, 360.0) << t;
            ASSERT_GT(s.pressureMbar, 990.0) << t;
            ASSERT_LT(s.pressureMbar, 1030.0) << t;
            ASSERT_GT(s.temperatureC, 0.0) << t;
            ASSERT_LT(s.temperatureC, 30.0) << t;
            ASSERT_GT(s.humidityRH, 20.0) << t;
            ASSERT_LT(s.humidityRH, 95.0) << t;
            ASSERT_GT(s.lightLux, 100.0) << t;
            ASSERT_LT(s.lightLux, 21000.0) << t;  // the light sensor's range
            ASSERT_GE(s.altitudeM, 0.0) << t;
            ASSERT_LT(std::fabs(s.accelX) + std::fabs(s.accelY) + std::fabs(s.accelZ), 2.0) << t;
            // Turns are smooth: half a second never turns more than 90 degrees.
            if (lastHeading >= 0.0) {
                const double step = std::fabs(std::remainder(s.headingDeg - lastHeading, 360.0));
                ASSERT_LT(step, 90.0) << t;
            }
            lastHeading = s.headingDeg;
        }
        // Both ways of life occur in three hours.
        EXPECT_GT(walking, samples / 10) << seed;
        EXPECT_LT(walking, samples * 9 / 10) << seed;
        EXPECT_GT(outdoors, 0) << seed;
    }
}

TEST(wearerModelTest, TheSameSeedGivesTheSameWearer) {
    wearerModel a(7);
    wearerModel b(7);
    wearerModel c(8);
    bool differs = false;
    for (double t = 0.0; t < 600.0; t += 1.3) {
        const wearerState x = a.at(t);
        const wearerState y = b.at(t);
        ASSERT_EQ(x.headingDeg, y.headingDeg);
        ASSERT_EQ(x.pressureMbar, y.pressureMbar);
        ASSERT_EQ(x.accelZ, y.accelZ);
        differs = differs || c.at(t).headingDeg != x.headingDeg;
    }
    EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace snsrsim
