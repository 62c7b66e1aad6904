// The simulator's encoders must invert the converter's formulas: the raw words it
// sends have to decode to the quantities it meant, or its recordings would not look
// like a person wearing the recorder.

#include "snsrsim/sensorCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "container/containerBuilder.h"
#include "container/snsrHeader.h"

namespace snsrsim {
namespace {

const sensconv::barometerCalibration calibration{23470, 2152, 324, 421, 1198, 37};

TEST(sensorCodecTest, CalibrationWordsGiveBackTheCoefficientsInTheConverter) {
    // Through a real header: the converter derives the coefficients from wd01..wd04.
    const barometerWords words = wordsForCalibration(calibration);
    sensconv::containerBuilder builder;
    sensconv::qor2Settings settings;
    settings.intr = 40000;
    settings.wd01 = words.w1;
    settings.wd02 = words.w2;
    settings.wd03 = words.w3;
    settings.wd04 = words.w4;
    builder.addQor2Stream(1, settings);
    const std::vector<uint8_t> bytes = builder.bytes();
    std::vector<uint8_t> copy = bytes;
    sensconv::snsrHeader header;
    header.file = fmemopen(copy.data(), copy.size(), "rb");
    ASSERT_NE(header.file, nullptr);
    ASSERT_TRUE(sensconv::readHeader(header));
    ASSERT_TRUE(sensconv::loadQor2Settings(header));
    std::fclose(header.file);
    EXPECT_EQ(header.calib_bar.C1, calibration.C1);
    EXPECT_EQ(header.calib_bar.C2, calibration.C2);
    EXPECT_EQ(header.calib_bar.C3, calibration.C3);
    EXPECT_EQ(header.calib_bar.C4, calibration.C4);
    EXPECT_EQ(header.calib_bar.C5, calibration.C5);
    EXPECT_EQ(header.calib_bar.C6, calibration.C6);
}

TEST(sensorCodecTest, BarometerWordsDecodeToTheSimulatedWeather) {
    // The board's plausibility test keeps temperatures above -10 degrees.
    for (double celsius = -9.0; celsius <= 45.0; celsius += 0.37) {
        const uint16_t d2 = sensorCodec::barTempWord(calibration, celsius);
        ASSERT_TRUE(sensorCodec::barTempAccepted(calibration, d2)) << celsius;
        // One step of D2 is about 0.12 degrees.
        EXPECT_NEAR(sensorCodec::barTempValue(calibration, d2), celsius, 0.07) << celsius;
        for (double mbar = 940.0; mbar <= 1050.0; mbar += 3.3) {
            const uint16_t d1 = sensorCodec::pressureWord(calibration, d2, mbar);
            // One step of D1 is about 0.09 mbar.
            EXPECT_NEAR(sensorCodec::pressureValue(calibration, d2, d1), mbar, 0.05) << celsius << " " << mbar;
        }
    }
}

TEST(sensorCodecTest, HumidityAndLightWordsAreTheClosestOnes) {
    for (double temperature = 0.0; temperature <= 35.0; temperature += 5.0) {
        const double sht = sensorCodec::shtTempValue(sensorCodec::shtTempWord(temperature));
        EXPECT_NEAR(sht, temperature, 0.005);
        for (double rh = 20.0; rh <= 90.0; rh += 1.7) {
            const uint16_t word = sensorCodec::humidityWord(sht, rh);
            const double value = sensorCodec::humidityValue(sht, word);
            EXPECT_NEAR(value, rh, 0.05) << temperature << " " << rh;
            // No neighbouring word comes closer.
            EXPECT_LE(std::fabs(value - rh), std::fabs(sensorCodec::humidityValue(sht, word + 1) - rh));
            EXPECT_LE(std::fabs(value - rh), std::fabs(sensorCodec::humidityValue(sht, word - 1) - rh));
        }
    }
    // The light byte's steps grow with the chord; every lux value gets the nearest code.
    for (double lux = 0.0; lux < 21000.0; lux *= 1.3, lux += 1.0) {
        const double chosen = sensorCodec::lightByteValue(sensorCodec::lightByte(lux));
        for (int code = 0; code < 128; ++code) {
            EXPECT_LE(std::fabs(chosen - lux), std::fabs(sensorCodec::lightByteValue(static_cast<uint8_t>(code)) - lux));
        }
    }
    EXPECT_EQ(sensorCodec::lightByteValue(0x35), 515.5);
    EXPECT_EQ(sensorCodec::compassWord(-0.04), 0);
    EXPECT_EQ(sensorCodec::compassWord(359.96), 0);
    EXPECT_EQ(sensorCodec::compassWord(-90.0), 2700);
    EXPECT_NEAR(sensorCodec::gyroTempValue(sensorCodec::gyroTempWord(30.0)), 86.0, 0.02);
}

}  // namespace
}  // namespace snsrsim
