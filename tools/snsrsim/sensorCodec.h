#pragma once
// The boards' raw readings and their physical values. The encoders pick the raw word
// whose value comes closest to a physical quantity; the value functions give the
// exact double a correct conversion computes from a raw word, written out here on
// their own so that the ground truth does not lean on the converter's code.

#include <cstdint>

#include "container/snsrHeader.h"

namespace snsrsim {

// The barometer's calibration coefficients and the four words that carry them.
struct barometerWords {
    int32_t w1 = 0, w2 = 0, w3 = 0, w4 = 0;
};
barometerWords wordsForCalibration(const sensconv::barometerCalibration& c);

class sensorCodec {
public:
    // Accelerometer: value = word / 16383 (G, with a bias of 2 G so that the word
    // stays unsigned).
    static uint16_t accelWord(double g);
    static double accelValue(uint16_t word);
    static double accelMagnitude(double x, double y, double z);

    // Light-to-frequency sensor: divider byte and count word.
    static constexpr uint8_t lightDivider = 64;
    static uint16_t lightCount(double lux);
    static double lightFrequencyValue(uint8_t divider, uint16_t count);

    // Barometer temperature word D2 and pressure word D1.
    static uint16_t barTempWord(const sensconv::barometerCalibration& c, double celsius);
    // Whether the board's integer plausibility test keeps this D2.
    static bool barTempAccepted(const sensconv::barometerCalibration& c, uint16_t d2);
    static double barTempValue(const sensconv::barometerCalibration& c, uint16_t d2);
    static uint16_t pressureWord(const sensconv::barometerCalibration& c, uint16_t lastD2, double mbar);
    static double pressureValue(const sensconv::barometerCalibration& c, uint16_t lastD2, uint16_t d1);

    // Compass heading in tenths of a degree.
    static uint16_t compassWord(double degrees);
    static double compassValue(uint16_t word);

    // Visible and infrared light bytes (chord and step); ambient light from both.
    static uint8_t lightByte(double lux);
    static double lightByteValue(uint8_t byte);
    static double ambientValue(double visible, double infrared);

    // Humidity sensor: temperature word and humidity word.
    static uint16_t shtTempWord(double celsius);
    static double shtTempValue(uint16_t word);
    static uint16_t humidityWord(double shtTemp, double relativeHumidity);
    static double humidityValue(double shtTemp, uint16_t word);

    // Second board: gyroscope rate counts, temperature words, magnetometer counts.
    static int16_t gyroRateWord(double degreesPerSecond);
    static int16_t gyroTempWord(double celsius);
    static double gyroTempValue(int16_t word);
    static int16_t clampToInt16(double value);
};

}  // namespace snsrsim
