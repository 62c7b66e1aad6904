#pragma once
// Everything the simulator can be told on its command line, with the defaults that
// give a short, clean, realistic recording.

#include <cstdint>
#include <string>
#include <vector>

#include "snsrsim/accelErrors.h"

namespace snsrsim {

struct streamSelection {
    bool qor2 = true;    // main board: accelerometer, barometer, compass, light, humidity
    bool mic = true;     // main board audio
    bool jux = true;     // second board: gyroscopes, magnetometer
    bool gps = true;     // SiRF receiver bytes
    bool camera = true;  // JPEG images
};

// Sensor rates in tenths of a hertz, as the board settings carry them.
struct sensorRates {
    int32_t acc = 400;   // accelerometer
    int32_t amb = 20;    // light-to-frequency sensor
    int32_t bar = 10;    // barometer (pressure and temperature)
    int32_t comp = 50;   // compass
    int32_t dals = 20;   // visible / infrared light sensor
    int32_t hum = 5;     // humidity sensor (humidity and temperature)
    int32_t powr = 0;    // power monitor (the boards send no power packets)
    int32_t gyro = 500;  // gyroscopes with their temperatures
    int32_t mag = 100;   // magnetometer
};

struct damageSettings {
    double dropRate = 0.0;         // share of board and GPS packets lost
    double corruptRate = 0.0;      // share of frames followed by corrupt bytes
    double badChecksumRate = 0.0;  // share of board packets with a wrong checksum
    int32_t badImages = 0;         // images whose check segment carries a wrong CRC

    bool any() const { return dropRate > 0 || corruptRate > 0 || badChecksumRate > 0 || badImages > 0; }
};

struct simOptions {
    std::string outputDir = "recording";
    std::string truthDir;  // empty: no ground truth
    uint64_t seed = 1;
    double durationSec = 120.0;  // per session
    double sizeMB = 0.0;         // per session; when set it decides the duration
    int32_t filesPerSession = 2;
    int32_t sessions = 1;
    double gapSec = 300.0;                  // between sessions
    double fileGapSec = 0.0;                // between the files of a session
    int64_t startTime = 1741944600;         // seconds since 1970 (2025-03-14 09:30:00 UTC)
    // How far the recorder's clock is ahead of UTC: it shifts the file start times
    // in the headers (and the file names); the GPS receiver keeps true UTC.
    double clockOffsetSec = 0.0;
    // Navigation messages the GPS receiver sends: measured (2) and geodetic (41).
    bool gpsMeasured = true;
    bool gpsGeodetic = true;
    streamSelection streams;
    int32_t audioRateHz = 8000;
    sensorRates rates;
    int32_t qor2Intmax = 40000;
    int32_t juxIntmax = 20000;
    int32_t startPeriod = -1;  // period counter at a session's start; -1 = drawn from the seed
    // How much faster each board's clock runs than the recorder's (parts per million).
    double qor2DriftPpm = 0.0;
    double juxDriftPpm = 0.0;
    double imageIntervalSec = 10.0;
    int32_t imageWidth = 160;
    int32_t imageHeight = 120;
    damageSettings damage;
    accelErrorSettings accelErrors;  // none by default
    bool oneOrientation = false;     // the wearer stays at rest, upright, all session
    // The wearer's days: sleep, removals, walks and runs (daySchedule.h).
    bool schedule = false;
    bool quiet = false;
};

enum class parseResult { run, help, error };

// Parses argv into options. On error, message holds the reason.
parseResult parseOptions(const std::vector<std::string>& args, simOptions& options, std::string& message);

// The --help text.
std::string helpText();

}  // namespace snsrsim
