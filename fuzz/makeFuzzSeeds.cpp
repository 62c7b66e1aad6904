// Writes the seed corpora of the fuzz targets, built with the container-writing library:
//   makeFuzzSeeds <directory>
// creates <directory>/<target>/seed_NNN for every target. Nothing binary is kept in the
// repository; the seeds are made again whenever the fuzzers run.

#include <cstdio>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "fuzzInputs.h"
#include "platform/platform.h"

namespace {

using sensconv::containerBuilder;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: makeFuzzSeeds <directory>\n");
        return 2;
    }
    const std::string root = argv[1];
    headerSeeds(root);
    packetReaderSeeds(root);
    return seedWriter::failed ? 1 : 0;
}
