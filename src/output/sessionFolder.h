#pragma once
// A finished session folder (part_NN) as the exports read it: session.json checked
// against the files beside it, and the channels' values read back in blocks, in
// physical units (channelTable.h) with the session's accelerometer calibration
// applied. Nothing here writes; every file it opens is a plain file named by
// session.json that lies directly in the folder.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/accelCalibration.h"
#include "common/stdioFile.h"
#include "decode/channelTable.h"

namespace sensconv {

inline constexpr char audioChannelName[] = "audio";

struct folderAnchor {
    int file = 0;             // files[].index of the input file
    int64_t index = 0;        // the file's first sample in the channel's file
    double unixSeconds = 0;   // its UTC
    int64_t unixNs = 0;       // the same, as whole nanoseconds (as the Python reader rounds it)
};

struct folderChannel {
    std::string name;      // short name, "audio" for the audio
    const channelInfo* info = nullptr;
    std::string board;     // "qor2" or "jux"
    double rate = 0;
    std::string file;      // plain file name inside the folder
    std::string sparseFile;  // empty when no sample was filled
    int64_t samples = 0;
    int64_t filledSamples = 0;
    std::vector<folderAnchor> anchors;

    bool isAudio() const { return name == audioChannelName; }
    // The samples of anchor k: [anchors[k].index, end).
    int64_t segmentEnd(size_t k) const { return k + 1 < anchors.size() ? anchors[k + 1].index : samples; }
    // UTC in nanoseconds of sample i of segment k (the anchor formula).
    int64_t sampleNs(size_t k, int64_t i) const;
};

struct sessionFolder {
    std::string directory;  // as given, with a trailing separator
    std::string part;       // the folder's own name ("part_00")
    nlohmann::json json;    // session.json as read
    int fileCount = 0;
    std::vector<folderChannel> channels;
    accelCalibration calibration;  // the applied values; nominal when session.json has none
    std::string gpsCsv;            // plain file name, empty without GPS fixes

    const folderChannel* find(const std::string& name) const;
    std::string path(const std::string& fileName) const { return directory + fileName; }
};

// Reads and checks the session folder at directory. Returns the reason it is not a
// finished session (empty when it is one): session.json unreadable or inconsistent,
// a file it names missing, not a plain file or not of the size it says, a .sparse
// file that is not the list session.json counts.
std::string readSessionFolder(const std::string& directory, sessionFolder& folder);

// The filled positions of a channel, read from its .sparse file in order; each
// position is checked to rise and to lie inside the channel.
class sparseCursor {
public:
    sparseCursor() = default;
    // Opens the channel's .sparse file (none: no position is filled).
    std::string open(const sessionFolder& folder, const folderChannel& channel);
    // Whether position is filled; positions must be asked in rising order.
    bool filled(int64_t position);
    // The next filled position at or after position, -1 when there is none.
    int64_t nextAtOrAfter(int64_t position);
    const std::string& error() const { return error_; }

private:
    bool advance();

    stdioFile file_;
    int64_t next_ = -1;  // the next listed position, -1 at the end
    int64_t last_ = -1;
    int64_t samples_ = 0;
    int64_t read_ = 0;
    int64_t expected_ = 0;
    std::string error_;
};

// A channel's values in physical units, read in blocks from its .bin file (acceleration
// through the calibration, paired with the main board's temperature).
class physicalReader {
public:
    std::string open(const sessionFolder& folder, const folderChannel& channel);
    // Reads count values from position on (positions rise from call to call).
    std::string read(int64_t position, int64_t count, std::vector<double>& values);
    // The channel's raw .bin values of the last read, before the conversion.
    const std::vector<float>& raw() const { return raw_; }

private:
    static std::string readFloats(std::FILE* file, const std::string& path, int64_t position, int64_t count,
                                  std::vector<float>& out);

    const folderChannel* channel_ = nullptr;
    std::string path_;
    stdioFile file_;
    physicalConversion conversion_ = physicalConversion::unchanged;
    int axis_ = 0;
    accelCalibration calibration_;
    // The temperature paired with each acceleration sample.
    const folderChannel* temperature_ = nullptr;
    std::string temperaturePath_;
    stdioFile temperatureFile_;
    int64_t temperatureStart_ = 0;  // first sample held in temperatureBlock_
    std::vector<float> temperatureBlock_;
    std::vector<float> raw_;
};

// The UCUM code of a channel as the text of another unit system: CF/UDUNITS for the
// NetCDF export, EDF's physical dimension for the EDF export. scale is what the
// physical value is multiplied by (acceleration in g becomes m s-2 for CF).
struct unitText {
    const char* text;
    double scale;
};
std::optional<unitText> udunitsOf(const char* ucum);
std::optional<unitText> edfDimensionOf(const char* ucum);

// Standard gravity (CGPM 1901), what one g is in m s-2.
inline constexpr double standardGravity = 9.80665;

}  // namespace sensconv

namespace sensconv {

// Exports are written under a hidden temporary name in their final directory and renamed
// into place only when complete: a reader never finds a partial file under the name.
std::string stagedPath(const std::string& finalPath);
// Renames staged to finalPath; returns the reason when it could not (staged is then removed).
std::string putInPlace(const std::string& staged, const std::string& finalPath);
// Removes what a failed export left under the staged name.
void discardStaged(const std::string& staged);

// One fix of the session's GPS table (gps.csv), NaN where a field is empty.
struct gpsFix {
    int64_t unixMs = 0;
    double latitudeDeg = 0, longitudeDeg = 0, altitudeM = 0, speedMps = 0, courseDeg = 0, hdop = 0;
    int fixType = 0, satellites = 0;
};

// Reads the GPS table row by row.
class gpsFixReader {
public:
    std::string open(const sessionFolder& folder);  // no table: no fix
    // The next fix; false at the end or on error (see error()).
    bool next(gpsFix& fix);
    const std::string& error() const { return error_; }
    int64_t row() const { return row_; }

private:
    std::ifstream stream_;
    std::string path_;
    std::string line_;
    std::string error_;
    int64_t row_ = 0;
    bool open_ = false;
};

// Milliseconds since 1970 of an ISO 8601 UTC text with milliseconds and Z.
std::optional<int64_t> parseUtcText(const std::string& text);

}  // namespace sensconv
