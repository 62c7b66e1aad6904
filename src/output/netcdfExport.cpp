#include "output/netcdfExport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <netcdf.h>

#include "common/outputLayout.h"
#include "common/programInfo.h"
#include "output/sessionSummary.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

constexpr double secondsPerChunk = 3600.0;
constexpr int64_t maxChunkElements = int64_t{1} << 20;
constexpr int deflateLevel = 1;
constexpr char timeUnits[] = "microseconds since 1970-01-01 00:00:00";

// Channels that share every sample time: one board, one rate, the same anchors.
struct timeGroup {
    std::string dimension;
    const folderChannel* first = nullptr;
    std::vector<const folderChannel*> channels;
    int dimId = -1;
    int timeId = -1;
    int64_t chunk = 1;
};

struct channelVariables {
    const folderChannel* channel;
    const timeGroup* group;
    int valueId = -1;
    int flagId = -1;
};

bool sameTimes(const folderChannel& a, const folderChannel& b) {
    if (a.board != b.board || a.rate != b.rate || a.samples != b.samples || a.anchors.size() != b.anchors.size()) return false;
    for (size_t k = 0; k < a.anchors.size(); ++k) {
        if (a.anchors[k].index != b.anchors[k].index || a.anchors[k].unixNs != b.anchors[k].unixNs) return false;
    }
    return true;
}

std::string rateText(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", rate);
    std::string s = text;
    std::replace(s.begin(), s.end(), '.', 'p');
    return s;
}

int64_t microsecondsOf(int64_t ns) {
    int64_t q = (ns + 500) / 1000;
    if ((ns + 500) % 1000 < 0) --q;
    return q;
}

class netcdfFile {
public:
    explicit netcdfFile(std::string path) : path_(std::move(path)) {}
    ~netcdfFile() {
        if (id_ >= 0) nc_close(id_);
    }
    netcdfFile(const netcdfFile&) = delete;
    netcdfFile& operator=(const netcdfFile&) = delete;

    // Records the first failure; every later call is skipped.
    bool check(int status, const std::string& what) {
        if (status != NC_NOERR && error_.empty()) error_ = "netCDF could not " + what + " in " + path_ + " (" + nc_strerror(status) + ")";
        return error_.empty();
    }
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    int id() const { return id_; }

    bool create() {
        if (!check(nc_create(path_.c_str(), NC_NETCDF4 | NC_CLOBBER, &id_), "create the file")) return false;
        int old = 0;
        return check(nc_set_fill(id_, NC_NOFILL, &old), "set the fill mode");
    }
    bool close() {
        const int id = id_;
        id_ = -1;
        return check(nc_close(id), "finish the file");
    }

    void text(int var, const char* name, const std::string& value) {
        if (ok()) check(nc_put_att_text(id_, var, name, value.size(), value.c_str()), std::string("write ") + name);
    }
    void doubles(int var, const char* name, const std::vector<double>& values) {
        if (ok()) check(nc_put_att_double(id_, var, name, NC_DOUBLE, values.size(), values.data()), std::string("write ") + name);
    }
    void integer(int var, const char* name, long long value) {
        if (ok()) check(nc_put_att_longlong(id_, var, name, NC_INT64, 1, &value), std::string("write ") + name);
    }

    int variable(const std::string& name, nc_type type, int dim, int64_t chunk, int elementSize) {
        int var = -1;
        if (!ok()) return var;
        if (!check(nc_def_var(id_, name.c_str(), type, 1, &dim, &var), "define " + name)) return -1;
        const size_t chunkSize = static_cast<size_t>(chunk);
        check(nc_def_var_chunking(id_, var, NC_CHUNKED, &chunkSize), "chunk " + name);
        check(nc_def_var_deflate(id_, var, 1, 1, deflateLevel), "compress " + name);
        check(nc_def_var_fill(id_, var, NC_NOFILL, nullptr), "set the fill of " + name);
        // Writes come a whole chunk at a time: the cache need hold no more than two.
        check(nc_set_var_chunk_cache(id_, var, 2 * chunkSize * static_cast<size_t>(elementSize), 7, 1.0f),
              "size the cache of " + name);
        return var;
    }

private:
    std::string path_;
    int id_ = -1;
    std::string error_;
};

void boardAttributes(netcdfFile& nc, const nlohmann::json& doc) {
    const auto boards = doc.find("boards");
    if (boards == doc.end() || !boards->is_object()) return;
    for (const char* board : {"qor2", "jux"}) {
        const auto it = boards->find(board);
        if (it == boards->end() || !it->is_object()) continue;
        for (const auto& [key, attribute] : {std::pair{"serial", "serial"}, std::pair{"hardwareVersion", "hardware_version"},
                                             std::pair{"majorSoftVersion", "major_soft_version"},
                                             std::pair{"minorSoftVersion", "minor_soft_version"},
                                             std::pair{"interruptCounterMax", "interrupt_counter_max"}}) {
            const auto v = it->find(key);
            if (v != it->end() && v->is_number_integer()) {
                nc.integer(NC_GLOBAL, (std::string(board) + "_" + attribute).c_str(), v->get<long long>());
            }
        }
    }
}

void calibrationAttributes(netcdfFile& nc, const sessionFolder& folder) {
    const accelCalibration& c = folder.calibration;
    const auto it = folder.json.find("accelerometerCalibration");
    const bool reported = it != folder.json.end() && it->is_object();
    nc.text(NC_GLOBAL, "accelerometer_calibration",
            reported ? it->dump() : std::string("none reported: the nominal conversion (value - 2) is applied"));
    nc.integer(NC_GLOBAL, "accelerometer_calibration_accepted", reported && it->value("accepted", false) ? 1 : 0);
    nc.doubles(NC_GLOBAL, "accelerometer_offset_g", {c.offsetG.begin(), c.offsetG.end()});
    nc.doubles(NC_GLOBAL, "accelerometer_gain", {c.gain.begin(), c.gain.end()});
    nc.doubles(NC_GLOBAL, "accelerometer_temperature_coefficient_g_per_degC",
               {c.temperatureCoefficientGPerC.begin(), c.temperatureCoefficientGPerC.end()});
    nc.doubles(NC_GLOBAL, "accelerometer_reference_temperature_degC", {c.referenceTemperatureC});
}

std::string utcOf(const nlohmann::json& doc, const char* key) {
    const auto it = doc.find(key);
    if (it == doc.end() || !it->is_object() || !(*it)["utc"].is_string()) return {};
    return (*it)["utc"].get<std::string>();
}

std::string writeTimes(netcdfFile& nc, const timeGroup& g) {
    const folderChannel& c = *g.first;
    std::vector<long long> times;
    size_t k = 0;
    for (int64_t p = 0; p < c.samples && nc.ok(); p += g.chunk) {
        const int64_t n = std::min(g.chunk, c.samples - p);
        times.resize(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) {
            while (k + 1 < c.anchors.size() && c.anchors[k + 1].index <= p + i) ++k;
            times[static_cast<size_t>(i)] = microsecondsOf(c.sampleNs(k, p + i));
        }
        const size_t start = static_cast<size_t>(p), count = static_cast<size_t>(n);
        nc.check(nc_put_vara_longlong(nc.id(), g.timeId, &start, &count, times.data()), "write " + g.dimension);
    }
    return nc.error();
}

std::string writeChannel(netcdfFile& nc, const sessionFolder& folder, const channelVariables& v) {
    const folderChannel& c = *v.channel;
    const double scale = udunitsOf(c.info->ucum)->scale;
    physicalReader reader;
    sparseCursor filled;
    if (std::string error = reader.open(folder, c); !error.empty()) return error;
    if (std::string error = filled.open(folder, c); !error.empty()) return error;
    std::vector<double> values;
    std::vector<float> out;
    std::vector<signed char> flags;
    for (int64_t p = 0; p < c.samples && nc.ok(); p += v.group->chunk) {
        const int64_t n = std::min(v.group->chunk, c.samples - p);
        if (std::string error = reader.read(p, n, values); !error.empty()) return error;
        out.resize(values.size());
        flags.assign(values.size(), 0);
        for (size_t i = 0; i < values.size(); ++i) out[i] = static_cast<float>(scale == 1.0 ? values[i] : values[i] * scale);
        for (int64_t q = filled.nextAtOrAfter(p); q >= 0 && q < p + n; q = filled.nextAtOrAfter(q + 1)) {
            flags[static_cast<size_t>(q - p)] = 1;
        }
        if (!filled.error().empty()) return filled.error();
        const size_t start = static_cast<size_t>(p), count = static_cast<size_t>(n);
        nc.check(nc_put_vara_float(nc.id(), v.valueId, &start, &count, out.data()), "write " + c.name);
        nc.check(nc_put_vara_schar(nc.id(), v.flagId, &start, &count, flags.data()), "write the flags of " + c.name);
    }
    // The whole list must have been read, so that a damaged tail is noticed.
    filled.nextAtOrAfter(c.samples);
    if (!filled.error().empty()) return filled.error();
    return nc.error();
}

std::string writeGps(netcdfFile& nc, const sessionFolder& folder, int64_t fixes, const std::vector<int>& ids) {
    gpsFixReader reader;
    if (std::string error = reader.open(folder); !error.empty()) return error;
    constexpr size_t block = 65536;
    std::vector<long long> times;
    std::vector<double> columns[6];
    std::vector<int> fixType, satellites;
    int64_t at = 0;
    const auto flush = [&] {
        const size_t start = static_cast<size_t>(at), count = times.size();
        if (count == 0) return;
        nc.check(nc_put_vara_longlong(nc.id(), ids[0], &start, &count, times.data()), "write gps_time");
        for (size_t i = 0; i < 6; ++i) {
            nc.check(nc_put_vara_double(nc.id(), ids[1 + i], &start, &count, columns[i].data()), "write the GPS fixes");
        }
        nc.check(nc_put_vara_int(nc.id(), ids[7], &start, &count, fixType.data()), "write fix_type");
        nc.check(nc_put_vara_int(nc.id(), ids[8], &start, &count, satellites.data()), "write satellites");
        at += static_cast<int64_t>(count);
        times.clear();
        for (auto& column : columns) column.clear();
        fixType.clear();
        satellites.clear();
    };
    gpsFix fix;
    while (at + static_cast<int64_t>(times.size()) < fixes && reader.next(fix)) {
        times.push_back(fix.unixMs * 1000);
        const double row[6] = {fix.latitudeDeg, fix.longitudeDeg, fix.altitudeM, fix.speedMps, fix.courseDeg, fix.hdop};
        for (size_t i = 0; i < 6; ++i) columns[i].push_back(row[i]);
        fixType.push_back(fix.fixType);
        satellites.push_back(fix.satellites);
        if (times.size() == block) flush();
    }
    flush();
    if (!reader.error().empty()) return reader.error();
    if (at != fixes) return folder.path(folder.gpsCsv) + " changed while being read";
    return nc.error();
}

std::string writeFile(const sessionFolder& folder, const std::string& path) {
    std::vector<timeGroup> groups;
    for (const folderChannel& c : folder.channels) {
        if (c.isAudio() || c.samples == 0) continue;
        if (!udunitsOf(c.info->ucum)) return "the unit " + std::string(c.info->ucum) + " of " + c.name + " has no CF text";
        auto it = std::find_if(groups.begin(), groups.end(), [&](const timeGroup& g) { return sameTimes(*g.first, c); });
        if (it == groups.end()) {
            timeGroup g;
            g.first = &c;
            g.dimension = "time_" + c.board + "_" + rateText(c.rate) + "Hz";
            const auto taken = [&](const std::string& name) {
                return std::any_of(groups.begin(), groups.end(), [&](const timeGroup& o) { return o.dimension == name; });
            };
            for (int n = 2; taken(g.dimension); ++n) g.dimension = "time_" + c.board + "_" + rateText(c.rate) + "Hz_" + std::to_string(n);
            g.chunk = std::clamp<int64_t>(std::llround(c.rate * secondsPerChunk), 1, std::min(c.samples, maxChunkElements));
            groups.push_back(g);
            it = groups.end() - 1;
        }
        it->channels.push_back(&c);
    }
    // Count the fixes first: the dimension's length is fixed when the file is defined.
    int64_t fixes = 0;
    {
        gpsFixReader reader;
        if (std::string error = reader.open(folder); !error.empty()) return error;
        gpsFix fix;
        while (reader.next(fix)) ++fixes;
        if (!reader.error().empty()) return reader.error();
    }

    netcdfFile nc(path);
    if (!nc.create()) return nc.error();
    nc.text(NC_GLOBAL, "Conventions", "CF-1.10");
    nc.text(NC_GLOBAL, "title", "Wearable sensor recording, session " + folder.part);
    const std::string converter = folder.json.contains("program") && folder.json["program"].is_object()
                                      ? folder.json["program"].value("version", std::string("unknown"))
                                      : std::string("unknown");
    nc.text(NC_GLOBAL, "source", "sensconv " + converter + " (conversion), sensconv " + thisProgram({}).version + " (export)");
    nc.text(NC_GLOBAL, "comment",
            "Sample times from the converter's anchors (session.json). Values in physical units; the flags "
            "<name>_filled mark samples the converter filled in with the previous value.");
    nc.text(NC_GLOBAL, "session_part", folder.part);
    if (const std::string start = utcOf(folder.json, "start"); !start.empty()) nc.text(NC_GLOBAL, "time_coverage_start", start);
    if (const std::string end = utcOf(folder.json, "end"); !end.empty()) nc.text(NC_GLOBAL, "time_coverage_end", end);
    boardAttributes(nc, folder.json);
    calibrationAttributes(nc, folder);

    std::vector<channelVariables> variables;
    for (timeGroup& g : groups) {
        if (!nc.check(nc_def_dim(nc.id(), g.dimension.c_str(), static_cast<size_t>(g.first->samples), &g.dimId),
                      "define " + g.dimension)) {
            break;
        }
        g.timeId = nc.variable(g.dimension, NC_INT64, g.dimId, g.chunk, 8);
        nc.text(g.timeId, "standard_name", "time");
        nc.text(g.timeId, "long_name", "UTC of the samples of the " + g.first->board + " board at " + rateText(g.first->rate) + " Hz");
        nc.text(g.timeId, "units", timeUnits);
        nc.text(g.timeId, "calendar", "standard");
        nc.text(g.timeId, "axis", "T");
        for (const folderChannel* c : g.channels) {
            channelVariables v{c, &g};
            const unitText unit = *udunitsOf(c->info->ucum);
            v.valueId = nc.variable(c->name, NC_FLOAT, g.dimId, g.chunk, 4);
            nc.text(v.valueId, "long_name", c->info->quantity);
            nc.text(v.valueId, "units", unit.text);
            nc.text(v.valueId, "ancillary_variables", c->name + "_filled");
            nc.text(v.valueId, "sensor_channel", c->info->longName);
            nc.text(v.valueId, "conversion", conversionName(c->info->conversion));
            if (unit.scale != 1.0) nc.text(v.valueId, "comment", "acceleration measured in g, written in m s-2 (1 g = 9.80665 m s-2)");
            if (c->info->uncalibrated) nc.text(v.valueId, "comment", "a count of the sensor's own, with no physical scale");
            v.flagId = nc.variable(c->name + "_filled", NC_BYTE, g.dimId, g.chunk, 1);
            nc.text(v.flagId, "standard_name", "status_flag");
            nc.text(v.flagId, "long_name", "whether the sample of " + c->name + " was filled in with the previous value");
            const signed char flagValues[2] = {0, 1};
            if (nc.ok()) nc.check(nc_put_att_schar(nc.id(), v.flagId, "flag_values", NC_BYTE, 2, flagValues), "write flag_values");
            nc.text(v.flagId, "flag_meanings", "measured filled");
            variables.push_back(v);
        }
    }
    std::vector<int> gpsIds;
    if (fixes > 0 && nc.ok()) {
        int dim = -1;
        nc.check(nc_def_dim(nc.id(), "gps_fix", static_cast<size_t>(fixes), &dim), "define gps_fix");
        const int64_t chunk = std::min<int64_t>(fixes, 86400);
        gpsIds.push_back(nc.variable("gps_time", NC_INT64, dim, chunk, 8));
        nc.text(gpsIds[0], "standard_name", "time");
        nc.text(gpsIds[0], "long_name", "UTC of the GPS fix (to the millisecond)");
        nc.text(gpsIds[0], "units", timeUnits);
        nc.text(gpsIds[0], "calendar", "standard");
        struct column {
            const char* name;
            const char* standardName;
            const char* units;
        };
        for (const column& col : {column{"latitude", "latitude", "degrees_north"}, column{"longitude", "longitude", "degrees_east"},
                                  column{"altitude", "height_above_mean_sea_level", "m"},
                                  column{"speed", "platform_speed_wrt_ground", "m s-1"},
                                  column{"course", "platform_course", "degree"}, column{"hdop", "", "1"}}) {
            const int id = nc.variable(col.name, NC_DOUBLE, dim, chunk, 8);
            if (*col.standardName) nc.text(id, "standard_name", col.standardName);
            else nc.text(id, "long_name", "horizontal dilution of precision");
            nc.text(id, "units", col.units);
            nc.text(id, "coordinates", "gps_time");
            const double missing = std::numeric_limits<double>::quiet_NaN();
            if (nc.ok()) nc.check(nc_put_att_double(nc.id(), id, "_FillValue", NC_DOUBLE, 1, &missing), "write _FillValue");
            gpsIds.push_back(id);
        }
        for (const char* name : {"fix_type", "satellites"}) {
            const int id = nc.variable(name, NC_INT, dim, chunk, 4);
            nc.text(id, "long_name", std::string("the receiver's ") + (name[0] == 'f' ? "fix type" : "satellites in use"));
            nc.text(id, "units", "1");
            nc.text(id, "coordinates", "gps_time");
            gpsIds.push_back(id);
        }
    }
    if (nc.ok()) nc.check(nc_enddef(nc.id()), "define the file");

    for (const timeGroup& g : groups) {
        if (std::string error = writeTimes(nc, g); !error.empty()) return error;
    }
    for (const channelVariables& v : variables) {
        if (std::string error = writeChannel(nc, folder, v); !error.empty()) return error;
    }
    if (!gpsIds.empty()) {
        if (std::string error = writeGps(nc, folder, fixes, gpsIds); !error.empty()) return error;
    }
    if (!nc.ok()) return nc.error();
    nc.close();
    return nc.error();
}

}  // namespace

std::string exportNetcdf(const sessionFolder& folder, const std::string& outputDirectory,
                         std::vector<std::string>& written) {
    const std::string path =
        platform::withTrailingSeparator(outputDirectory) + folder.part + outputLayout::netcdfExtension;
    const std::string staged = stagedPath(path);
    if (std::string error = writeFile(folder, staged); !error.empty()) {
        discardStaged(staged);
        return error;
    }
    if (std::string error = putInPlace(staged, path); !error.empty()) return error;
    written.push_back(path);
    return {};
}

}  // namespace sensconv
