#pragma once
// The converter's time model of one session: for every input file and board, the UTC
// of the board's first time in that file (its tick 0), found by fitting the board
// clock against the file's container timestamps, and where that instant lies on the
// session time line. A sample, GPS record or image with session time s in file f then
// has UTC = zero(f) + (s - sessionStart(f)), with s and sessionStart in the board's
// nominal seconds (intmax / 10 ticks per second). The channel anchors of session.json
// are these zeros, so every consumer of session times gets the same UTC.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>


namespace sensconv {

struct fileReport;

enum class board { qor2, jux };

// What the fit of one board's clock in one file found; a few numbers, so that a
// session of many files keeps little.
struct clockFacts {
    int64_t packets = 0;
    double spanSeconds = 0.0;
    std::optional<double> driftPpm;
    std::optional<std::pair<double, double>> driftRangePpm;
    std::optional<double> residualMs;
    std::optional<double> intervalMs;
};

struct boardTimeline {
    bool valid = false;             // the board had a valid packet in the file
    int32_t intmax = 0;
    double zeroUnixSeconds = 0.0;   // UTC of the board's tick 0 in the file
    int64_t sessionBaseTicks = 0;   // session time of tick 0
    clockFacts clock;

    // Session time of tick 0 in the board's nominal seconds.
    double sessionStartSeconds() const;
};

struct fileTimeline {
    uint64_t fileStartTime = 0;  // the header's, milliseconds since 1970
    boardTimeline qor2;
    boardTimeline jux;
    const boardTimeline& of(board b) const { return b == board::qor2 ? qor2 : jux; }
};

// The time facts of one decoded file.
fileTimeline timelineOf(const fileReport& report);

class sessionTimeline {
public:
    void addFile(const fileTimeline& file) { files_.push_back(file); }
    size_t files() const { return files_.size(); }
    const fileTimeline& file(size_t index) const { return files_.at(index); }

    // The UTC (seconds since 1970) the converter assigns to a main-board record of
    // input file `file` (0-based within the session) whose session time is
    // sessionMs milliseconds, as in the GPS records and image names. Nothing when the
    // file is unknown or its main board had no valid packet.
    std::optional<double> qor2UnixSeconds(size_t file, int64_t sessionMs) const;

    // The UTC of board b's tick 0 in `file`: the instant of the file's first sample of
    // each of that board's channels.
    std::optional<double> zeroUnixSeconds(size_t file, board b) const;

private:
    std::vector<fileTimeline> files_;
};

}  // namespace sensconv
