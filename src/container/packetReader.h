#pragma once
// Turns one container file into a sequence of packet records: opens the file, checks
// its header, then delivers frame after frame, resynchronising after corrupt bytes.

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "common/metaLists.h"
#include "container/simpleBufferIO.h"
#include "container/snsrHeader.h"

namespace sensconv {

// One delivered packet. data points into the reader's buffer and stays valid only
// until the next readPacket call.
struct snsrPacket {
    int32_t type = streamINVALID;
    int32_t id = -1;
    uint32_t timestamp = 0;
    const uint8_t* data = nullptr;
    int32_t length = 0;
    int64_t index = -1;

    void reset() { *this = snsrPacket{}; }
};

class packetReader {
public:
    static constexpr int32_t maxStreamId = numStreamIds;
    static constexpr int32_t maxPacketLength = 4096;
    static constexpr uint32_t maxTimestampJump = 100000;

    // expectedSize is the file's size when the run began (-1: not known): data that ends
    // before it was lost while the file was read.
    explicit packetReader(const std::string& path, bool writeTraceFiles = false, int64_t expectedSize = -1);
    // Reads an already open stream (a memory-backed FILE* in tests and fuzz targets),
    // standing at the start of a header; the reader owns and closes it. name is what
    // the header record reports as its file name.
    packetReader(std::FILE* file, const std::string& name);
    ~packetReader();
    packetReader(const packetReader&) = delete;
    packetReader& operator=(const packetReader&) = delete;

    // The file's data after the header is read ahead by ahead (not owned, see
    // readAhead.h), which must outlive the reader; call before the first readPacket.
    void readAheadThrough(readAhead& ahead);

    // What readPacket did.
    enum class readResult : int32_t {
        delivered = 1,
        endOfData = -1,  // or a bad file
        cutOff = -2,     // a frame cut off by the end of the file
    };
    readResult readPacket(snsrPacket& packet);

    // Appends the reader's statistics to the session metadata.
    void writeStatistics(metaList& metaKeys, metaList& metaValues) const;

    // Whether the file was opened and its header is valid.
    bool fileOk() const { return fileOk_; }
    // Whether readPacket may deliver more.
    bool hasData() const { return hasData_; }
    // The data ended before the end of the file: a read failed (readErrorNumber holds
    // the system's error number) or the file ended before expectedSize bytes
    // (readErrorNumber 0). readFailureOffset is the file offset where the data ended.
    bool readFailed() const { return readFailed_; }
    int readErrorNumber() const { return readErrorNumber_; }
    int64_t readFailureOffset() const { return readFailureOffset_; }
    // The file's header; nullptr when the file could not be opened or its header is
    // invalid. The decoder of the file reads its settings (and keeps its own state of
    // the streams in it).
    snsrHeader* header() const { return header_.get(); }

    int32_t numStreams() const { return numStreams_; }
    int64_t numParsedPackets() const { return numParsedPackets_; }
    int64_t numCorruptSections() const { return numCorruptSections_; }
    int64_t numCorruptBytesSkipped() const { return numCorruptBytesSkipped_; }
    uint32_t firstSNSRTimestamp() const { return firstSNSRTimestamp_; }
    uint32_t lastSNSRTimestamp() const { return lastSNSRTimestamp_; }
    uint64_t fileStartTime() const { return fileStartTime_; }
    // Packets delivered per stream type.
    const std::map<int32_t, int64_t>& streamCounts() const { return streamCounts_; }

private:
    bool fileOk_ = false;
    bool hasData_ = true;
    bool readFailed_ = false;
    int readErrorNumber_ = 0;
    int64_t readFailureOffset_ = -1;
    std::unique_ptr<snsrHeader> header_;
    int32_t numStreams_ = 0;
    int64_t numParsedPackets_ = 0;
    int64_t numCorruptSections_ = 0;
    int64_t numCorruptBytesSkipped_ = 0;
    uint32_t firstSNSRTimestamp_ = 0;
    uint32_t lastSNSRTimestamp_ = 0;
    uint64_t fileStartTime_ = 0;
    // Entries are never erased while the reader lives: it counts through references
    // to them.
    std::map<int32_t, int64_t> streamCounts_;

    void readHeaderAndSetUp();
    enum class frameCheck : int32_t;
    frameCheck checkFrameHeader(uint32_t previous);
    int64_t& countOf(int32_t type);
    void endOfData();

    // Stream type of each valid frame ID; IDs no stream declares give type 0.
    std::array<int32_t, maxStreamId> packetIdToType_{};
    // The streamCounts entry of each stream type once it exists, so that counting a
    // packet needs no map search.
    std::array<int64_t*, numStreamTypeNames> countSlots_{};
    int64_t expectedSize_ = -1;
    uint32_t prevTimestamp_ = 0;
    uint16_t frameId_ = 0;
    uint32_t frameTimestamp_ = 0;
    uint32_t frameLength_ = 0;
    bool writeTraceFiles_ = false;
    std::string traceFileName_;
    bool traceFileCreated_ = false;
    simpleBufferIO buffer_;
};

}  // namespace sensconv
