#include "container/snsrHeader.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/littleEndian.h"
#include "platform/platform.h"

namespace sensconv {

const std::array<const char*, numStreamTypeNames> streamTypeNames = {
    "QOR",   "JUX",      "GPS",      "SIRF_GPS", "WIFI",     "LATLON", "ANNOT",
    "QOR2",  "MIC",      "CLOCK",    "TAG",      "IMU",      "FEATURES", "AUDIO_VOICING_FEATURES",
    "POWER", "MAX_NUM_STREAMS", "UNKNOWN (RAW)", "CAMERA", "JUX POWER", "CAMERA FILES", "INVALID",
};

int32_t streamTypeOfTag(uint32_t tag, uint32_t& len) {
    switch (tag) {
        case makeTag("qor "): len = 74; return streamQOR;
        case makeTag("jux "): return streamJUX;
        case makeTag("gps "): return streamGPS;
        case makeTag("sgps"): return streamSIRF_GPS;
        case makeTag("wifi"): return streamWIFI;
        case makeTag("ltln"): len = 24; return streamLATLON;
        case makeTag("ant8"): len = 5; return streamANNOT;
        case makeTag("qor2"): return streamQOR2;
        case makeTag("mic "): return streamMIC;
        case makeTag("clck"): return streamCLOCK;
        case makeTag("tag "): return streamTAG;
        case makeTag("cams"): return streamCAMERA;
        case makeTag("camf"): return streamCAMERA_FILES;
        default: return streamUNKNOWN_RAW;
    }
}

namespace {

// Reads exact byte counts from the header's file; any short read ends the header.
// Where the file's size is known, every count and size is held against the bytes the
// file has left before anything is allocated for it, so a hostile header costs no
// memory; on a stream of unknown length (standard input) data is read in bounded
// pieces and memory grows only with the bytes that really arrive.
class headerInput {
public:
    explicit headerInput(std::FILE* file) : file_(file) {
        const std::optional<int64_t> size = platform::fileSize(file);
        const int64_t position = platform::tellPosition(file);
        if (size && position >= 0) left_ = std::max<int64_t>(0, *size - position);
    }

    int64_t bytesRead() const { return bytesRead_; }

    // False when the file cannot hold count entries of at least entrySize bytes each.
    bool canHold(int32_t count, int64_t entrySize) const {
        return !left_ || count <= 0 || static_cast<int64_t>(count) * entrySize <= *left_;
    }

    bool bytes(uint8_t* out, size_t count) {
        if (left_ && static_cast<int64_t>(count) > *left_) return false;
        const size_t got = std::fread(out, 1, count, file_);
        bytesRead_ += static_cast<int64_t>(got);
        if (left_) *left_ -= static_cast<int64_t>(got);
        return got == count;
    }

    bool u16(uint32_t& value) {
        uint8_t raw[2];
        if (!bytes(raw, 2)) return false;
        value = readLE16(raw);
        return true;
    }
    bool u32(uint32_t& value) {
        uint8_t raw[4];
        if (!bytes(raw, 4)) return false;
        value = readLE32(raw);
        return true;
    }
    bool i32(int32_t& value) {
        uint32_t raw = 0;
        if (!u32(raw)) return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    bool u64(uint64_t& value) {
        uint8_t raw[8];
        if (!bytes(raw, 8)) return false;
        value = readLE64(raw);
        return true;
    }

    bool data(std::vector<uint8_t>& out, uint32_t size) {
        out.clear();
        if (left_) {
            if (size > *left_) return false;
            out.resize(size);
            return bytes(out.data(), size);
        }
        constexpr size_t piece = 64 * 1024;
        size_t remaining = size;
        while (remaining > 0) {
            const size_t now = std::min(remaining, piece);
            const size_t start = out.size();
            out.resize(start + now);
            if (!bytes(out.data() + start, now)) return false;
            remaining -= now;
        }
        return true;
    }

private:
    std::FILE* file_;
    std::optional<int64_t> left_;
    int64_t bytesRead_ = 0;
};

// Smallest encodings: an atom without data, a stream record without atoms.
constexpr int64_t minimalAtomSize = 9;
constexpr int64_t minimalStreamSize = 16;

bool readAtom(headerInput& in, metaDataAtom& atom) {
    uint8_t type = 0;
    if (!in.u32(atom.id) || !in.bytes(&type, 1)) return false;
    atom.type = static_cast<char>(type);
    return in.u32(atom.size) && in.data(atom.data, atom.size);
}

bool readAtoms(headerInput& in, int32_t count, std::vector<metaDataAtom>& atoms) {
    atoms.clear();
    if (!in.canHold(count, minimalAtomSize)) return false;
    for (int32_t i = 0; i < count; ++i) {
        metaDataAtom atom;
        if (!readAtom(in, atom)) return false;
        atoms.push_back(std::move(atom));
    }
    return true;
}

bool readStream(headerInput& in, snsrStream& stream) {
    stream._active = 1;
    if (!in.u32(stream.id) || !in.u32(stream.ver) || !in.u16(stream.len) || !in.u16(stream.packet_id)) return false;
    stream.type = streamTypeOfTag(stream.id, stream.len);
    return in.i32(stream.num_atoms) && readAtoms(in, stream.num_atoms, stream.atoms);
}

int32_t atomInteger(const metaDataAtom& atom) {
    // An atom shorter than four bytes counts with the bytes it has, the rest zero.
    uint8_t raw[4] = {0, 0, 0, 0};
    if (!atom.data.empty()) std::memcpy(raw, atom.data.data(), std::min<size_t>(4, atom.data.size()));
    return static_cast<int32_t>(readLE32(raw));
}

int32_t* juxField(juxSettings& s, uint32_t tag) {
    switch (tag) {
        case makeTag("intr"): return &s.intr;
        case makeTag("gyro"): return &s.gyro;
        case makeTag("mag "): return &s.mag;
        case makeTag("powr"): return &s.powr;
        case makeTag("bdnr"): return &s.bdnr;
        case makeTag("hver"): return &s.hver;
        case makeTag("swma"): return &s.swma;
        case makeTag("swmi"): return &s.swmi;
        case makeTag("wd01"): return &s.wd01;
        case makeTag("wd02"): return &s.wd02;
        case makeTag("wd03"): return &s.wd03;
        case makeTag("wd04"): return &s.wd04;
        default: return nullptr;
    }
}

int32_t* qor2Field(qor2Settings& s, uint32_t tag) {
    switch (tag) {
        case makeTag("intr"): return &s.intr;
        case makeTag("mic "):
        case makeTag("mics"): return &s.mic;
        case makeTag("acc "): return &s.acc;
        case makeTag("amb "): return &s.amb;
        case makeTag("bar "): return &s.bar;
        case makeTag("comp"): return &s.comp;
        case makeTag("dals"): return &s.dals;
        case makeTag("hum "): return &s.hum;
        case makeTag("powr"): return &s.powr;
        case makeTag("bdnr"): return &s.bdnr;
        case makeTag("hver"): return &s.hver;
        case makeTag("swma"): return &s.swma;
        case makeTag("swmi"): return &s.swmi;
        case makeTag("wd01"): return &s.wd01;
        case makeTag("wd02"): return &s.wd02;
        case makeTag("wd03"): return &s.wd03;
        case makeTag("wd04"): return &s.wd04;
        default: return nullptr;
    }
}

template <typename settings, typename fieldOf>
int matchAtoms(const std::vector<metaDataAtom>& atoms, settings& target, fieldOf field) {
    int matches = 0;
    for (const metaDataAtom& atom : atoms) {
        if (int32_t* value = field(target, atom.id)) {
            *value = atomInteger(atom);
            ++matches;
        }
    }
    return matches;
}

}  // namespace

bool readHeader(snsrHeader& header) {
    if (header.file == nullptr) return false;
    headerInput in(header.file);

    uint8_t magic[4];
    if (!in.bytes(magic, 4) || std::memcmp(magic, "SNSR", 4) != 0) return false;
    uint32_t version = 0;
    if (!in.u32(version) || version != 2) return false;
    if (!in.u64(header.fileStartTime)) return false;

    if (!in.i32(header.num_atoms) || !readAtoms(in, header.num_atoms, header.atoms)) return false;

    if (!in.i32(header.num_streams) || !in.canHold(header.num_streams, minimalStreamSize)) return false;
    header.streams.clear();
    for (int32_t i = 0; i < header.num_streams; ++i) {
        snsrStream stream;
        if (!readStream(in, stream)) return false;
        header.streams.push_back(std::move(stream));
    }
    header.headerSize = in.bytesRead();
    return true;
}

bool loadJuxSettings(snsrHeader& header) {
    juxSettings& s = header.jux_settings;
    s.intr = s.gyro = s.mag = s.powr = 0;
    for (const snsrStream& stream : header.streams) {
        if (stream.type == streamJUX) return matchAtoms(stream.atoms, s, juxField) > 0;
    }
    return false;
}

bool loadQor2Settings(snsrHeader& header) {
    qor2Settings& s = header.qor2_settings;
    s.intr = s.mic = s.acc = s.amb = s.bar = s.comp = s.dals = s.hum = s.powr = s.spare = 0;

    int matches = 0;
    for (const snsrStream& stream : header.streams) {
        if (stream.type == streamQOR2 || stream.type == streamMIC) matches += matchAtoms(stream.atoms, s, qor2Field);
    }
    if (matches == 0) matches = matchAtoms(header.atoms, s, qor2Field);
    if (matches <= 0) return false;

    const uint32_t w1 = static_cast<uint16_t>(s.wd01);
    const uint32_t w2 = static_cast<uint16_t>(s.wd02);
    const uint32_t w3 = static_cast<uint16_t>(s.wd03);
    const uint32_t w4 = static_cast<uint16_t>(s.wd04);
    barometerCalibration& c = header.calib_bar;
    c.C1 = static_cast<int32_t>(w1 >> 1);
    c.C2 = static_cast<int32_t>(((w3 & 63) << 6) + (w4 & 63));
    c.C3 = static_cast<int32_t>(w4 >> 6);
    c.C4 = static_cast<int32_t>(w3 >> 6);
    c.C5 = static_cast<int32_t>(((w1 & 1) << 10) + (w2 >> 6));
    c.C6 = static_cast<int32_t>(w2 & 63);
    return true;
}

}  // namespace sensconv
