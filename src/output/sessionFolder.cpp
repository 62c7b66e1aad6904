#include "output/sessionFolder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <cstdlib>

#include <sndfile.h>

#include "common/outputLayout.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

using json = nlohmann::json;

// session.json is a few hundred kilobytes for a week; anything far larger is not ours.
constexpr std::uintmax_t maxSessionJsonBytes = 256u << 20;
constexpr size_t sparseLineMax = 32;
// Anchors must lie between 1970 and 2200: outside, the nanosecond arithmetic is not safe.
constexpr double maxUnixSeconds = 7.3e9;
constexpr double maxRateHz = 1e6;

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

// A name session.json gives for a file of the folder: one plain name, no separator,
// not "." or "..", so the file lies in the folder itself.
bool isPlainName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The size of a plain file of the folder (no link, no directory), or nothing.
std::optional<std::uintmax_t> plainFileSize(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status)) return std::nullopt;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return std::nullopt;
    return size;
}

// Whole nanoseconds of seconds since 1970, as the Python reader's seconds_to_ns rounds
// them (the fraction's nanoseconds, halves to even).
int64_t nanosecondsOf(double unixSeconds) {
    const double whole = std::floor(unixSeconds);
    return static_cast<int64_t>(whole) * 1'000'000'000 + static_cast<int64_t>(std::nearbyint((unixSeconds - whole) * 1e9));
}

template <typename T>
bool fetch(const json& object, const char* key, T& out) {
    if (!object.is_object()) return false;
    const auto it = object.find(key);
    if (it == object.end()) return false;
    if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string()) return false;
        out = it->get<std::string>();
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean()) return false;
        out = it->get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        if (!it->is_number_integer()) return false;
        out = it->get<T>();
    } else {
        if (!it->is_number()) return false;
        out = it->get<T>();
        if (!std::isfinite(out)) return false;
    }
    return true;
}

std::string missing(const char* key, const std::string& where) {
    return std::string("session.json has no valid \"") + key + "\"" + (where.empty() ? "" : " in " + where);
}

// The applied calibration (milligrams become g); the nominal one where there is none.
std::string readCalibration(const json& doc, accelCalibration& calibration) {
    calibration = accelCalibration{};
    const auto it = doc.find("accelerometerCalibration");
    if (it == doc.end() || it->is_null()) return {};
    if (!it->is_object()) return "session.json: \"accelerometerCalibration\" is not an object";
    const auto triple = [&](const char* key, std::array<double, 3>& out, double scale) -> bool {
        const auto v = it->find(key);
        if (v == it->end() || !v->is_array() || v->size() != 3) return false;
        for (size_t i = 0; i < 3; ++i) {
            if (!(*v)[i].is_number()) return false;
            const double x = (*v)[i].get<double>();
            if (!std::isfinite(x)) return false;
            out[i] = x / scale;
        }
        return true;
    };
    if (!triple("offsetMg", calibration.offsetG, 1000.0)) return missing("offsetMg", "accelerometerCalibration");
    if (!triple("gain", calibration.gain, 1.0)) return missing("gain", "accelerometerCalibration");
    if (!triple("temperatureCoefficientMgPerC", calibration.temperatureCoefficientGPerC, 1000.0)) {
        return missing("temperatureCoefficientMgPerC", "accelerometerCalibration");
    }
    if (!fetch(*it, "referenceTemperatureC", calibration.referenceTemperatureC)) {
        return missing("referenceTemperatureC", "accelerometerCalibration");
    }
    return {};
}

std::string readChannel(const json& entry, int fileCount, folderChannel& c) {
    if (!fetch(entry, "name", c.name)) return missing("name", "a channel");
    const std::string where = "channel " + inQuotes(c.name);
    std::string longName;
    if (!fetch(entry, "longName", longName)) return missing("longName", where);
    c.info = findChannel(longName);
    if (c.info == nullptr) return "session.json: " + where + " has the unknown longName " + inQuotes(longName);
    const std::string expectedName = c.info->longName == std::string("qor2/audio") ? audioChannelName : c.info->shortName;
    if (c.name != expectedName) return "session.json: " + where + " is not the name of " + longName;
    if (!fetch(entry, "board", c.board) || (c.board != "qor2" && c.board != "jux") ||
        longName.compare(0, c.board.size() + 1, c.board + "/") != 0) {
        return missing("board", where);
    }
    if (!fetch(entry, "rate", c.rate) || c.rate < 0 || c.rate > maxRateHz) return missing("rate", where);
    if (!fetch(entry, "samples", c.samples) || c.samples < 0) return missing("samples", where);
    if (c.samples > 0 && !(c.rate > 0)) return "session.json: " + where + " has samples but no rate";
    if (!fetch(entry, "filledSamples", c.filledSamples) || c.filledSamples < 0 || c.filledSamples > c.samples) {
        return missing("filledSamples", where);
    }
    if (!fetch(entry, "file", c.file)) return missing("file", where);
    const std::string expectedFile =
        c.isAudio() ? std::string(outputLayout::audioFileName) : outputLayout::channelDataFileName(c.name);
    if (c.file != expectedFile) return "session.json: " + where + " names the file " + inQuotes(c.file);
    const auto sparse = entry.find("sparseFile");
    if (sparse == entry.end()) return missing("sparseFile", where);
    if (sparse->is_string()) {
        c.sparseFile = sparse->get<std::string>();
        if (c.isAudio() || c.sparseFile != outputLayout::channelSparseFileName(c.name)) {
            return "session.json: " + where + " names the file " + inQuotes(c.sparseFile);
        }
    } else if (!sparse->is_null()) {
        return missing("sparseFile", where);
    }
    if (!c.isAudio() && c.sparseFile.empty() && c.filledSamples != 0) return "session.json: " + where + " has filled samples but no .sparse file";
    const auto anchors = entry.find("anchors");
    if (anchors == entry.end() || !anchors->is_array()) return missing("anchors", where);
    for (const json& a : *anchors) {
        folderAnchor anchor;
        if (!fetch(a, "file", anchor.file) || anchor.file < 0 || anchor.file >= fileCount) {
            return missing("file", "an anchor of " + where);
        }
        if (!fetch(a, "index", anchor.index)) return missing("index", "an anchor of " + where);
        if (!fetch(a, "unixSeconds", anchor.unixSeconds) || std::fabs(anchor.unixSeconds) > maxUnixSeconds) {
            return missing("unixSeconds", "an anchor of " + where);
        }
        anchor.unixNs = nanosecondsOf(anchor.unixSeconds);
        const bool rises = c.anchors.empty() ? anchor.index == 0
                                             : anchor.index >= c.anchors.back().index && anchor.file > c.anchors.back().file;
        if (!rises || anchor.index > c.samples) {
            return "session.json: the anchors of " + where + " do not rise from 0 within its samples";
        }
        c.anchors.push_back(anchor);
    }
    if (c.samples > 0 && c.anchors.empty()) return "session.json: " + where + " has samples but no anchor";
    return {};
}

std::string checkFiles(const sessionFolder& folder, const folderChannel& c) {
    const std::string path = folder.path(c.file);
    const auto size = plainFileSize(path);
    if (!size) return path + " is missing or not a plain file";
    if (c.isAudio()) {
        SF_INFO info{};
        SNDFILE* sound = sf_open(path.c_str(), SFM_READ, &info);
        if (sound == nullptr) return path + " is not a readable WAV file (" + sf_strerror(nullptr) + ")";
        sf_close(sound);
        if (info.channels != 1 || info.frames != c.samples || std::fabs(info.samplerate - c.rate) > 1e-9) {
            return path + " holds " + std::to_string(info.frames) + " samples at " + std::to_string(info.samplerate) +
                   " Hz, session.json says " + std::to_string(c.samples);
        }
        return {};
    }
    if (*size != static_cast<std::uintmax_t>(c.samples) * sizeof(float)) {
        return path + " is " + std::to_string(*size) + " bytes long; session.json says " + std::to_string(c.samples) +
               " samples (" + std::to_string(c.samples * 4) + " bytes)";
    }
    if (!c.sparseFile.empty() && !plainFileSize(folder.path(c.sparseFile))) {
        return folder.path(c.sparseFile) + " is missing or not a plain file";
    }
    return {};
}

}  // namespace

int64_t folderChannel::sampleNs(size_t k, int64_t i) const {
    const double periodNs = 1e9 / rate;
    return anchors[k].unixNs + static_cast<int64_t>(std::nearbyint(static_cast<double>(i - anchors[k].index) * periodNs));
}

const folderChannel* sessionFolder::find(const std::string& name) const {
    for (const folderChannel& c : channels) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

std::string readSessionFolder(const std::string& directory, sessionFolder& folder) {
    folder = sessionFolder{};
    folder.directory = platform::withTrailingSeparator(directory);
    std::filesystem::path own(directory);
    while (!own.empty() && own.filename().empty()) own = own.parent_path();
    folder.part = own.filename().string();
    if (!platform::isDirectory(directory)) return "it is not a directory";

    const std::string jsonPath = folder.path(outputLayout::sessionSummaryFileName);
    const auto size = plainFileSize(jsonPath);
    if (!size) return jsonPath + " is missing or not a plain file";
    if (*size > maxSessionJsonBytes) return jsonPath + " is too large to be a session summary";
    std::ifstream stream(jsonPath, std::ios::binary);
    folder.json = json::parse(stream, nullptr, false);
    if (folder.json.is_discarded() || !folder.json.is_object()) return jsonPath + " is not valid JSON";
    const json& doc = folder.json;

    int version = 0;
    if (!fetch(doc, "schemaVersion", version) || version < 1 || version > 2) return missing("schemaVersion", "");
    int status = 0;
    if (!fetch(doc, "status", status)) return missing("status", "");
    if (status != 0) return "its conversion ended with status " + std::to_string(status);
    const auto files = doc.find("files");
    if (files == doc.end() || !files->is_array()) return missing("files", "");
    for (size_t i = 0; i < files->size(); ++i) {
        int index = -1;
        if (!fetch((*files)[i], "index", index) || index != static_cast<int>(i)) return missing("index", "files");
    }
    folder.fileCount = static_cast<int>(files->size());
    if (std::string error = readCalibration(doc, folder.calibration); !error.empty()) return error;

    const auto channels = doc.find("channels");
    if (channels == doc.end() || !channels->is_array()) return missing("channels", "");
    for (const json& entry : *channels) {
        folderChannel c;
        if (std::string error = readChannel(entry, folder.fileCount, c); !error.empty()) return error;
        if (folder.find(c.name) != nullptr) return "session.json lists channel " + inQuotes(c.name) + " twice";
        folder.channels.push_back(std::move(c));
    }
    for (const folderChannel& c : folder.channels) {
        if (std::string error = checkFiles(folder, c); !error.empty()) return error;
    }

    const auto gps = doc.find("gps");
    if (gps != doc.end() && gps->is_object()) {
        const auto csv = gps->find("csv");
        if (csv != gps->end() && csv->is_string()) {
            folder.gpsCsv = csv->get<std::string>();
            if (!isPlainName(folder.gpsCsv)) return "session.json names the GPS table " + inQuotes(folder.gpsCsv);
            if (!plainFileSize(folder.path(folder.gpsCsv))) return folder.path(folder.gpsCsv) + " is missing";
        }
    }
    return {};
}

// -- sparseCursor -------------------------------------------------------------

std::string sparseCursor::open(const sessionFolder& folder, const folderChannel& channel) {
    file_.reset();
    next_ = -1;
    last_ = -1;
    read_ = 0;
    samples_ = channel.samples;
    expected_ = channel.filledSamples;
    error_.clear();
    if (channel.sparseFile.empty()) return {};
    const std::string path = folder.path(channel.sparseFile);
    file_.reset(platform::openForReading(path));
    if (!file_) return path + " cannot be opened (" + std::strerror(errno) + ")";
    error_.clear();
    advance();
    if (!error_.empty()) error_ = path + ": " + error_;
    return error_;
}

bool sparseCursor::advance() {
    if (!file_) {
        next_ = -1;
        return false;
    }
    char line[sparseLineMax];
    size_t length = 0;
    int ch = 0;
    while ((ch = std::fgetc(file_.get())) != EOF && ch != '\n') {
        if (length + 1 >= sparseLineMax) break;
        line[length++] = static_cast<char>(ch);
    }
    if (ch == EOF && length == 0) {
        if (std::ferror(file_.get())) error_ = "read error";
        else if (read_ != expected_) {
            error_ = "lists " + std::to_string(read_) + " filled samples, session.json " + std::to_string(expected_);
        }
        next_ = -1;
        file_.reset();
        return false;
    }
    line[length] = '\0';
    int64_t position = 0;
    size_t i = 0;
    for (; i < length && line[i] >= '0' && line[i] <= '9'; ++i) position = position * 10 + (line[i] - '0');
    if (ch != '\n' || i == 0 || i > 18 || std::strcmp(line + i, ",1") != 0) {
        error_ = "line " + std::to_string(read_ + 1) + " is not a position,1 line";
    } else if (position <= last_ || position >= samples_) {
        error_ = "position " + std::to_string(position) + " does not rise within the channel's " +
                 std::to_string(samples_) + " samples";
    }
    if (!error_.empty()) {
        next_ = -1;
        file_.reset();
        return false;
    }
    ++read_;
    last_ = next_ = position;
    return true;
}

bool sparseCursor::filled(int64_t position) {
    return nextAtOrAfter(position) == position;
}

int64_t sparseCursor::nextAtOrAfter(int64_t position) {
    while (next_ >= 0 && next_ < position) advance();
    return next_;
}

// -- physicalReader -------------------------------------------------------------

std::string physicalReader::readFloats(std::FILE* file, const std::string& path, int64_t position, int64_t count,
                                       std::vector<float>& out) {
    out.resize(static_cast<size_t>(count));
    if (count == 0) return {};
    if (!platform::seekTo(file, position * static_cast<int64_t>(sizeof(float)))) return path + ": cannot seek";
    if (std::fread(out.data(), sizeof(float), out.size(), file) != out.size()) {
        return path + " ends before sample " + std::to_string(position + count) + " (it changed while being read)";
    }
    static_assert(std::numeric_limits<float>::is_iec559);
    // The .bin files are little-endian; so is every machine this runs on, which the
    // build's endianness check makes sure of.
    return {};
}

std::string physicalReader::open(const sessionFolder& folder, const folderChannel& channel) {
    channel_ = &channel;
    path_ = folder.path(channel.file);
    file_.reset(platform::openForReading(path_));
    if (!file_) return path_ + " cannot be opened (" + std::strerror(errno) + ")";
    conversion_ = channel.info->conversion;
    calibration_ = folder.calibration;
    if (conversion_ == physicalConversion::accelerometerCalibration) {
        axis_ = channel.info == &qor2ChannelTable[qor2XAccel]   ? 0
                : channel.info == &qor2ChannelTable[qor2YAccel] ? 1
                                                                : 2;
        temperature_ = folder.find(qor2ChannelTable[qor2Temp].shortName);
        if (temperature_ != nullptr && temperature_->samples > 0 && temperature_->rate > 0) {
            temperaturePath_ = folder.path(temperature_->file);
            temperatureFile_.reset(platform::openForReading(temperaturePath_));
            if (!temperatureFile_) return temperaturePath_ + " cannot be opened (" + std::strerror(errno) + ")";
        } else {
            temperature_ = nullptr;
            if (calibration_.temperatureCoefficientGPerC != std::array<double, 3>{0.0, 0.0, 0.0}) {
                return "the acceleration's calibration has a temperature term but the session has no temperature (BarTemp)";
            }
        }
        temperatureBlock_.clear();
    }
    return {};
}

std::string physicalReader::read(int64_t position, int64_t count, std::vector<double>& values) {
    if (std::string error = readFloats(file_.get(), path_, position, count, raw_); !error.empty()) return error;
    values.resize(raw_.size());
    if (conversion_ != physicalConversion::accelerometerCalibration) {
        for (size_t i = 0; i < raw_.size(); ++i) values[i] = physicalValue(conversion_, raw_[i]);
        return {};
    }
    constexpr int64_t temperatureBlock = 4096;
    for (size_t i = 0; i < raw_.size(); ++i) {
        double temperature = calibration_.referenceTemperatureC;
        if (temperature_ != nullptr) {
            const int64_t t = temperatureIndexFor(position + static_cast<int64_t>(i), channel_->rate, temperature_->rate,
                                                  temperature_->samples);
            if (t < temperatureStart_ || t >= temperatureStart_ + static_cast<int64_t>(temperatureBlock_.size())) {
                temperatureStart_ = t;
                const int64_t n = std::min(temperatureBlock, temperature_->samples - t);
                if (std::string error = readFloats(temperatureFile_.get(), temperaturePath_, t, n, temperatureBlock_);
                    !error.empty()) {
                    return error;
                }
            }
            temperature = temperatureBlock_[static_cast<size_t>(t - temperatureStart_)];
        }
        values[i] = calibration_.apply(axis_, raw_[i], temperature);
    }
    return {};
}

// -- units --------------------------------------------------------------------

std::optional<unitText> udunitsOf(const char* ucum) {
    const std::string u = ucum;
    if (u == "hPa") return unitText{"hPa", 1.0};
    if (u == "Cel") return unitText{"degree_Celsius", 1.0};
    if (u == "[g]") return unitText{"m s-2", standardGravity};
    if (u == "lx") return unitText{"lx", 1.0};
    if (u == "%") return unitText{"percent", 1.0};
    if (u == "deg") return unitText{"degree", 1.0};
    if (u == "{count}") return unitText{"1", 1.0};
    return std::nullopt;
}

std::optional<unitText> edfDimensionOf(const char* ucum) {
    const std::string u = ucum;
    if (u == "hPa") return unitText{"hPa", 1.0};
    if (u == "Cel") return unitText{"degC", 1.0};
    if (u == "[g]") return unitText{"g", 1.0};
    if (u == "lx") return unitText{"lx", 1.0};
    if (u == "%") return unitText{"%", 1.0};
    if (u == "deg") return unitText{"deg", 1.0};
    if (u == "{count}") return unitText{"count", 1.0};
    return std::nullopt;
}

}  // namespace sensconv

namespace sensconv {

std::string stagedPath(const std::string& finalPath) {
    const std::filesystem::path p(finalPath);
    return (p.parent_path() / ("." + p.filename().string() + ".partial")).string();
}

std::string putInPlace(const std::string& staged, const std::string& finalPath) {
    std::error_code ec;
    std::filesystem::rename(staged, finalPath, ec);
    if (!ec) return {};
    discardStaged(staged);
    return "unable to rename " + staged + " to " + finalPath + " (" + ec.message() + ")";
}

void discardStaged(const std::string& staged) {
    platform::removeFile(staged);
}

std::optional<int64_t> parseUtcText(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    char z = 0;
    if (text.size() != 24 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &year, &month, &day, &hour,
                                         &minute, &second, &ms, &z) != 8 || z != 'Z') {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    // Days since 1970 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153u * static_cast<unsigned>(month + (month > 2 ? -3 : 9)) + 2u) / 5u + static_cast<unsigned>(day) - 1u;
    const unsigned doe = yoe * 365u + yoe / 4u - yoe / 100u + doy;
    const int64_t days = static_cast<int64_t>(era) * 146097 + static_cast<int64_t>(doe) - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60000 + static_cast<int64_t>(second) * 1000 + ms;
}

std::string gpsFixReader::open(const sessionFolder& folder) {
    open_ = false;
    row_ = 0;
    error_.clear();
    if (folder.gpsCsv.empty()) return {};
    path_ = folder.path(folder.gpsCsv);
    stream_.open(path_, std::ios::binary);
    if (!stream_) return path_ + " cannot be opened";
    if (!std::getline(stream_, line_) ||
        line_ != "utc,session_ms,latitude_deg,longitude_deg,altitude_m,speed_mps,course_deg,fix_type,satellites,hdop,source") {
        return path_ + " does not begin with the GPS table's header";
    }
    open_ = true;
    return {};
}

bool gpsFixReader::next(gpsFix& fix) {
    if (!open_) return false;
    if (!std::getline(stream_, line_)) {
        open_ = false;
        if (stream_.bad()) error_ = path_ + ": read error";
        return false;
    }
    ++row_;
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma; (comma = line_.find(',', start)) != std::string::npos; start = comma + 1) {
        fields.push_back(line_.substr(start, comma - start));
    }
    fields.push_back(line_.substr(start));
    const auto number = [](const std::string& text, double& out) {
        if (text.empty()) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        char* end = nullptr;
        out = std::strtod(text.c_str(), &end);
        return end == text.c_str() + text.size() && std::isfinite(out);
    };
    double fixType = 0, satellites = 0;
    const auto utc = fields.size() == 11 ? parseUtcText(fields[0]) : std::nullopt;
    if (!utc || !number(fields[2], fix.latitudeDeg) || !number(fields[3], fix.longitudeDeg) ||
        !number(fields[4], fix.altitudeM) || !number(fields[5], fix.speedMps) || !number(fields[6], fix.courseDeg) ||
        !number(fields[7], fixType) || !number(fields[8], satellites) || !number(fields[9], fix.hdop) ||
        !(std::fabs(fixType) < 1e9) || !(std::fabs(satellites) < 1e9)) {
        error_ = path_ + ": row " + std::to_string(row_) + " is not a fix of the GPS table";
        open_ = false;
        return false;
    }
    fix.unixMs = *utc;
    fix.fixType = static_cast<int>(fixType);
    fix.satellites = static_cast<int>(satellites);
    return true;
}

}  // namespace sensconv
