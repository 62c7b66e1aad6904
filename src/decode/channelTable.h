#pragma once
// The fixed table of sensor channels of both boards: identities, file names, units.

#include <array>
#include <cstdint>

namespace sensconv {

struct channelInfo {
    const char* longName;   // identity everywhere ("qor2/bar_press")
    const char* shortName;  // names output files and statistics keys ("BarPres")
    const char* unit;       // nullptr where the channel has none
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

}  // namespace sensconv
