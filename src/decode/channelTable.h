#pragma once
// The fixed table of sensor channels of both boards: identities, file names, units,
// where each channel's rate comes from, and what each value measures in physical terms.
// The Python package holds it as python/sensconv/channel_table.json (tools/channeltable).

#include <array>
#include <cstdint>
#include <string_view>

namespace sensconv {

// How a value of a channel's .bin file becomes the channel's physical value.
enum class physicalConversion : int {
    unchanged,                 // the value is already in the channel's unit
    fahrenheitToCelsius,       // the board reports degrees Fahrenheit
    accelerometerCalibration,  // the session's accelerometer calibration (accelCalibration.h)
};

// The field of the board's settings record that gives a channel's rate.
enum class rateSetting : int { mic, bar, comp, amb, hum, dals, acc, powr, gyro, mag };

struct qor2Settings;
struct juxSettings;

struct channelInfo {
    const char* longName;   // identity everywhere ("qor2/bar_press")
    const char* shortName;  // names output files and statistics keys ("BarPres")
    const char* unit;       // the unit text of the channel; nullptr where the channel has none
    const char* quantity;   // what the physical value is
    const char* ucum;       // the physical value's unit as a UCUM code
    physicalConversion conversion;
    bool uncalibrated;      // a count of the sensor's own, with no physical scale known
    rateSetting rate;
};

inline constexpr int numQor2Channels = 15;
inline constexpr int numJuxChannels = 10;

enum qor2Channel : int {
    qor2Audio = 0,
    qor2BarPress,
    qor2Compass,
    qor2HfVisLight,
    qor2Humidity,
    qor2IrLight,
    qor2AmbLight,
    qor2Temp,
    qor2TempSensiron,
    qor2VisLight,
    qor2XAccel,
    qor2YAccel,
    qor2ZAccel,
    qor2MagAccel,
    qor2Power,
};

enum juxChannel : int {
    juxXGyro = 0,
    juxYGyro,
    juxZGyro,
    juxXGyroTemp,
    juxYGyroTemp,
    juxZGyroTemp,
    juxXMag,
    juxYMag,
    juxZMag,
    juxPower,
};

extern const std::array<channelInfo, numQor2Channels> qor2ChannelTable;
extern const std::array<channelInfo, numJuxChannels> juxChannelTable;

// The row of a channel by its long name, from either board; nullptr for none.
const channelInfo* findChannel(std::string_view longName);

// A channel's scheduled rate in tenths of a hertz, from its board's settings record.
// The header gives the microphone's rate in hertz, every other rate in tenths.
double scheduledRate(const channelInfo& channel, const qor2Settings& settings);
double scheduledRate(const channelInfo& channel, const juxSettings& settings);

// Names of the conversions as session.json writes them.
const char* conversionName(physicalConversion conversion);

// The physical value of a .bin value for the conversions that need no session
// calibration (unchanged, fahrenheitToCelsius); acceleration goes through
// accelCalibration::apply.
// Inline: the passes convert every sample of a channel.
inline double physicalValue(physicalConversion conversion, double binValue) {
    if (conversion == physicalConversion::fahrenheitToCelsius) return (binValue - 32.0) * 5.0 / 9.0;
    return binValue;
}

}  // namespace sensconv
