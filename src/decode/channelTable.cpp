#include "decode/channelTable.h"

#include "container/snsrHeader.h"

namespace sensconv {

// Each row's physical meaning follows from the decoder's formula for the channel:
// - audio: the microphone word minus 32768, a sample of the board's converter with
//   no acoustic scale: a count.
// - bar_press: X / 32 + 250 is the barometer's compensated pressure in millibar,
//   that is hectopascal (about 1013 at sea level); the .meta text "bar" is kept.
// - compass: h / 10 is the heading in degrees.
// - hf_vis_light: the light-to-frequency sensor's count rescaled by its divider; the
//   board gives no irradiance scale for it: a count.
// - humidity: the humidity sensor's linearised, temperature-compensated relative
//   humidity in per cent.
// - vis_light, ir_light: the light sensor's chord/step code expanded to its ADC
//   count; counts, not lux.
// - amb_light: vis × 0.46 × e^(−3.13 × ir / vis) is the light sensor's lux formula.
// - temp: F / 10 is the barometer's temperature in tenths of a degree Celsius made
//   degrees (about 24 indoors); the .meta text says Fahrenheit and is kept.
// - temp_sensiron: t × 0.01 − 39.634 is the humidity sensor's temperature in degrees
//   Celsius.
// - x/y/z_accel: x / 16383 spans 0 to 4 g with zero acceleration near 2 g; the
//   session's calibration gives acceleration in g (accelCalibration.h).
// - mag_accel: the norm of the three uncorrected values, about 3.5 at rest; it is no
//   acceleration, so it stays a count of its own kind.
// - power, jux/power: never receive values.
// - gyro rates and magnetometer fields: the board's signed words unchanged: counts.
// - gyro temperatures: (w / 110 + 298) × 1.8 − 459.67 is the Kelvin value w / 110 + 298
//   in degrees Fahrenheit; made Celsius again.
const std::array<channelInfo, numQor2Channels> qor2ChannelTable = {{
    {"qor2/audio", "audio", nullptr, "microphone signal", "{count}",
     physicalConversion::unchanged, true, rateSetting::mic},
    {"qor2/bar_press", "BarPres", "bar", "air pressure", "hPa", physicalConversion::unchanged, false, rateSetting::bar},
    {"qor2/compass", "compass", "degrees", "compass heading", "deg",
     physicalConversion::unchanged, false, rateSetting::comp},
    {"qor2/hf_vis_light", "visFreqLight", nullptr, "visible light (light-to-frequency sensor)", "{count}",
     physicalConversion::unchanged, true, rateSetting::amb},
    {"qor2/humidity", "ShtHumid", "% relative humidity", "relative humidity", "%", physicalConversion::unchanged,
     false, rateSetting::hum},
    {"qor2/ir_light", "IRLight", nullptr, "infrared light (light sensor channel 1)", "{count}",
     physicalConversion::unchanged, true, rateSetting::dals},
    {"qor2/amb_light", "AmbientLight", nullptr, "ambient light (illuminance)", "lx", physicalConversion::unchanged,
     false, rateSetting::dals},
    {"qor2/temp", "BarTemp", "degrees fahrenheit", "temperature at the barometer (main board)", "Cel",
     physicalConversion::unchanged, false, rateSetting::bar},
    {"qor2/temp_sensiron", "ShtTemp", "degrees fahrenheit", "temperature at the humidity sensor", "Cel",
     physicalConversion::unchanged, false, rateSetting::hum},
    {"qor2/vis_light", "VisLight", nullptr, "visible light (light sensor channel 0)", "{count}",
     physicalConversion::unchanged, true, rateSetting::dals},
    {"qor2/x_accel", "accel", "Gs", "acceleration, x axis", "[g]", physicalConversion::accelerometerCalibration,
     false, rateSetting::acc},
    {"qor2/y_accel", "accelY", "Gs", "acceleration, y axis", "[g]", physicalConversion::accelerometerCalibration,
     false, rateSetting::acc},
    {"qor2/z_accel", "accelZ", "Gs", "acceleration, z axis", "[g]", physicalConversion::accelerometerCalibration,
     false, rateSetting::acc},
    {"qor2/mag_accel", "accelMag", "Gs", "norm of the uncorrected accelerometer values (not an acceleration)",
     "{count}", physicalConversion::unchanged, true, rateSetting::acc},
    {"qor2/power", "power", nullptr, "main board power report", "{count}",
     physicalConversion::unchanged, true, rateSetting::powr},
}};

const std::array<channelInfo, numJuxChannels> juxChannelTable = {{
    {"jux/x_gyro", "gyro", "degrees", "angular rate, x axis", "{count}",
     physicalConversion::unchanged, true, rateSetting::gyro},
    {"jux/y_gyro", "gyroY", "degrees", "angular rate, y axis", "{count}",
     physicalConversion::unchanged, true, rateSetting::gyro},
    {"jux/z_gyro", "gyroZ", "degrees", "angular rate, z axis", "{count}",
     physicalConversion::unchanged, true, rateSetting::gyro},
    {"jux/x_gyroTemp", "gyroTemp", "degrees fahrenheit", "temperature at the x gyroscope", "Cel",
     physicalConversion::fahrenheitToCelsius, false, rateSetting::gyro},
    {"jux/y_gyroTemp", "gyroTempY", "degrees fahrenheit", "temperature at the y gyroscope", "Cel",
     physicalConversion::fahrenheitToCelsius, false, rateSetting::gyro},
    {"jux/z_gyroTemp", "gyroTempZ", "degrees fahrenheit", "temperature at the z gyroscope", "Cel",
     physicalConversion::fahrenheitToCelsius, false, rateSetting::gyro},
    {"jux/x_mag", "mag", nullptr, "magnetic field, x axis", "{count}",
     physicalConversion::unchanged, true, rateSetting::mag},
    {"jux/y_mag", "magY", nullptr, "magnetic field, y axis", "{count}",
     physicalConversion::unchanged, true, rateSetting::mag},
    {"jux/z_mag", "magZ", nullptr, "magnetic field, z axis", "{count}",
     physicalConversion::unchanged, true, rateSetting::mag},
    {"jux/power", "juxpower", nullptr, "second board power report", "{count}",
     physicalConversion::unchanged, true, rateSetting::powr},
}};

const channelInfo* findChannel(std::string_view longName) {
    for (const channelInfo& info : qor2ChannelTable) {
        if (longName == info.longName) return &info;
    }
    for (const channelInfo& info : juxChannelTable) {
        if (longName == info.longName) return &info;
    }
    return nullptr;
}

double scheduledRate(const channelInfo& channel, const qor2Settings& settings) {
    switch (channel.rate) {
        case rateSetting::mic: return settings.mic * 10.0;
        case rateSetting::bar: return settings.bar;
        case rateSetting::comp: return settings.comp;
        case rateSetting::amb: return settings.amb;
        case rateSetting::hum: return settings.hum;
        case rateSetting::dals: return settings.dals;
        case rateSetting::acc: return settings.acc;
        case rateSetting::powr: return settings.powr;
        case rateSetting::gyro:
        case rateSetting::mag: break;
    }
    return 0.0;
}

double scheduledRate(const channelInfo& channel, const juxSettings& settings) {
    switch (channel.rate) {
        case rateSetting::gyro: return settings.gyro;
        case rateSetting::mag: return settings.mag;
        case rateSetting::powr: return settings.powr;
        default: break;
    }
    return 0.0;
}

const char* conversionName(physicalConversion conversion) {
    switch (conversion) {
        case physicalConversion::unchanged: return "unchanged";
        case physicalConversion::fahrenheitToCelsius: return "fahrenheitToCelsius";
        case physicalConversion::accelerometerCalibration: return "accelerometerCalibration";
    }
    return "unchanged";
}

}  // namespace sensconv
