#pragma once
// The session's GPS track: once sirfGPSOutput.bin is complete, its records are read
// back, the receiver's messages decoded, and one row per fix written to gps.csv and one
// track point to gps.gpx. A navigation epoch reported by both messages 41 and 2 gives
// one row, from message 41. The same pass compares the receiver's UTC with the UTC the
// converter gives each record: the clock check of every input file.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/runStatus.h"
#include "decode/sirfDecoder.h"

namespace sensconv {

// The UTC (ms since 1970) the converter assigns to a record of input file `file`
// (0-based within the session) at main-board session time sessionMs; none when the
// converter has no time for it.
using recordUtcFunction = std::function<std::optional<double>(int32_t file, int32_t sessionMs)>;

// Receiver UTC minus converter UTC over one input file's fixes, in ms.
struct gpsClockCheck {
    int64_t fixes = 0;
    double medianOffsetMs = 0.0;
    double minOffsetMs = 0.0;
    double maxOffsetMs = 0.0;
};

struct gpsSessionSummary {
    bool tracksWritten = false;  // gps.csv and gps.gpx were written
    int64_t records = 0;         // records read from sirfGPSOutput.bin
    int64_t fixes = 0;           // rows of gps.csv
    sirfCounters counters;
    std::optional<int64_t> firstFixMs;  // receiver UTC, ms since 1970
    std::optional<int64_t> lastFixMs;
    // One entry per input file of the session; none for a file without fixes or
    // without a converter time.
    std::vector<std::optional<gpsClockCheck>> clockChecks;
};

class gpsTrackFiles {
public:
    // A pause longer than this without a fix starts a new track segment.
    static constexpr int64_t segmentGapMs = 60000;

    // directory: the session's output directory, ending in the path separator.
    // Files that fail are counted in run.
    gpsTrackFiles(std::string directory, runStatus& run);

    // After each input file of the session: how many records sirfGPSOutput.bin holds
    // so far. Records are assigned to input files by these counts.
    void fileDone(int64_t recordsSoFar);

    // After sirfGPSOutput.bin has been closed. Writes gps.csv and gps.gpx when the
    // records hold at least one well-formed receiver message (a stream that never
    // spoke the receiver's protocol gets no track). recordUtc may be empty: no clock check.
    gpsSessionSummary finish(const recordUtcFunction& recordUtc);

private:
    std::string directory_;
    runStatus* run_;
    std::vector<int64_t> fileEnds_;
};

}  // namespace sensconv
