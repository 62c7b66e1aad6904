#include "snsrsim/simOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "common/textFormat.h"

namespace snsrsim {

using sensconv::formatText;

namespace {

bool parseDouble(const std::string& text, double& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

bool parseInteger(const std::string& text, int64_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    out = value;
    return true;
}

// A rate in hertz as tenths of a hertz; only whole tenths can be stored in a header.
bool parseRate(const std::string& text, int32_t& tenths) {
    double hz = 0.0;
    if (!parseDouble(text, hz) || hz < 0.0 || hz > 1.0e6) return false;
    const double scaled = hz * 10.0;
    const double rounded = std::round(scaled);
    if (std::fabs(scaled - rounded) > 1e-6) return false;
    tenths = static_cast<int32_t>(rounded);
    return true;
}

bool parseStreams(const std::string& text, streamSelection& streams) {
    streamSelection chosen{false, false, false, false, false};
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name == "qor2") chosen.qor2 = true;
        else if (name == "mic") chosen.mic = true;
        else if (name == "jux") chosen.jux = true;
        else if (name == "gps") chosen.gps = true;
        else if (name == "camera") chosen.camera = true;
        else if (name == "all") chosen = streamSelection{};
        else return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    streams = chosen;
    return true;
}

bool parseGpsMessages(const std::string& text, simOptions& options) {
    if (text == "2") {
        options.gpsMeasured = true;
        options.gpsGeodetic = false;
    } else if (text == "41") {
        options.gpsMeasured = false;
        options.gpsGeodetic = true;
    } else if (text == "2,41" || text == "41,2") {
        options.gpsMeasured = options.gpsGeodetic = true;
    } else {
        return false;
    }
    return true;
}

bool parseImageSize(const std::string& text, int32_t& width, int32_t& height) {
    const size_t x = text.find('x');
    if (x == std::string::npos) return false;
    int64_t w = 0;
    int64_t h = 0;
    if (!parseInteger(text.substr(0, x), w) || !parseInteger(text.substr(x + 1), h)) return false;
    if (w < 48 || h < 24 || w > 2048 || h > 2048) return false;
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

std::string validate(const simOptions& o) {
    if (o.outputDir.empty()) return "the output directory must not be empty";
    if (o.filesPerSession < 1 || o.filesPerSession > 1000) return "--files must be between 1 and 1000";
    if (o.sessions < 1 || o.sessions > 100) return "--sessions must be between 1 and 100";
    if (o.sizeMB <= 0.0 && !(o.durationSec > 0.0 && o.durationSec <= 30.0 * 86400.0))
        return "--duration must be above 0 and at most 30 days";
    if (o.sizeMB < 0.0 || o.sizeMB > 100000.0) return "--size must be between 0 and 100000 MB";
    if (o.gapSec < 0.0 || o.gapSec > 86400.0 * 365) return "--gap must be between 0 and a year";
    if (o.fileGapSec < 0.0 || o.fileGapSec > 3600.0) return "--file-gap must be between 0 and 3600 s";
    for (double drift : {o.qor2DriftPpm, o.juxDriftPpm}) {
        if (!(drift >= -1000.0 && drift <= 1000.0)) return "clock drifts must be between -1000 and 1000 ppm";
    }
    if (o.startTime < 0 || o.startTime > 4102444800) return "--start-time must lie between 1970 and 2100";
    if (o.streams.gps && o.startTime < 315964800) return "the GPS receiver needs a start time after 1980-01-06";
    if (std::fabs(o.clockOffsetSec) > 86400.0 * 3650) return "--clock-offset must be within ten years";
    if (o.startTime * 1000.0 + o.clockOffsetSec * 1000.0 < 0.0) return "--clock-offset must not put the recorder's clock before 1970";
    if (o.qor2Intmax < 100 || o.qor2Intmax > 65535) return "--qor2-intmax must be between 100 and 65535";
    if (o.juxIntmax < 100 || o.juxIntmax > 65535) return "--jux-intmax must be between 100 and 65535";
    if (o.startPeriod < -1 || o.startPeriod > 255) return "--start-period must be between 0 and 255";
    if (!o.streams.qor2 && (o.streams.mic || o.streams.gps || o.streams.camera))
        return "audio, GPS and camera need the main board (qor2): its clock times them";
    if (!o.streams.qor2 && !o.streams.jux) return "choose at least one board (qor2 or jux)";
    // A sensor reading must be placeable within half a sample period of its slot.
    const auto fits = [](int32_t rate, int32_t intmax) { return rate <= intmax * 2 / 5; };
    const sensorRates& r = o.rates;
    for (int32_t rate : {r.acc, r.amb, r.bar, r.comp, r.dals, r.hum, r.powr}) {
        if (!fits(rate, o.qor2Intmax)) return "a main-board sensor rate is too high for the board's clock";
    }
    for (int32_t rate : {r.gyro, r.mag}) {
        if (!fits(rate, o.juxIntmax)) return "a second-board sensor rate is too high for the board's clock";
    }
    if (o.streams.mic) {
        if (o.audioRateHz < 100) return "--audio-rate must be at least 100 Hz";
        // At most 63 samples fit one audio packet, and a packet needs a tick of its own.
        if (static_cast<int64_t>(o.audioRateHz) * 10 > static_cast<int64_t>(o.qor2Intmax) * 20)
            return "--audio-rate is too high for the main board's clock";
    }
    if (o.imageIntervalSec < 1.0 || o.imageIntervalSec > 3600.0) return "--image-interval must be between 1 and 3600 s";
    const damageSettings& d = o.damage;
    for (double rate : {d.dropRate, d.corruptRate, d.badChecksumRate}) {
        if (rate < 0.0 || rate > 0.5) return "damage rates must be between 0 and 0.5";
    }
    if (d.badImages < 0 || d.badImages > 1000) return "--bad-images must be between 0 and 1000";
    const accelErrorSettings& a = o.accelErrors;
    for (size_t k = 0; k < 3; ++k) {
        if (std::fabs(a.offsetMg[k]) > 500.0) return "--accel-offset must be within 500 mg";
        if (std::fabs(a.gainErrorPercent[k]) > 20.0) return "--accel-gain must be within 20 per cent";
        if (std::fabs(a.temperatureCoefficientMgPerC[k]) > 20.0) return "--accel-temperature must be within 20 mg/C";
    }
    return {};
}

}  // namespace

std::string helpText() {
    return "snsrsim: writes simulated .snsr recordings of a person wearing the recorder\n"
           "\n"
           "usage: snsrsim [options]\n"
           "\n"
           "Output\n"
           "  --out DIR             directory for the .snsr files (default: recording)\n"
           "  --truth DIR           also write what a correct conversion must contain\n"
           "                        (see tools/snsrsim/README.md)\n"
           "  --seed N              the same seed gives the same bytes (default: 1)\n"
           "  --quiet               print nothing but errors\n"
           "\n"
           "Recording\n"
           "  --duration SEC        seconds per session (default: 120)\n"
           "  --size MB             megabytes per session instead of a duration\n"
           "  --files N             files per session (default: 2)\n"
           "  --sessions N          sessions, separated by --gap (default: 1)\n"
           "  --gap SEC             pause between sessions; the converter splits sessions\n"
           "                        at gaps above 60 s (default: 300)\n"
           "  --file-gap SEC        pause between the files of a session (default: 0)\n"
           "  --start-time SEC      start, seconds since 1970 UTC (default: 1741944600)\n"
           "  --streams LIST        comma-separated from qor2,mic,jux,gps,camera or all\n"
           "                        (default: all)\n"
           "  --clock-offset SEC    the recorder's clock runs SEC ahead of UTC (negative:\n"
           "                        behind): file start times and names shift, the GPS\n"
           "                        receiver keeps UTC (default: 0)\n"
           "  --schedule            the wearer's days: nights of sleep, the device taken\n"
           "                        off (10 min to 8 h) and left on a table, walks and runs;\n"
           "                        with --truth also wear.csv and removals.csv\n"
           "  --gps-messages LIST   navigation messages the GPS receiver sends: 2, 41 or\n"
           "                        2,41 (default: 2,41)\n"
           "\n"
           "Boards\n"
           "  --audio-rate HZ       microphone rate (default: 8000)\n"
           "  --rate NAME=HZ        sensor rate; NAME is acc, amb, bar, comp, dals, hum,\n"
           "                        powr, gyro or mag (defaults: 40, 2, 1, 5, 2, 0.5, 0,\n"
           "                        50, 10)\n"
           "  --qor2-intmax N       main-board ticks per 10 s period (default: 40000)\n"
           "  --jux-intmax N        second-board ticks per 10 s period (default: 20000)\n"
           "  --qor2-drift PPM      how much faster the main board's clock runs than the\n"
           "                        recorder's (default: 0)\n"
           "  --jux-drift PPM       the same for the second board (default: 0)\n"
           "  --start-period N      period counter (0-255) at each session's start;\n"
           "                        254 gives a 255->0 roll-over within 20 s\n"
           "                        (default: drawn from the seed)\n"
           "  --image-interval SEC  seconds between camera images (default: 10)\n"
           "  --image-size WxH      camera image size (default: 160x120)\n"
           "\n"
           "Damage (default: none)\n"
           "  --drop P              share of board and GPS packets lost (0 to 0.5)\n"
           "  --corrupt P           share of frames followed by corrupt bytes\n"
           "  --bad-checksum P      share of board packets with a wrong checksum\n"
           "  --bad-images N        images per session whose check segment carries a\n"
           "                        wrong CRC-32\n"
           "  --damaged             shorthand for --drop 0.002 --corrupt 0.001\n"
           "                        --bad-checksum 0.002 --bad-images 1\n"
           "\n"
           "Accelerometer errors (default: none)\n"
           "  --accel-offset X,Y,Z  offsets of the three axes, mg\n"
           "  --accel-gain X,Y,Z    gain errors of the three axes, per cent\n"
           "  --accel-temperature X,Y,Z\n"
           "                        drift of the three axes with the board temperature,\n"
           "                        mg per degree Celsius away from 20 C\n"
           "  --one-orientation     the wearer stays at rest, upright, the whole session\n"
           "\n"
           "  --help                this text\n";
}

parseResult parseOptions(const std::vector<std::string>& args, simOptions& options, std::string& message) {
    using setter = std::function<bool(const std::string&)>;
    const auto setDouble = [](double& target) {
        return setter([&target](const std::string& v) { return parseDouble(v, target); });
    };
    const auto setInt32 = [](int32_t& target) {
        return setter([&target](const std::string& v) {
            int64_t value = 0;
            if (!parseInteger(v, value) || value < INT32_MIN || value > INT32_MAX) return false;
            target = static_cast<int32_t>(value);
            return true;
        });
    };
    std::map<std::string, int32_t*> rateNames = {
        {"acc", &options.rates.acc},   {"amb", &options.rates.amb},   {"bar", &options.rates.bar},
        {"comp", &options.rates.comp}, {"dals", &options.rates.dals}, {"hum", &options.rates.hum},
        {"powr", &options.rates.powr}, {"gyro", &options.rates.gyro}, {"mag", &options.rates.mag},
    };
    const std::map<std::string, setter> valued = {
        {"--out", [&](const std::string& v) { options.outputDir = v; return !v.empty(); }},
        {"--truth", [&](const std::string& v) { options.truthDir = v; return !v.empty(); }},
        {"--seed",
         [&](const std::string& v) {
             int64_t value = 0;
             if (!parseInteger(v, value) || value < 0) return false;
             options.seed = static_cast<uint64_t>(value);
             return true;
         }},
        {"--duration", setDouble(options.durationSec)},
        {"--size", setDouble(options.sizeMB)},
        {"--files", setInt32(options.filesPerSession)},
        {"--sessions", setInt32(options.sessions)},
        {"--gap", setDouble(options.gapSec)},
        {"--file-gap", setDouble(options.fileGapSec)},
        {"--qor2-drift", setDouble(options.qor2DriftPpm)},
        {"--jux-drift", setDouble(options.juxDriftPpm)},
        {"--start-time", [&](const std::string& v) { return parseInteger(v, options.startTime); }},
        {"--streams", [&](const std::string& v) { return parseStreams(v, options.streams); }},
        {"--clock-offset", setDouble(options.clockOffsetSec)},
        {"--gps-messages", [&](const std::string& v) { return parseGpsMessages(v, options); }},
        {"--audio-rate", setInt32(options.audioRateHz)},
        {"--rate",
         [&](const std::string& v) {
             const size_t eq = v.find('=');
             if (eq == std::string::npos) return false;
             const auto found = rateNames.find(v.substr(0, eq));
             return found != rateNames.end() && parseRate(v.substr(eq + 1), *found->second);
         }},
        {"--qor2-intmax", setInt32(options.qor2Intmax)},
        {"--jux-intmax", setInt32(options.juxIntmax)},
        {"--start-period", setInt32(options.startPeriod)},
        {"--image-interval", setDouble(options.imageIntervalSec)},
        {"--image-size",
         [&](const std::string& v) { return parseImageSize(v, options.imageWidth, options.imageHeight); }},
        {"--drop", setDouble(options.damage.dropRate)},
        {"--corrupt", setDouble(options.damage.corruptRate)},
        {"--bad-checksum", setDouble(options.damage.badChecksumRate)},
        {"--bad-images", setInt32(options.damage.badImages)},
        {"--accel-offset", [&](const std::string& v) { return parseTriple(v, options.accelErrors.offsetMg); }},
        {"--accel-gain", [&](const std::string& v) { return parseTriple(v, options.accelErrors.gainErrorPercent); }},
        {"--accel-temperature",
         [&](const std::string& v) { return parseTriple(v, options.accelErrors.temperatureCoefficientMgPerC); }},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") return parseResult::help;
        if (name == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (name == "--one-orientation") {
            options.oneOrientation = true;
            continue;
        }
        if (name == "--schedule") {
            options.schedule = true;
            continue;
        }
        if (name == "--damaged") {
            options.damage = damageSettings{0.002, 0.001, 0.002, 1};
            continue;
        }
        const auto found = valued.find(name);
        if (found == valued.end()) {
            message = formatText("unknown option %s (see --help)", args[i].c_str());
            return parseResult::error;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                message = formatText("option %s needs a value", name.c_str());
                return parseResult::error;
            }
            value = args[++i];
        }
        if (!found->second(value)) {
            message = formatText("invalid value '%s' for %s", value.c_str(), name.c_str());
            return parseResult::error;
        }
    }
    message = validate(options);
    return message.empty() ? parseResult::run : parseResult::error;
}

}  // namespace snsrsim
