#pragma once
// In-memory headers and packets for the decoding tests.

#include <cstdint>
#include <string>
#include <vector>

#include "container/packetReader.h"
#include "container/snsrHeader.h"
#include "decode/sensorDecoder.h"

namespace sensconv {

// The state a test sets inside a decoder where no packet could bring it about: a
// board's batch as its decoder leaves it, a clock at a chosen time, a GPS record.
struct sensorDecoderTestDoor {
    static boardClock& qor2Clock(sensorDecoder& decoder) { return decoder.qor2Clock_; }
    static boardClock& juxClock(sensorDecoder& decoder) { return decoder.juxClock_; }
    static packetBatch& qor2Batch(sensorDecoder& decoder) { return decoder.qor2Batch_; }
    static packetBatch& juxBatch(sensorDecoder& decoder) { return decoder.juxBatch_; }
    static gpsRecordBuffer& gpsRecord(sensorDecoder& decoder) { return decoder.gpsRecord_; }
};

}  // namespace sensconv

namespace sensconv::testing {

inline metaDataAtom intAtom(const char (&tag)[5], int32_t value) {
    metaDataAtom atom;
    atom.id = makeTag(tag);
    atom.type = 'i';
    atom.size = 4;
    const auto raw = static_cast<uint32_t>(value);
    atom.data = {static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw >> 16),
                 static_cast<uint8_t>(raw >> 24)};
    return atom;
}

inline snsrStream streamOf(const char (&tag)[5], uint32_t packetId, std::vector<metaDataAtom> atoms = {}) {
    snsrStream stream;
    stream.id = makeTag(tag);
    stream.type = streamTypeOfTag(stream.id, stream.len);
    stream.packet_id = packetId;
    stream.num_atoms = static_cast<int32_t>(atoms.size());
    stream.atoms = std::move(atoms);
    stream._active = 1;
    return stream;
}

inline snsrHeader headerOf(std::vector<snsrStream> streams, uint64_t fileStartTime = 0) {
    snsrHeader header;
    header.file_name = "memory.snsr";
    header.fileStartTime = fileStartTime;
    header.num_streams = static_cast<int32_t>(streams.size());
    header.streams = std::move(streams);
    return header;
}

// The main board with an interrupt maximum of 1000 and the given rates.
inline snsrStream qor2Stream(int32_t intmax = 1000, int32_t micHz = 8, int32_t rate = 40) {
    return streamOf("qor2", 7,
                    {intAtom("intr", intmax), intAtom("mic ", micHz), intAtom("acc ", rate), intAtom("amb ", rate),
                     intAtom("bar ", rate), intAtom("comp", rate), intAtom("dals", rate), intAtom("hum ", rate),
                     intAtom("powr", rate)});
}

inline snsrStream juxStream(int32_t intmax = 1000, int32_t rate = 40) {
    return streamOf("jux ", 1, {intAtom("intr", intmax), intAtom("gyro", rate), intAtom("mag ", rate)});
}

inline snsrPacket packetOf(int32_t type, const std::vector<uint8_t>& bytes, int32_t index = 0, uint32_t timestamp = 0) {
    snsrPacket packet;
    packet.type = type;
    packet.id = type;
    packet.timestamp = timestamp;
    packet.data = bytes.data();
    packet.length = static_cast<int32_t>(bytes.size());
    packet.index = index;
    return packet;
}

}  // namespace sensconv::testing
