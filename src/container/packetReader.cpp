#include "container/packetReader.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "container/containerMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

constexpr int32_t frameHeaderSize = 10;
// The buffer holds two of the largest payloads, so a whole frame always fits.
constexpr int32_t minimumBufferCapacity = 8192;
constexpr int32_t bufferCapacity = std::max(minimumBufferCapacity, 2 * packetReader::maxPacketLength);
// A file read ahead is a large one: its buffer holds many of the largest frames, and
// what is left of it moves to its front only once less than two of them remain, so that
// few bytes are moved twice.
constexpr int32_t largestFrame = frameHeaderSize + packetReader::maxPacketLength;
constexpr int32_t aheadCapacity = 64 * 1024;
constexpr int32_t aheadMoveAfter = aheadCapacity - 2 * largestFrame;
static_assert(aheadMoveAfter > aheadCapacity / 2);


namespace message = containerMessages;

}  // namespace

packetReader::packetReader(const std::string& path, bool writeTraceFiles, int64_t expectedSize)
    : expectedSize_(expectedSize), writeTraceFiles_(writeTraceFiles) {
    header_ = std::make_unique<snsrHeader>();
    if (!openInputFile(*header_, path)) {
        header_.reset();
        fileOk_ = false;
        hasData_ = false;
        printMessage(message::cannotOpen, path.c_str());
        return;
    }
    if (writeTraceFiles_) {
        // An empty companion file marks the input as being read; it outlives a crash.
        // Made new or not at all: whatever already has the name (a link planted there,
        // a mark of another run) is neither followed nor emptied, nor removed later.
        traceFileName_ = path + ".processing";
        if (platform::createExclusive(traceFileName_)) {
            traceFileCreated_ = true;
        } else if (errno == EEXIST || errno == ELOOP) {
            printMessage(message::traceFileInTheWay, traceFileName_.c_str());
        } else {
            printMessage(message::cannotWriteTraceFile, traceFileName_.c_str());
        }
    }
    readHeaderAndSetUp();
}

packetReader::packetReader(std::FILE* file, const std::string& name) {
    header_ = std::make_unique<snsrHeader>();
    header_->file = file;
    header_->file_name = name;
    readHeaderAndSetUp();
}

packetReader::~packetReader() {
    // Reads ahead end before the file closes.
    buffer_.release();
    if (header_) {
        closeInputFile(*header_);
        header_.reset();
    }
    // Only a mark this reader made is removed; failing to remove it changes nothing.
    if (writeTraceFiles_ && traceFileCreated_) platform::removeFile(traceFileName_);
}

void packetReader::readAheadThrough(readAhead& ahead) {
    if (!header_) return;
    buffer_.setup(header_->file, aheadCapacity, aheadMoveAfter);
    buffer_.setStartOffset(header_->headerSize);
    buffer_.readThrough(ahead);
}

void packetReader::readHeaderAndSetUp() {
    if (!readHeader(*header_)) {
        closeInputFile(*header_);
        header_.reset();
        fileOk_ = false;
        hasData_ = false;
        putMessage(message::invalidHeader);
        return;
    }
    fileOk_ = true;
    hasData_ = true;
    if (header_->num_streams > maxStreamId) {
        printMessage(message::tooManyStreams, header_->num_streams, maxStreamId);
    }
    for (const snsrStream& stream : header_->streams) {
        // Frame IDs of 19 and above are refused before any look-up, so a stream that
        // declares such an ID can never receive a packet.
        if (stream.packet_id < static_cast<uint32_t>(maxStreamId)) packetIdToType_[stream.packet_id] = stream.type;
        countOf(stream.type) = 0;
    }
    numStreams_ = header_->num_streams;
    fileStartTime_ = header_->fileStartTime;

    buffer_.setup(header_->file, bufferCapacity);
    buffer_.setStartOffset(header_->headerSize);
}

int64_t& packetReader::countOf(int32_t type) {
    if (type >= 0 && type < numStreamTypeNames) {
        int64_t*& slot = countSlots_[static_cast<size_t>(type)];
        if (slot == nullptr) slot = &streamCounts_[type];
        return *slot;
    }
    return streamCounts_[type];
}

// What the frame header_ at the read position is.
enum class packetReader::frameCheck : int32_t {
    valid,
    endOfData,
    cutOff,  // its frame does not fit in what is left of the file
    invalidId,
    invalidTimestamp,
    invalidLength,
};

packetReader::frameCheck packetReader::checkFrameHeader(uint32_t previous) {
    const uint8_t* frame = buffer_.ensureAvailable(frameHeaderSize);
    if (frame == nullptr) return frameCheck::endOfData;
    frameId_ = readLE16(frame);
    frameTimestamp_ = readLE32(frame + 2);
    frameLength_ = readLE32(frame + 6);

    if (frameId_ >= maxStreamId) return frameCheck::invalidId;
    // Unsigned arithmetic: a timestamp just past a wrap of the 32-bit counter is a
    // small step forward, any earlier timestamp a huge one.
    if (frameTimestamp_ - previous > maxTimestampJump) return frameCheck::invalidTimestamp;
    if (frameLength_ > static_cast<uint32_t>(maxPacketLength)) return frameCheck::invalidLength;
    if (buffer_.ensureAvailable(frameHeaderSize + static_cast<int32_t>(frameLength_)) == nullptr) return frameCheck::cutOff;
    return frameCheck::valid;
}

packetReader::readResult packetReader::readPacket(snsrPacket& packet) {
    frameId_ = 0;
    frameTimestamp_ = 0;
    frameLength_ = 0;
    packet.reset();

    if (!fileOk_) {
        putMessage(message::fileIsBad);
        return readResult::endOfData;
    }

    bool errorMode = false;
    for (;;) {
        frameCheck result = frameCheck::valid;
        if (!errorMode) {
            result = checkFrameHeader(prevTimestamp_);
        } else {
            // Search byte by byte for the next frame header_ that passes every check.
            const int64_t start = buffer_.position();
            printMessage(message::errorModeStart, start);
            ++numCorruptSections_;
            for (;;) {
                result = checkFrameHeader(prevTimestamp_);
                if (result == frameCheck::valid) break;
                // The end of the data stops the search; the next call meets it again
                // in normal mode and ends the file there.
                if (result == frameCheck::endOfData) return readResult::endOfData;
                if (result == frameCheck::cutOff) return readResult::cutOff;
                buffer_.consume(1);
            }
            const int64_t found = buffer_.position();
            printMessage(message::errorModeEnd, found, found - start);
            numCorruptBytesSkipped_ += found - start;
        }

        if (result == frameCheck::valid) break;
        switch (result) {
            case frameCheck::invalidId: printMessage(message::badId, buffer_.position()); break;
            case frameCheck::invalidTimestamp: printMessage(message::badTimestamp, buffer_.position()); break;
            case frameCheck::invalidLength: printMessage(message::badLength, buffer_.position()); break;
            case frameCheck::cutOff:
                putMessage(message::cutOff);
                endOfData();
                return readResult::cutOff;
            default:
                endOfData();
                return readResult::endOfData;
        }
        buffer_.consume(1);
        errorMode = true;
    }
    buffer_.consume(frameHeaderSize);

    uint32_t timestamp = frameTimestamp_;
    if (prevTimestamp_ > timestamp) {
        printMessage(message::movedBackwards, buffer_.position(), timestamp, prevTimestamp_);
        timestamp = prevTimestamp_;
    }
    // The first timestamp is taken from the packet before the current one, once a
    // non-zero one has been delivered.
    if (firstSNSRTimestamp_ == 0) firstSNSRTimestamp_ = prevTimestamp_;
    prevTimestamp_ = timestamp;
    lastSNSRTimestamp_ = timestamp;

    packet.type = packetIdToType_[frameId_];
    packet.id = frameId_;
    packet.timestamp = timestamp;
    packet.length = static_cast<int32_t>(frameLength_);
    packet.data = buffer_.current();
    packet.index = numParsedPackets_;

    buffer_.consume(packet.length);
    ++numParsedPackets_;
    ++countOf(packet.type);
    return readResult::delivered;
}

void packetReader::endOfData() {
    hasData_ = false;
    // The end of the data is the end of the file only when every read succeeded and
    // the file still holds what it held when the run began.
    if (buffer_.readError() != 0) {
        readFailed_ = true;
        readErrorNumber_ = buffer_.readError();
        readFailureOffset_ = buffer_.endOfReadData();
    } else if (expectedSize_ >= 0 && buffer_.endOfReadData() < expectedSize_) {
        readFailed_ = true;
        readFailureOffset_ = buffer_.endOfReadData();
    }
}

void packetReader::writeStatistics(metaList& metaKeys, metaList& metaValues) const {
    appendMeta(metaKeys, metaValues, "snsr_numStreams", formatText("%d", numStreams_));
    appendMeta(metaKeys, metaValues, "snsr_numParsedPackets", formatText("%" PRId64, numParsedPackets_));
    appendMeta(metaKeys, metaValues, "snsr_numCorruptSections", formatText("%" PRId64, numCorruptSections_));
    appendMeta(metaKeys, metaValues, "snsr_numCorruptBytesSkipped", formatText("%" PRId64, numCorruptBytesSkipped_));
    appendMeta(metaKeys, metaValues, "snsr_firstSNSRTimestamp", formatText("%" PRIu32, firstSNSRTimestamp_));
    appendMeta(metaKeys, metaValues, "snsr_lastSNSRTimestamp", formatText("%" PRIu32, lastSNSRTimestamp_));
    appendMeta(metaKeys, metaValues, "snsr_fileStartTime", formatText("%" PRIu64, fileStartTime_));
    for (const auto& [type, count] : streamCounts_) {
        // Types 19 and 20 never name a packet stream of their own, so they are
        // written by number like any type outside the table.
        std::string key = type >= 0 && type < numStreamIds ? formatText("snsr_streamCounts_%s", streamTypeNames[static_cast<size_t>(type)])
                                                  : formatText("snsr_streamCounts_unkown_%d", type);
        appendMeta(metaKeys, metaValues, std::move(key), formatText("%" PRId64, count));
    }
}

}  // namespace sensconv
