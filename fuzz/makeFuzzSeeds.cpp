// Writes the seed corpora of the fuzz targets, built with the container-writing library:
//   makeFuzzSeeds <directory>
// creates <directory>/<target>/seed_NNN for every target. Nothing binary is kept in the
// repository; the seeds are made again whenever the fuzzers run.

#include <cstdio>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "decode/boardPacketBuilder.h"
#include "fuzzInputs.h"
#include "platform/platform.h"

namespace {

using sensconv::boardPacketBuilder;
using sensconv::containerBuilder;
using sensconv::fuzzing::decoderConfig;
using sensconv::fuzzing::packetReaderHeader;

class seedWriter {
public:
    seedWriter(const std::string& root, const std::string& target) : dir_(root + "/" + target + "/") {
        std::string reason;
        if (!sensconv::platform::makeDirectories(dir_, reason)) {
            std::fprintf(stderr, "makeFuzzSeeds: cannot create %s (%s)\n", dir_.c_str(), reason.c_str());
            failed = true;
        }
    }

    void add(const std::vector<uint8_t>& bytes) {
        char name[32];
        std::snprintf(name, sizeof name, "seed_%03d", count_++);
        const std::string path = dir_ + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        const bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        if (file == nullptr || std::fclose(file) != 0 || !written) {
            std::fprintf(stderr, "makeFuzzSeeds: cannot write %s\n", path.c_str());
            failed = true;
        }
    }

    static inline bool failed = false;

private:
    std::string dir_;
    int count_ = 0;
};

std::vector<uint8_t> payload(size_t length, uint8_t first = 0) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
    return bytes;
}

// The bytes a builder holds after its header: what the packet reader target appends
// to its own fixed header.
std::vector<uint8_t> body(const containerBuilder& builder) {
    const std::vector<uint8_t> all = builder.bytes();
    return {all.begin() + static_cast<std::ptrdiff_t>(builder.headerBytes().size()), all.end()};
}

void headerSeeds(const std::string& root) {
    seedWriter out(root, "fuzzHeaderReader");
    out.add(containerBuilder().headerBytes());

    containerBuilder atoms;
    atoms.setFileStartTime(1230000000000ULL).addIntAtom("intr", 1000).addTextAtom("name", "recorder 7");
    out.add(atoms.headerBytes());

    containerBuilder boards;
    sensconv::qor2Settings qor2;
    qor2.intr = 1000;
    qor2.mic = 8000;
    qor2.acc = 400;
    qor2.bar = 10;
    qor2.wd01 = 0xFFFF;
    qor2.wd02 = 0x1234;
    boards.addQor2Stream(1, qor2);
    sensconv::juxSettings jux;
    jux.intr = 2000;
    jux.gyro = 1000;
    boards.addJuxStream(2, jux);
    boards.addSirfGpsStream(3);
    boards.addCameraStream(4);
    boards.addStream("qor ", 5, 1, 100);
    boards.addStream("ltln", 6).textAtom("note", "x");
    boards.addStream("xyz1", 7);
    out.add(boards.headerBytes());

    // Header-level settings, a short atom and an atom of an unknown type.
    containerBuilder headerLevel;
    headerLevel.addIntAtom("wd01", 0xFFFF).addIntAtom("wd04", 77);
    const uint8_t two[2] = {1, 2};
    headerLevel.addRawAtom("intr", 'i', two).addRawAtom("zzzz", 'q', two);
    headerLevel.addStream("mic ", 2).intAtom("mics", 8000);
    out.add(headerLevel.headerBytes());

    containerBuilder many;
    for (int i = 0; i < 25; ++i) many.addStream("wifi", static_cast<uint16_t>(i));
    out.add(many.headerBytes());

    // Counts and sizes that promise more than the file holds, and a cut-off header.
    containerBuilder lying;
    const uint8_t four[4] = {1, 0, 0, 0};
    lying.addRawAtom("big ", 'c', four, 0x7FFFFFF0u);
    out.add(lying.headerBytes());
    containerBuilder manyAtoms;
    manyAtoms.declareAtomCount(0x7FFFFFFF);
    out.add(manyAtoms.headerBytes());
    containerBuilder manyStreams;
    manyStreams.declareStreamCount(1 << 28);
    out.add(manyStreams.headerBytes());
    std::vector<uint8_t> cut = boards.headerBytes();
    cut.resize(cut.size() - 3);
    out.add(cut);
    out.add(containerBuilder().setVersion(3).headerBytes());
}

void packetReaderSeeds(const std::string& root) {
    seedWriter out(root, "fuzzPacketReader");
    out.add({});

    containerBuilder plain = packetReaderHeader();
    for (uint16_t id = 0; id < 8; ++id) plain.addFrame(id, 10u * id, payload(id * 3u, static_cast<uint8_t>(id)));
    out.add(body(plain));

    containerBuilder limits = packetReaderHeader();
    limits.addFrame(1, 0, {}).addFrame(4, 100000, payload(4096)).addFrame(18, 100001, payload(5));
    out.add(body(limits));

    // Garbage between frames, a lying length, a timestamp too far ahead, a cut-off frame.
    containerBuilder damaged = packetReaderHeader();
    const uint8_t junk[] = {0xFF, 0xFF, 0xFF, 0x13, 0x00};
    damaged.addFrame(1, 10, payload(8)).addRawBytes(junk).addFrame(2, 20, payload(12));
    damaged.addFrameWithLength(3, 30, 4097, payload(6)).addFrame(3, 40, payload(6));
    damaged.addFrame(1, 150000, payload(3)).addFrame(1, 50, payload(3));
    damaged.addFrameWithLength(2, 60, 100, payload(20));
    out.add(body(damaged));

    containerBuilder backwards = packetReaderHeader();
    backwards.addFrame(1, 10, payload(2)).addFrame(1, 20, payload(2)).addFrame(1, 15, payload(2)).addFrame(1, 30, payload(2));
    out.add(body(backwards));
}

// A camera stream: an image start, filler, a check segment with the right CRC-32 of
// everything from the start marker, more filler.
std::vector<uint8_t> jpegWithCheckSegment(size_t filler) {
    std::vector<uint8_t> image = {0xFF, 0xD8};
    for (size_t i = 0; i < filler; ++i) image.push_back(static_cast<uint8_t>(i * 13 + 1));
    image.insert(image.end(), {0xFF, 0xEF, 0x00, 0x08});
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : image) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc ^= 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    for (size_t i = 0; i < 20; ++i) image.push_back(static_cast<uint8_t>(0x40 + i));
    return image;
}

// A decoder seed: its configuration, then the frames the builder holds after the header.
void addDecoderSeed(seedWriter& out, const decoderConfig& config, const containerBuilder& frames) {
    std::vector<uint8_t> seed = config.encode();
    const std::vector<uint8_t> after = body(frames);
    seed.insert(seed.end(), after.begin(), after.end());
    out.add(seed);
}

void decoderSeeds(const std::string& root) {
    seedWriter out(root, "fuzzDecoder");
    decoderConfig config;

    // A tidy recording of every packet kind, with a clean roll-over of the period counter.
    containerBuilder tidy = config.header();
    uint32_t ms = 0;
    auto frame = [&ms](containerBuilder& builder, uint16_t id, const std::vector<uint8_t>& payload) {
        builder.addFrame(id, ms += 7, payload);
    };
    sensconv::qor2SensorFields q;
    q.accelX = 16383;
    q.barTemp = 20224 + 300;
    q.pressure = 30000;
    q.compass = 3600;
    q.visLight = 0x35;
    q.irLight = 0x12;
    q.shtTemp = 6400;
    q.humidity = 1200;
    q.lightDivider = 4;
    q.lightCount = 999;
    sensconv::juxSensorFields j;
    j.gyro = {1, -1, 300};
    j.mag = {5, 6, 7};
    for (int step = 0; step < 6; ++step) {
        const uint8_t ts = static_cast<uint8_t>(step < 3 ? 253 + step : step - 3);
        const uint16_t intCount = static_cast<uint16_t>(step * 150);
        frame(tidy, decoderConfig::qor2Id, boardPacketBuilder::qor2Audio(ts, intCount, std::vector<uint16_t>(20, 0x8000)));
        frame(tidy, decoderConfig::qor2Id, boardPacketBuilder::qor2Sensor(static_cast<uint8_t>(step & 1), 0xFF, ts, intCount, q));
        frame(tidy, decoderConfig::micId, boardPacketBuilder::qor2Audio(ts, intCount, {1, 2, 3}, 9));
        frame(tidy, decoderConfig::juxId, boardPacketBuilder::juxSensor(0x0F, ts, intCount, j));
        frame(tidy, decoderConfig::juxId, boardPacketBuilder::juxWithoutReadings(static_cast<uint8_t>(2 + step % 4)));
        std::vector<uint8_t> gps = {0xA0, 0xA2, 0x00, 5, 0, 0, 0, 1, 2, 3, 4, 5};
        frame(tidy, decoderConfig::gpsId, gps);
    }
    const std::vector<uint8_t> image = jpegWithCheckSegment(60);
    frame(tidy, decoderConfig::cameraId, std::vector<uint8_t>(image.begin(), image.begin() + 30));
    frame(tidy, decoderConfig::cameraId, std::vector<uint8_t>(image.begin() + 30, image.end()));
    frame(tidy, decoderConfig::cameraId, image);
    addDecoderSeed(out, config, tidy);

    // The same split into two files of a session, and with the settings elsewhere.
    decoderConfig twoFiles = config;
    twoFiles.flags |= decoderConfig::twoFiles;
    addDecoderSeed(out, twoFiles, tidy);
    decoderConfig micOnly = config;
    micOnly.flags = decoderConfig::micStream | decoderConfig::headerSettings | decoderConfig::gpsStream |
                    decoderConfig::unknownStream;
    addDecoderSeed(out, micOnly, tidy);

    // Gaps, a wrap that is not a roll-over, damaged and short packets, no time base.
    containerBuilder rough = config.header();
    ms = 0;
    frame(rough, decoderConfig::qor2Id, boardPacketBuilder::qor2Audio(10, 0, {1, 2}));
    frame(rough, decoderConfig::qor2Id, boardPacketBuilder::qor2Audio(200, 999, {3, 4}));
    frame(rough, decoderConfig::qor2Id, boardPacketBuilder::qor2Audio(3, 5, {5, 6}));
    std::vector<uint8_t> spoiled = boardPacketBuilder::qor2Sensor(0, 0x3F, 4, 6, q);
    boardPacketBuilder::spoilChecksum(spoiled);
    frame(rough, decoderConfig::qor2Id, spoiled);
    std::vector<uint8_t> cut = boardPacketBuilder::qor2Sensor(1, 0xFF, 5, 7, q);
    cut.resize(cut.size() - 4);
    frame(rough, decoderConfig::qor2Id, cut);
    frame(rough, decoderConfig::juxId, {0x23, 0x7C, 0x04});
    frame(rough, decoderConfig::gpsId, {0xA0, 0xA2, 0x00, 200, 1});
    frame(rough, decoderConfig::gpsId, {0xA0, 0xA2});
    addDecoderSeed(out, config, rough);
    // A gap that grows over packets without the channel's values: the accelerometer
    // reports at period 0 and again 456 periods later, which at 5 Hz is more than the
    // target's repair limit (it must end the file before that packet, not exit).
    containerBuilder longGap = config.header();
    ms = 0;
    frame(longGap, decoderConfig::qor2Id, boardPacketBuilder::qor2Sensor(0, 0x01, 0, 0, q));
    for (const uint8_t ts : {200, 255, 0, 200})
        frame(longGap, decoderConfig::qor2Id, boardPacketBuilder::qor2Audio(ts, 0, {1, 2}));
    frame(longGap, decoderConfig::qor2Id, boardPacketBuilder::qor2Sensor(1, 0x01, 210, 0, q));
    addDecoderSeed(out, config, longGap);

    decoderConfig noTimeBase = config;
    noTimeBase.qor2Intmax = 0;
    noTimeBase.juxIntmax = 0;
    addDecoderSeed(out, noTimeBase, rough);
}

void imageSeeds(const std::string& root) {
    seedWriter out(root, "fuzzImageExtractor");
    auto packet = [](std::vector<uint8_t>& seed, uint8_t control, const std::vector<uint8_t>& bytes) {
        seed.push_back(control);
        seed.push_back(static_cast<uint8_t>(bytes.size()));
        seed.push_back(static_cast<uint8_t>(bytes.size() >> 8));
        seed.insert(seed.end(), bytes.begin(), bytes.end());
    };
    const std::vector<uint8_t> image = jpegWithCheckSegment(100);
    std::vector<uint8_t> seed = {0xE8, 0x03};
    packet(seed, 0x80, {0x00, 0x11});
    packet(seed, 1, std::vector<uint8_t>(image.begin(), image.begin() + 20));
    packet(seed, 2, std::vector<uint8_t>(image.begin() + 20, image.end()));
    std::vector<uint8_t> twoImages = image;
    twoImages.insert(twoImages.end(), image.begin(), image.end());
    packet(seed, 3, twoImages);
    std::vector<uint8_t> broken = image;
    broken[10] ^= 0xFF;
    packet(seed, 4, broken);
    packet(seed, 5, {0x01, 0x02, 0xFF});
    packet(seed, 6, {0xD8, 0x00});
    packet(seed, 7, {0xFF, 0xD8});
    packet(seed, 8, std::vector<uint8_t>(60, 0x33));
    out.add(seed);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: makeFuzzSeeds <directory>\n");
        return 2;
    }
    const std::string root = argv[1];
    headerSeeds(root);
    packetReaderSeeds(root);
    decoderSeeds(root);
    imageSeeds(root);
    return seedWriter::failed ? 1 : 0;
}
