#include "container/containerBuilder.h"

#include <cstdio>

#include "common/littleEndian.h"

namespace sensconv {

namespace {

void putAtoms(std::vector<uint8_t>& out, const std::vector<containerBuilder::atom>& atoms,
              std::optional<int32_t> declaredCount) {
    appendLE32(out, static_cast<uint32_t>(declaredCount.value_or(static_cast<int32_t>(atoms.size()))));
    for (const containerBuilder::atom& a : atoms) {
        appendLE32(out, a.id);
        out.push_back(static_cast<uint8_t>(a.type));
        appendLE32(out, a.declaredSize.value_or(static_cast<uint32_t>(a.data.size())));
        out.insert(out.end(), a.data.begin(), a.data.end());
    }
}

containerBuilder::atom makeAtom(std::string_view tag, char type, std::span<const uint8_t> data,
                                std::optional<uint32_t> declaredSize) {
    containerBuilder::atom a;
    a.id = containerBuilder::tagOf(tag);
    a.type = type;
    a.data.assign(data.begin(), data.end());
    a.declaredSize = declaredSize;
    return a;
}

containerBuilder::atom makeIntAtom(std::string_view tag, int32_t value) {
    uint8_t raw[4];
    writeLE32(raw, static_cast<uint32_t>(value));
    return makeAtom(tag, 'i', raw, std::nullopt);
}

containerBuilder::atom makeTextAtom(std::string_view tag, std::string_view text) {
    const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
    return makeAtom(tag, 'c', std::span<const uint8_t>(begin, text.size()), std::nullopt);
}

}  // namespace

uint32_t containerBuilder::tagOf(std::string_view text) {
    uint32_t tag = 0;
    for (size_t i = 0; i < 4; ++i) {
        const auto byte = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
        tag |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return tag;
}

containerBuilder::stream& containerBuilder::stream::intAtom(std::string_view tag, int32_t value) {
    atoms.push_back(makeIntAtom(tag, value));
    return *this;
}

containerBuilder::stream& containerBuilder::stream::textAtom(std::string_view tag, std::string_view text) {
    atoms.push_back(makeTextAtom(tag, text));
    return *this;
}

containerBuilder::stream& containerBuilder::stream::rawAtom(std::string_view tag, char type,
                                                            std::span<const uint8_t> data,
                                                            std::optional<uint32_t> declaredSize) {
    atoms.push_back(makeAtom(tag, type, data, declaredSize));
    return *this;
}

containerBuilder& containerBuilder::setMagic(std::string_view magic) {
    magic_ = std::string(magic.substr(0, 4));
    magic_.resize(4, '\0');
    return *this;
}

containerBuilder& containerBuilder::setVersion(uint32_t version) {
    version_ = version;
    return *this;
}

containerBuilder& containerBuilder::setFileStartTime(uint64_t milliseconds) {
    fileStartTime_ = milliseconds;
    return *this;
}

containerBuilder& containerBuilder::addIntAtom(std::string_view tag, int32_t value) {
    atoms_.push_back(makeIntAtom(tag, value));
    return *this;
}

containerBuilder& containerBuilder::addTextAtom(std::string_view tag, std::string_view text) {
    atoms_.push_back(makeTextAtom(tag, text));
    return *this;
}

containerBuilder& containerBuilder::addRawAtom(std::string_view tag, char type, std::span<const uint8_t> data,
                                               std::optional<uint32_t> declaredSize) {
    atoms_.push_back(makeAtom(tag, type, data, declaredSize));
    return *this;
}

containerBuilder& containerBuilder::declareAtomCount(int32_t count) {
    declaredAtomCount_ = count;
    return *this;
}

containerBuilder& containerBuilder::declareStreamCount(int32_t count) {
    declaredStreamCount_ = count;
    return *this;
}

containerBuilder::stream& containerBuilder::addStream(std::string_view tag, uint16_t packetId, uint32_t ver,
                                                      uint16_t len) {
    stream& s = streams_.emplace_back();
    s.id = tagOf(tag);
    s.ver = ver;
    s.len = len;
    s.packet_id = packetId;
    return s;
}

containerBuilder::stream& containerBuilder::addQor2Stream(uint16_t packetId, const qor2Settings& settings) {
    stream& s = addStream("qor2", packetId);
    s.intAtom("intr", settings.intr)
        .intAtom("mic ", settings.mic)
        .intAtom("acc ", settings.acc)
        .intAtom("amb ", settings.amb)
        .intAtom("bar ", settings.bar)
        .intAtom("comp", settings.comp)
        .intAtom("dals", settings.dals)
        .intAtom("hum ", settings.hum)
        .intAtom("powr", settings.powr)
        .intAtom("bdnr", settings.bdnr)
        .intAtom("hver", settings.hver)
        .intAtom("swma", settings.swma)
        .intAtom("swmi", settings.swmi)
        .intAtom("wd01", settings.wd01)
        .intAtom("wd02", settings.wd02)
        .intAtom("wd03", settings.wd03)
        .intAtom("wd04", settings.wd04);
    return s;
}

containerBuilder::stream& containerBuilder::addJuxStream(uint16_t packetId, const juxSettings& settings) {
    stream& s = addStream("jux ", packetId);
    s.intAtom("intr", settings.intr)
        .intAtom("gyro", settings.gyro)
        .intAtom("mag ", settings.mag)
        .intAtom("powr", settings.powr)
        .intAtom("bdnr", settings.bdnr)
        .intAtom("hver", settings.hver)
        .intAtom("swma", settings.swma)
        .intAtom("swmi", settings.swmi)
        .intAtom("wd01", settings.wd01)
        .intAtom("wd02", settings.wd02)
        .intAtom("wd03", settings.wd03)
        .intAtom("wd04", settings.wd04);
    return s;
}

containerBuilder::stream& containerBuilder::addSirfGpsStream(uint16_t packetId) {
    return addStream("sgps", packetId);
}

containerBuilder::stream& containerBuilder::addCameraStream(uint16_t packetId) {
    return addStream("cams", packetId);
}

void containerBuilder::appendFrame(std::vector<uint8_t>& out, uint16_t id, uint32_t timestamp,
                                   std::span<const uint8_t> payload) {
    appendLE16(out, id);
    appendLE32(out, timestamp);
    appendLE32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

containerBuilder& containerBuilder::addFrame(uint16_t id, uint32_t timestamp, std::span<const uint8_t> payload) {
    appendFrame(body_, id, timestamp, payload);
    return *this;
}

containerBuilder& containerBuilder::addFrameWithLength(uint16_t id, uint32_t timestamp, uint32_t declaredLength,
                                                       std::span<const uint8_t> payload) {
    appendLE16(body_, id);
    appendLE32(body_, timestamp);
    appendLE32(body_, declaredLength);
    body_.insert(body_.end(), payload.begin(), payload.end());
    return *this;
}

containerBuilder& containerBuilder::addRawBytes(std::span<const uint8_t> raw) {
    body_.insert(body_.end(), raw.begin(), raw.end());
    return *this;
}

std::vector<uint8_t> containerBuilder::headerBytes() const {
    std::vector<uint8_t> out;
    out.insert(out.end(), magic_.begin(), magic_.end());
    appendLE32(out, version_);
    appendLE64(out, fileStartTime_);
    putAtoms(out, atoms_, declaredAtomCount_);
    appendLE32(out, static_cast<uint32_t>(declaredStreamCount_.value_or(static_cast<int32_t>(streams_.size()))));
    for (const stream& s : streams_) {
        appendLE32(out, s.id);
        appendLE32(out, s.ver);
        appendLE16(out, s.len);
        appendLE16(out, s.packet_id);
        putAtoms(out, s.atoms, s.declaredAtomCount);
    }
    return out;
}

std::vector<uint8_t> containerBuilder::bytes() const {
    std::vector<uint8_t> out = headerBytes();
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
}

size_t containerBuilder::size() const {
    return headerBytes().size() + body_.size();
}

bool containerBuilder::writeFile(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const std::vector<uint8_t> all = bytes();
    const bool written = std::fwrite(all.data(), 1, all.size(), file) == all.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

}  // namespace sensconv
