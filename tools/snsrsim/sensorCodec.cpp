#include "snsrsim/sensorCodec.h"

#include <algorithm>
#include <cmath>

namespace snsrsim {

using sensconv::barometerCalibration;

namespace {

uint16_t clampWord(double value) {
    return static_cast<uint16_t>(std::clamp(std::round(value), 0.0, 65535.0));
}

// Offset of D2 at which the barometer reads 20 degrees.
int32_t barTempZero(const barometerCalibration& c) {
    return 8 * c.C5 + 20224;
}

}  // namespace

barometerWords wordsForCalibration(const barometerCalibration& c) {
    barometerWords w;
    w.w1 = (c.C1 << 1) | (c.C5 >> 10);
    w.w2 = ((c.C5 & 1023) << 6) | (c.C6 & 63);
    w.w3 = (c.C4 << 6) | (c.C2 >> 6);
    w.w4 = (c.C3 << 6) | (c.C2 & 63);
    return w;
}

uint16_t sensorCodec::accelWord(double g) {
    return clampWord((g + 2.0) * 16383.0);
}

double sensorCodec::accelValue(uint16_t word) {
    return word / 16383.0;
}

double sensorCodec::accelMagnitude(double x, double y, double z) {
    return std::sqrt(x * x + y * y + z * z);
}

uint16_t sensorCodec::lightCount(double lux) {
    const double perCount = lightDivider / 256.0 * 100100.0 / 499.0 / 65536.0;
    return clampWord(lux / 300.0 / perCount);
}

double sensorCodec::lightFrequencyValue(uint8_t divider, uint16_t count) {
    return count * (divider / 256.0 * 100100.0 / 499.0) / 65536.0;
}

uint16_t sensorCodec::barTempWord(const barometerCalibration& c, double celsius) {
    return clampWord(barTempZero(c) + (10.0 * celsius - 200.0) * 1024.0 / (c.C6 + 50));
}

bool sensorCodec::barTempAccepted(const barometerCalibration& c, uint16_t d2) {
    const int32_t t = ((d2 - barTempZero(c)) * (c.C6 + 50)) / 102 + 2000;
    return t > -1000 && t < 10000;
}

double sensorCodec::barTempValue(const barometerCalibration& c, uint16_t d2) {
    const double f = static_cast<double>(c.C6 + 50) * (d2 - barTempZero(c)) / 1024.0 + 200.0;
    return f / 10.0;
}

uint16_t sensorCodec::pressureWord(const barometerCalibration& c, uint16_t lastD2, double mbar) {
    const int32_t dT = lastD2 - 8 * c.C5 - 20224;
    const double sens = c.C1 + (c.C3 * dT) / 1024.0 + 24576.0;
    const double off = 4.0 * c.C2 + ((c.C4 - 512) * dT) / 4096.0;
    return clampWord(((mbar - 250.0) * 32.0 + off) * 16384.0 / sens + 7168.0);
}

double sensorCodec::pressureValue(const barometerCalibration& c, uint16_t lastD2, uint16_t d1) {
    const int32_t dT = lastD2 - 8 * c.C5 - 20224;
    const double sens = c.C1 + (c.C3 * dT) / 1024.0 + 24576.0;
    const double off = 4.0 * c.C2 + ((c.C4 - 512) * dT) / 4096.0;
    const double x = (d1 - 7168) * sens / 16384.0 - off;
    return x / 32.0 + 250.0;
}

uint16_t sensorCodec::compassWord(double degrees) {
    long tenths = std::lround(degrees * 10.0) % 3600;
    if (tenths < 0) tenths += 3600;
    return static_cast<uint16_t>(tenths);
}

double sensorCodec::compassValue(uint16_t word) {
    return word / 10.0;
}

uint8_t sensorCodec::lightByte(double lux) {
    uint8_t best = 0;
    double bestError = INFINITY;
    for (int code = 0; code < 128; ++code) {
        const double error = std::fabs(lightByteValue(static_cast<uint8_t>(code)) - lux);
        if (error < bestError) {
            bestError = error;
            best = static_cast<uint8_t>(code);
        }
    }
    return best;
}

double sensorCodec::lightByteValue(uint8_t byte) {
    const int chord = (byte >> 4) & 7;
    const int step = byte & 15;
    const double scale = static_cast<double>(1 << chord);
    return (scale - 1.0) * 16.5 + 10.0 * (scale * step);
}

double sensorCodec::ambientValue(double visible, double infrared) {
    return visible * 0.46 * std::exp(-3.13 * infrared / (visible + 0.000001));
}

uint16_t sensorCodec::shtTempWord(double celsius) {
    return clampWord((celsius + 39.634) * 100.0);
}

double sensorCodec::shtTempValue(uint16_t word) {
    return word * 0.01 - 39.634;
}

uint16_t sensorCodec::humidityWord(double shtTemp, double relativeHumidity) {
    // The value grows with the word over the sensor's 12 bits: find the first word at
    // or above the humidity, then take it or the one below, whichever is closer.
    int low = 0;
    int high = 4095;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (humidityValue(shtTemp, static_cast<uint16_t>(middle)) < relativeHumidity) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low > 0) {
        const double above = std::fabs(humidityValue(shtTemp, static_cast<uint16_t>(low)) - relativeHumidity);
        const double below = std::fabs(humidityValue(shtTemp, static_cast<uint16_t>(low - 1)) - relativeHumidity);
        if (below <= above) return static_cast<uint16_t>(low - 1);
    }
    return static_cast<uint16_t>(low);
}

double sensorCodec::humidityValue(double shtTemp, uint16_t word) {
    const double r = word;
    const double linear = static_cast<float>(r * 0.0405 - 4.0 - r * 0.0000028 * r);
    return (shtTemp - 25.0) * (r * 0.00008 + 0.01) + linear;
}

int16_t sensorCodec::clampToInt16(double value) {
    return static_cast<int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

int16_t sensorCodec::gyroRateWord(double degreesPerSecond) {
    // 14.375 counts per degree per second.
    return clampToInt16(degreesPerSecond * 14.375);
}

int16_t sensorCodec::gyroTempWord(double celsius) {
    return clampToInt16((celsius + 273.15 - 298.0) * 110.0);
}

double sensorCodec::gyroTempValue(int16_t word) {
    return (word / 110.0 + 298.0) * 1.8 - 459.67;
}

}  // namespace snsrsim
