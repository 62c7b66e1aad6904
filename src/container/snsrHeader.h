#pragma once
// The container header: magic, version, start time, typed meta-data atoms and the
// stream table, with the board settings and barometer calibration derived from it.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sensconv {

// Stream types of the stream table; their names are in streamTypeNames.
enum streamType : int32_t {
    streamQOR = 0,
    streamJUX = 1,
    streamGPS = 2,
    streamSIRF_GPS = 3,
    streamWIFI = 4,
    streamLATLON = 5,
    streamANNOT = 6,
    streamQOR2 = 7,
    streamMIC = 8,
    streamCLOCK = 9,
    streamTAG = 10,
    streamUNKNOWN_RAW = 16,
    streamCAMERA = 17,
    streamCAMERA_FILES = 19,
    streamINVALID = 20,
};

inline constexpr int numStreamTypeNames = 21;

// Frames name their stream by an ID below this, and a header sets up at most this many
// streams; stream types from here on never name a packet stream of their own.
inline constexpr int32_t numStreamIds = 19;
extern const std::array<const char*, numStreamTypeNames> streamTypeNames;

// A four-character tag as a 32-bit value, bytes in file order ("intr" -> 'i' lowest).
constexpr uint32_t makeTag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

// Type of a stream record's tag; replaces len for the tags whose length is fixed.
int32_t streamTypeOfTag(uint32_t tag, uint32_t& len);

struct metaDataAtom {
    uint32_t id = 0;
    char type = 0;
    uint32_t size = 0;
    std::vector<uint8_t> data;
};

struct snsrStream {
    int32_t type = 0;
    uint32_t id = 0;
    uint32_t ver = 0;
    uint32_t len = 0;
    uint32_t packet_id = 0;
    int32_t num_atoms = 0;
    std::vector<metaDataAtom> atoms;
    int32_t _active = 0;
};

struct juxSettings {
    int32_t intr = 0, gyro = 0, mag = 0, powr = 0;
    int32_t bdnr = 0, hver = 0, swma = 0, swmi = 0;
    int32_t wd01 = 0, wd02 = 0, wd03 = 0, wd04 = 0;
};

struct qor2Settings {
    int32_t intr = 0, mic = 0, acc = 0, amb = 0, bar = 0, comp = 0, dals = 0, hum = 0, powr = 0, spare = 0;
    int32_t bdnr = 0, hver = 0, swma = 0, swmi = 0;
    int32_t wd01 = 0, wd02 = 0, wd03 = 0, wd04 = 0;
};

struct barometerCalibration {
    int32_t C1 = 0, C2 = 0, C3 = 0, C4 = 0, C5 = 0, C6 = 0;
};

struct snsrHeader {
    std::string file_name;
    std::FILE* file = nullptr;  // owned unless it is standard input; see closeInputFile
    // The stdio buffer of file while it is open (large, so that reading a recording
    // takes few system calls).
    std::vector<char> fileBuffer;
    bool fileIsStandardInput = false;
    int32_t num_streams = 0;
    std::vector<snsrStream> streams;
    uint64_t fileStartTime = 0;
    // Bytes the header occupies in the file; the first packet frame starts there.
    int64_t headerSize = 0;
    int32_t num_atoms = 0;
    std::vector<metaDataAtom> atoms;
    juxSettings jux_settings;
    qor2Settings qor2_settings;
    barometerCalibration calib_bar;
};

// Reads and validates the header from header.file (at offset 0). Prints nothing.
// On success the file stands at the first packet frame.
bool readHeader(snsrHeader& header);

// Board settings from the meta-data atoms; true when at least one atom matched.
bool loadJuxSettings(snsrHeader& header);
bool loadQor2Settings(snsrHeader& header);

}  // namespace sensconv
