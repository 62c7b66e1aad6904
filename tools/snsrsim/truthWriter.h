#pragma once
// The ground truth of one session: what a correct conversion of the session must
// produce, written next to the recording while it is simulated. The layout is
// described in tools/snsrsim/README.md.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decode/channelTable.h"
#include "snsrsim/accelErrors.h"
#include "snsrsim/simFile.h"
#include "snsrsim/wearerModel.h"

namespace snsrsim {

// Channels are numbered across both boards: the main board's table first, then the
// second board's.
inline constexpr int numTruthChannels = sensconv::numQor2Channels + sensconv::numJuxChannels;
inline constexpr int juxTruthChannel(int juxChannel) {
    return sensconv::numQor2Channels + juxChannel;
}

// The statistics one input file must show in the session's metadata.
struct fileExpectations {
    std::string name;
    int32_t parsedPackets = 0;
    int32_t corruptSections = 0;
    int64_t corruptBytesSkipped = 0;
    int32_t qor2CrcErrors = 0;
    int32_t qor2ValidPackets = 0;
    int32_t juxCrcErrors = 0;
    int32_t juxValidPackets = 0;
    int32_t juxUnhandledPackets = 0;
    int32_t gpsBytes = 0;
    int32_t goodImages = 0;
    int32_t badImages = 0;
    std::array<int32_t, numTruthChannels> received{};
};

struct truthContents {
    bool qor2 = false;
    bool audio = false;
    bool jux = false;
    bool gps = false;
    bool camera = false;
    int32_t wavSampleRate = 0;
    // Per channel: samples per second by the board's own clock; per board: how much
    // faster that clock runs than the recorder's, in parts per million.
    std::array<double, numTruthChannels> rateHz{};
    double qor2DriftPpm = 0.0;
    double juxDriftPpm = 0.0;
};

class truthWriter {
public:
    truthWriter(const std::string& root, int32_t sessionIndex, const truthContents& contents);

    // zero times are the true UTC (seconds since 1970) of each board's first packet in
    // the file, which is the instant of the file's first sample of every channel of
    // the board; nothing for a board the file lacks.
    void beginFile(const std::string& name, double qor2ZeroUnixSeconds, double juxZeroUnixSeconds);
    fileExpectations& currentFile() { return files_.back(); }

    // One sample of a channel in recording order; a sample that is not delivered
    // (its packet lost or damaged) is filled by the converter with the channel's last
    // value once a later sample of the same file arrives.
    void sample(int channel, double value, bool delivered);
    void endFile();

    void gpsRecord(std::span<const uint8_t> record);
    void image(int32_t milliseconds, std::span<const uint8_t> bytes);

    // Writes the remaining files; the session is complete.
    void finish();

    // The accelerometer's truth: accelCalibration.csv (the calibration that undoes its
    // errors) and stillPeriods.csv (the wearer's rests up to endSeconds after the
    // session start, startMs, with the gravity the recorder felt).
    void accelerometer(const accelErrors& errors, const std::vector<stillPeriod>& rests, int64_t startMs,
                       double endSeconds);

private:
    struct channelTruth {
        bool on = false;
        simFile values;
        std::vector<int64_t> filled;
        int64_t position = 0;
        int32_t pending = 0;
        double lastValue = 1.0;
        // The file's first delivered sample places the file's anchor.
        bool anchorPending = false;
        int64_t fileStart = 0;
        double zeroUnixSeconds = 0.0;
    };
    struct anchorTruth {
        int channel = 0;
        size_t file = 0;
        int64_t index = 0;
        double unixSeconds = 0.0;
    };

    void writeValue(channelTruth& channel, double value);

    std::string dir_;
    truthContents contents_;
    std::array<channelTruth, numTruthChannels> channels_;
    std::vector<fileExpectations> files_;
    std::vector<anchorTruth> anchors_;
    simFile gps_;
    int32_t images_ = 0;
};

}  // namespace snsrsim
