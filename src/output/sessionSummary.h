#pragma once
// session.json: a machine-readable summary of one converted session, written into
// its part_NN folder next to the other output. It holds the program and command line,
// the status the session ended with, every input file with its times and statistics,
// every channel with its sample counts and time anchors, images and GPS records. The
// layout is fixed by docs/session.schema.json; keys are only ever added.
//
// The driver feeds it one call per input file (with the file's report, after the
// writer has finished the file) and writes it once the session's writer is done.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/programInfo.h"
#include "output/accelCalibrationPass.h"
#include "output/gpsTrackFiles.h"
#include "output/scratchFile.h"
#include "output/sessionTimeline.h"

namespace sensconv {

struct fileReport;
class snsr_packetWriter_class;

using orderedJson = nlohmann::ordered_json;

inline constexpr int sessionSchemaVersion = 2;

orderedJson programJson(const programInfo& program);

// The JSON text of a summary, indented by two blanks, with a final newline. Text that
// is not valid UTF-8 (a path can be any bytes) shows U+FFFD where the bytes are invalid.
std::string jsonText(const orderedJson& json);

// A time as {"utc": ISO 8601 text, "unixMs": integer milliseconds since 1970}.
orderedJson timeJson(int64_t unixMs);

// One input file as session.json and the info mode describe it: path, header start,
// first and last packet, boards, reader and decoder statistics, clocks.
orderedJson inputFileJson(size_t index, const std::string& path, const fileReport& report,
                          const fileTimeline& timeline);

class sessionSummary {
public:
    // part is the folder name ("part_00"); session counts from 1. imagesDirectory is
    // where the images go, relative to the part folder ("." for the folder itself).
    sessionSummary(programInfo program, std::string part, int session, int sessions, std::string imagesDirectory);

    // Each input file's entry waits for the end of the session in a scratch file in
    // directory (the session's folder), so that a session of thousands of files does
    // not hold them all in memory. Without one they stay in memory, as compact text.
    void keepFilesIn(std::string directory) { scratchDirectory_ = std::move(directory); }

    void addFile(const std::string& path, const fileReport& report, const snsr_packetWriter_class& writer);

    const sessionTimeline& timeline() const { return timeline_; }

    // The session's GPS track and clock check, once sirfGPSOutput.bin is complete.
    void addGpsTrack(const gpsSessionSummary& gps) { gps_ = gps; }
    // The image being written when the session ended, kept without its check.
    void addUncheckedImage() { ++uncheckedImages_; }

    // A channel as the writer wrote it, by long name ("qor2/x_accel"); nothing when the
    // session has none.
    std::optional<writtenChannel> written(const std::string& longName) const;

    // What the calibration pass found ("accelerometerCalibration"; null by default).
    void addAccelerometerCalibration(nlohmann::ordered_json calibration) { accelCalibration_ = std::move(calibration); }

    // What the passes after the conversion read of a channel: its file names, rate,
    // counts and time anchors (index, UTC seconds); nullopt for a channel the session
    // does not have.
    struct channelFacts {
        std::string file;
        std::string sparseFile;  // empty without filled samples
        double rateHz = 0.0;
        int64_t samples = 0;
        std::vector<std::pair<int64_t, double>> anchors;
    };
    std::optional<channelFacts> factsOf(const std::string& longName) const;

    // session.json's "wear" (null until the wear pass has run).
    void addWear(orderedJson wear) { wear_ = std::move(wear); }

    // Writes session.json into partDir, one input file's entry at a time. A file that
    // cannot be written is reported like any other lost output, and false is returned.
    bool write(const std::string& partDir, int status, runStatus& run);

private:
    struct anchor {
        size_t file = 0;
        int64_t index = 0;
        double unixSeconds = 0.0;
    };
    struct channel {
        std::string name;
        std::string longName;
        board source = board::qor2;
        bool audio = false;
        double rateHz = 0.0;
        int64_t samples = 0;
        int64_t filled = 0;
        std::vector<anchor> anchors;
    };

    channel& channelFor(const std::string& longName, const std::string& shortName, double rateHz, bool audio);
    void addSamples(channel& target, int64_t samplesNow, int64_t filledNow, size_t file);
    orderedJson channelJson(const channel& c, bool withAnchors) const;
    // Everything but the input files, whose place is an empty array.
    orderedJson toJsonWithoutFiles(int status) const;
    void keepFile(const orderedJson& file);
    // Hands each input file's entry, clock check added, to take(entry), in order.
    template <typename consumer>
    bool forEachFile(consumer&& take);

    programInfo program_;
    std::string part_;
    int session_;
    int sessions_;
    std::string imagesDirectory_;

    sessionTimeline timeline_;
    std::string scratchDirectory_;
    scratchFile filesSpill_;                // one compact line per input file
    std::vector<std::string> filesInMemory_;  // the same, without a scratch file
    size_t fileCount_ = 0;
    std::vector<channel> channels_;  // in the order the writer created them
    orderedJson qor2Board_;          // null until a file has the board
    orderedJson juxBoard_;
    std::optional<int64_t> startMs_;
    std::optional<int64_t> endMs_;
    bool gpsFile_ = false;
    int64_t gpsRecords_ = 0;
    gpsSessionSummary gps_;
    int64_t goodImages_ = 0;
    int64_t badImages_ = 0;
    int64_t uncheckedImages_ = 0;
    orderedJson accelCalibration_;
    orderedJson wear_;
};

}  // namespace sensconv
