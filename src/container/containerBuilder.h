#pragma once
// Builds a container file in memory: header, meta-data atoms, stream table and packet
// frames, byte for byte as the recorder writes them. Tests of every subsystem make
// their fixtures with it, and the recording simulator writes whole files with it.
//
// Nothing is checked: a builder can say anything a damaged or hostile file can say
// (a wrong magic or version, counts and sizes that promise more than follows, frames
// whose length lies, garbage between frames).

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "container/snsrHeader.h"

namespace sensconv {

class containerBuilder {
public:
    // A four-character tag from text: the first four bytes, padded with blanks
    // ("mic" gives "mic ").
    static uint32_t tagOf(std::string_view text);

    // One meta-data atom as it stands in the file. declaredSize, when set, is written
    // instead of data.size() (an atom that promises more bytes than it carries).
    struct atom {
        uint32_t id = 0;
        char type = 'i';
        std::vector<uint8_t> data;
        std::optional<uint32_t> declaredSize;
    };

    // One stream record with its own atoms.
    struct stream {
        uint32_t id = 0;
        uint32_t ver = 1;
        uint16_t len = 0;
        uint16_t packet_id = 0;
        std::vector<atom> atoms;
        std::optional<int32_t> declaredAtomCount;

        stream& intAtom(std::string_view tag, int32_t value);
        stream& textAtom(std::string_view tag, std::string_view text);
        stream& rawAtom(std::string_view tag, char type, std::span<const uint8_t> data,
                        std::optional<uint32_t> declaredSize = std::nullopt);
    };

    containerBuilder() = default;

    // Header fields. magic is written as its first four bytes (shorter text is padded
    // with zero bytes).
    containerBuilder& setMagic(std::string_view magic);
    containerBuilder& setVersion(uint32_t version);
    containerBuilder& setFileStartTime(uint64_t milliseconds);

    // Header-level atoms.
    containerBuilder& addIntAtom(std::string_view tag, int32_t value);
    containerBuilder& addTextAtom(std::string_view tag, std::string_view text);
    containerBuilder& addRawAtom(std::string_view tag, char type, std::span<const uint8_t> data,
                                 std::optional<uint32_t> declaredSize = std::nullopt);

    // Counts written instead of the real ones (a header that promises more than it holds).
    containerBuilder& declareAtomCount(int32_t count);
    containerBuilder& declareStreamCount(int32_t count);

    // Streams. The returned reference stays valid while the builder lives, so atoms
    // can be added to it later.
    stream& addStream(std::string_view tag, uint16_t packetId, uint32_t ver = 1, uint16_t len = 0);
    // A "qor2" stream carrying every main-board setting as an 'i' atom
    // (intr, "mic ", "acc ", "amb ", "bar ", comp, dals, "hum ", powr, bdnr, hver,
    // swma, swmi, wd01..wd04; spare has no tag).
    stream& addQor2Stream(uint16_t packetId, const qor2Settings& settings);
    // A "jux " stream carrying every second-board setting as an 'i' atom.
    stream& addJuxStream(uint16_t packetId, const juxSettings& settings);
    stream& addSirfGpsStream(uint16_t packetId);
    stream& addCameraStream(uint16_t packetId);

    // Packet frames after the header, in the order added.
    containerBuilder& addFrame(uint16_t id, uint32_t timestamp, std::span<const uint8_t> payload);
    // A frame whose length field says declaredLength while payload bytes follow
    // (a lying or cut-off frame).
    containerBuilder& addFrameWithLength(uint16_t id, uint32_t timestamp, uint32_t declaredLength,
                                         std::span<const uint8_t> payload);
    // Bytes written as they are (garbage between frames, a cut-off frame header).
    containerBuilder& addRawBytes(std::span<const uint8_t> raw);

    // The header alone, then the whole file (header and everything added after it).
    std::vector<uint8_t> headerBytes() const;
    std::vector<uint8_t> bytes() const;
    // Size of the whole file in bytes.
    size_t size() const;
    // Writes bytes() to path; false when the file cannot be written completely.
    bool writeFile(const std::string& path) const;

    // Appends one frame to out: the 10-byte frame header, then the payload.
    static void appendFrame(std::vector<uint8_t>& out, uint16_t id, uint32_t timestamp,
                            std::span<const uint8_t> payload);

private:
    std::string magic_ = "SNSR";
    uint32_t version_ = 2;
    uint64_t fileStartTime_ = 0;
    std::vector<atom> atoms_;
    std::optional<int32_t> declaredAtomCount_;
    std::deque<stream> streams_;
    std::optional<int32_t> declaredStreamCount_;
    std::vector<uint8_t> body_;
};

}  // namespace sensconv
