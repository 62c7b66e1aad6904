#pragma once
// The GPS receiver's binary protocol, read from the bytes the recorder kept. A frame is
// 0xA0 0xA2, a 15-bit big-endian payload length, the payload (message ID first), a
// 15-bit sum of the payload bytes and 0xB0 0xB3. The recorder cuts the receiver's
// stream into packets without regard to frames, so a message may be split across
// records, packets and input files: the decoder is fed chunks and keeps the frame it
// is inside. Broken frames are counted and their bytes searched again for the next
// frame start, so a lost packet costs only the frames it touched.
//
// Two messages carry the position: 41 (geodetic navigation data: UTC, latitude,
// longitude, altitudes, speed, course, error estimates) and 2 (measured navigation
// data: earth-centred position and velocity, the week modulo 1024 and time of week).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sensconv {

// Where a byte came from: its record in sirfGPSOutput.bin, the record's session time
// and the input file (0-based within the session) that delivered it.
struct sirfRecordTag {
    int64_t record = 0;
    int32_t sessionMs = 0;
    int32_t file = 0;

    bool operator==(const sirfRecordTag&) const = default;
};

// One navigation message, decoded. Fields beyond `fix` and the times are meaningful
// only when fix is set.
struct gpsNavigation {
    int32_t message = 0;  // 2 or 41
    sirfRecordTag tag;    // the record in which the frame starts
    bool fix = false;     // the receiver has a position solution
    int64_t gpsMs = 0;    // GPS time of the solution, ms since 1980-01-06
    int64_t utcMs = 0;    // UTC of the solution, ms since 1970
    double latitudeDeg = 0.0;
    double longitudeDeg = 0.0;
    double heightEllipsoidM = 0.0;        // above the WGS-84 ellipsoid
    std::optional<double> altitudeMslM;   // above mean sea level (message 41 only)
    double speedMps = 0.0;                // over ground
    double courseDeg = 0.0;               // over ground, from true north
    double climbMps = 0.0;
    int32_t fixType = 0;                  // the receiver's solution type, 0..7
    int32_t satellites = 0;
    std::optional<double> hdop;
    std::optional<double> horizontalErrorM;  // estimated, message 41 only
    std::optional<double> verticalErrorM;
};

class sirfNavigationSink {
public:
    virtual ~sirfNavigationSink() = default;
    virtual void navigation(const gpsNavigation& message) = 0;
};

struct sirfCounters {
    int64_t frames = 0;             // well-formed frames
    int64_t badChecksumFrames = 0;  // well-formed but for the checksum
    int64_t badFrames = 0;          // impossible length, wrong end bytes, cut off, or a
                                    // navigation message shorter than its layout
    int64_t unknownMessages = 0;    // well-formed frames with an ID the protocol does not define
    int64_t skippedBytes = 0;       // bytes outside any well-formed frame
};

class sirfDecoder {
public:
    // Payloads of the protocol are shorter than 2048 bytes; a longer length field
    // marks a broken frame.
    static constexpr size_t maxPayload = 2047;

    explicit sirfDecoder(sirfNavigationSink& sink);

    // The recorder's idea of the time (UTC ms since 1970) of the bytes fed next. Used
    // only to place message 2's week modulo 1024 until a message 41 gives the full week.
    void setReferenceTime(int64_t unixMs) { referenceUnixMs_ = unixMs; }

    void feed(std::span<const uint8_t> bytes, const sirfRecordTag& tag);
    // End of the stream: a frame still open is cut off (counted bad) and the bytes after
    // its start are searched for frames once more.
    void finish();

    const sirfCounters& counters() const { return counters_; }

private:
    enum class state { start1, start2, length1, length2, payload, checksum1, checksum2, end1, end2 };

    void step(uint8_t byte, const sirfRecordTag& tag);
    void drainReplay();
    void reject();
    void frameComplete();
    void decodeMessage();
    void decodeMeasured();
    void decodeGeodetic();

    // Bytes with the origin of each. A record gives many bytes in a row, so the origins
    // are kept as runs: runs[k] holds from byte runs[k].from up to the next run's start.
    struct taggedBytes {
        struct run {
            size_t from = 0;
            sirfRecordTag tag;
        };
        std::vector<uint8_t> bytes;
        std::vector<run> runs;

        void reserve(size_t n);
        void clear();
        void push(uint8_t byte, const sirfRecordTag& tag);
        void append(std::span<const uint8_t> more, const sirfRecordTag& tag);
        // Appends the bytes of other from its byte `from` on, with their origins.
        void appendFrom(const taggedBytes& other, size_t from);
        size_t size() const { return bytes.size(); }

    private:
        void startRun(const sirfRecordTag& tag);
    };

    sirfNavigationSink& sink_;
    state state_ = state::start1;
    size_t length_ = 0;
    uint16_t checksum_ = 0;
    // The open frame from its first byte.
    taggedBytes frame_;
    // Bytes of a rejected frame still to be searched, before any newer input; the
    // next one is replayAt_, in the run replayRun_.
    taggedBytes replay_;
    taggedBytes scratch_;
    size_t replayAt_ = 0;
    size_t replayRun_ = 0;
    bool replaying_ = false;

    sirfCounters counters_;
    int64_t referenceUnixMs_ = 0;
    std::optional<int64_t> knownWeek_;  // full week from the latest message 41
};

}  // namespace sensconv
