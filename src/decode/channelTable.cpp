#include "decode/channelTable.h"

namespace sensconv {

const std::array<channelInfo, numQor2Channels> qor2ChannelTable = {{
    {"qor2/audio", "audio", nullptr},
    {"qor2/bar_press", "BarPres", "bar"},
    {"qor2/compass", "compass", "degrees"},
    {"qor2/hf_vis_light", "visFreqLight", nullptr},
    {"qor2/humidity", "ShtHumid", "%% relative humidity"},
    {"qor2/ir_light", "IRLight", nullptr},
    {"qor2/amb_light", "AmbientLight", nullptr},
    {"qor2/temp", "BarTemp", "degrees fahrenheit"},
    {"qor2/temp_sensiron", "ShtTemp", "degrees fahrenheit"},
    {"qor2/vis_light", "VisLight", nullptr},
    {"qor2/x_accel", "accel", "Gs"},
    {"qor2/y_accel", "accelY", "Gs"},
    {"qor2/z_accel", "accelZ", "Gs"},
    {"qor2/mag_accel", "accelMag", "Gs"},
    {"qor2/power", "power", nullptr},
}};

const std::array<channelInfo, numJuxChannels> juxChannelTable = {{
    {"jux/x_gyro", "gyro", "degrees"},
    {"jux/y_gyro", "gyroY", "degrees"},
    {"jux/z_gyro", "gyroZ", "degrees"},
    {"jux/x_gyroTemp", "gyroTemp", "degrees fahrenheit"},
    {"jux/y_gyroTemp", "gyroTempY", "degrees fahrenheit"},
    {"jux/z_gyroTemp", "gyroTempZ", "degrees fahrenheit"},
    {"jux/x_mag", "mag", nullptr},
    {"jux/y_mag", "magY", nullptr},
    {"jux/z_mag", "magZ", nullptr},
    {"jux/power", "juxpower", nullptr},
}};

}  // namespace sensconv
