#pragma once
// What reading and decoding one input file found, made once when the decoder has taken
// the file's last packet (sensorDecoder::finishFile) and never changed after: the
// container's counts and times, each board's identity, settings, statistics and clock
// fit, the GPS and image counts, and the statistics binaryData.meta lists for the file.
// The writer, session.json, the session's time line and info mode read a finished file
// through it; none of them looks into the reader or the decoder.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/metaLists.h"
#include "container/snsrHeader.h"
#include "decode/cameraSink.h"

namespace sensconv {

// How one board's clock runs in the file, from the fit of its time pairs against the
// container clock (see fileTimes.h); every figure as boardClockFit gives it.
struct clockFitReport {
    int64_t packets = 0;
    int64_t spanTicks = 0;
    std::optional<double> zeroMs;  // container milliseconds of tick 0
    std::optional<double> driftPpm;
    std::optional<std::pair<double, double>> driftRangePpm;
    std::optional<double> residualMs;
    std::optional<double> intervalMs;
};

// One board of the file; active is false where the header does not set it up.
struct boardReport {
    bool active = false;
    int32_t intmax = 0;         // interrupt counter ticks per ten seconds
    int64_t fileTime = -1;      // the board's latest time in the file, ticks
    int64_t sessionBase = -1;   // session time of the file's tick 0
    int64_t validPackets = 0;
    int64_t crcErrors = 0;
    int64_t unhandledPackets = 0;
    std::vector<int64_t> received;  // readings per channel of the board's table
    std::vector<double> rates;      // the schedule per channel, tenths of a hertz
    clockFitReport fit;
};

struct fileReport {
    // The container as the reader found it.
    struct container {
        int32_t numStreams = 0;
        int64_t numParsedPackets = 0;
        int64_t numCorruptSections = 0;
        int64_t numCorruptBytesSkipped = 0;
        std::map<int32_t, int64_t> streamCounts;  // packets per stream type
        uint32_t firstSNSRTimestamp = 0;
        uint32_t lastSNSRTimestamp = 0;
        uint64_t fileStartTime = 0;  // the header's, milliseconds since 1970
        std::vector<snsrStream> streams;
    };

    container reader;
    // The header's board settings; null header: none.
    std::optional<qor2Settings> qor2Header;
    std::optional<juxSettings> juxHeader;

    uint64_t fileStartTime = 0;  // as the decoder took it from the header
    // Container times of the delivered packets (milliseconds since the header's start;
    // lastMs with the 32-bit wraps undone); none without packets.
    int64_t packets = 0;
    uint32_t firstMs = 0;
    int64_t lastMs = 0;

    boardReport qor2;
    boardReport jux;
    int64_t gpsBytes = 0;    // receiver bytes taken into records
    int64_t gpsRecords = 0;  // records the decoder made
    // The images of the file as the session's image sink counted them; none where the
    // file has no camera stream or no sink took them.
    std::optional<imageCounts> images;
    int64_t audioFilled = 0;  // audio samples filled in over the file

    // The file's statistics in binaryData.meta's keys and values, the reader's first.
    metaList statisticsKeys;
    metaList statisticsValues;
};

}  // namespace sensconv
