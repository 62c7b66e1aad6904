// The packet reader over arbitrary bytes behind a valid header: every delivered packet
// must be a real frame of the file, in file order, with a payload inside the file and
// a timestamp that never moves backwards; the counters must add up; reading must end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/littleEndian.h"
#include "common/metaLists.h"
#include "container/packetReader.h"
#include "fuzzInputs.h"

namespace {

const std::vector<uint8_t>& headerBytes() {
    static const std::vector<uint8_t> bytes = sensconv::fuzzing::packetReaderHeader().headerBytes();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file = headerBytes();
    file.insert(file.end(), data, data + size);

    sensconv::packetReader reader(sensconv::fuzzing::memoryStream(file.data(), file.size()), "fuzz.snsr");
    FUZZ_CHECK(reader.fileOk() && reader.hasData());

    sensconv::snsrPacket packet;
    size_t searchFrom = headerBytes().size();
    uint32_t previousTimestamp = 0;
    int32_t delivered = 0;
    // Every call delivers a frame, ends the data or stops a search at the end of the
    // data (which the next call then ends); anything more means the reader is stuck.
    const size_t maxCalls = file.size() + 4;
    size_t calls = 0;
    while (reader.hasData()) {
        FUZZ_CHECK(++calls <= maxCalls);
        using readResult = sensconv::packetReader::readResult;
        const readResult result = reader.readPacket(packet);
        FUZZ_CHECK(result == readResult::delivered || result == readResult::endOfData || result == readResult::cutOff);
        if (result != readResult::delivered) {
            FUZZ_CHECK(packet.type == sensconv::streamINVALID && packet.data == nullptr && packet.index == -1);
            continue;
        }
        FUZZ_CHECK(packet.length >= 0 && packet.length <= sensconv::packetReader::maxPacketLength);
        FUZZ_CHECK(packet.data != nullptr);
        FUZZ_CHECK(packet.id >= 0 && packet.id < sensconv::packetReader::maxStreamId);
        FUZZ_CHECK(packet.index == delivered);
        FUZZ_CHECK(packet.timestamp >= previousTimestamp);
        previousTimestamp = packet.timestamp;
        ++delivered;

        // The frame (its header as read, then the payload) stands in the file at or after
        // the end of the previous one.
        uint8_t frameHead[10];
        std::memcpy(frameHead, packet.data - 10, sizeof frameHead);
        FUZZ_CHECK(sensconv::readLE16(frameHead) == packet.id);
        FUZZ_CHECK(sensconv::readLE32(frameHead + 6) == static_cast<uint32_t>(packet.length));
        std::vector<uint8_t> frame(frameHead, frameHead + sizeof frameHead);
        frame.insert(frame.end(), packet.data, packet.data + packet.length);
        FUZZ_CHECK(searchFrom <= file.size());
        const void* found = memmem(file.data() + searchFrom, file.size() - searchFrom, frame.data(), frame.size());
        FUZZ_CHECK(found != nullptr);
        searchFrom = static_cast<size_t>(static_cast<const uint8_t*>(found) - file.data()) + frame.size();
    }

    FUZZ_CHECK(reader.numParsedPackets() == delivered);
    FUZZ_CHECK(reader.numCorruptBytesSkipped() >= 0 && static_cast<size_t>(reader.numCorruptBytesSkipped()) <= size);
    FUZZ_CHECK(reader.numCorruptSections() >= 0 && static_cast<size_t>(reader.numCorruptSections()) <= size);
    FUZZ_CHECK(reader.lastSNSRTimestamp() == previousTimestamp);
    int64_t counted = 0;
    for (const auto& [type, count] : reader.streamCounts()) {
        FUZZ_CHECK(count >= 0);
        counted += count;
    }
    FUZZ_CHECK(counted == delivered);

    sensconv::metaList keys;
    sensconv::metaList values;
    reader.writeStatistics(keys, values);
    FUZZ_CHECK(keys.size() == values.size() && keys.size() == 7 + reader.streamCounts().size());
    return 0;
}
