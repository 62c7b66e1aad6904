// Reading speed of the packet reader over a large recording: frame checks, buffer
// refills and type look-ups, frame by frame, as the driver drives it. The recording
// (about 200 MB) is generated once with the container builder and kept in /tmp.
//
// Compare with `cat FILE > /dev/null` on the same file for the raw reading speed.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "container/packetReader.h"
#include "platform/platform.h"

namespace {

using sensconv::containerBuilder;

constexpr int64_t recordingSize = 200LL * 1000 * 1000;
constexpr int64_t garbledSize = 20LL * 1000 * 1000;

// Deterministic bytes, so that the cached files stay valid between runs.
struct pseudoRandom {
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state);
    }
};

containerBuilder recordingHeader() {
    containerBuilder builder;
    builder.setFileStartTime(1230000000000ULL);
    sensconv::qor2Settings qor2;
    qor2.intr = 32768;
    qor2.mic = 8000;
    builder.addQor2Stream(1, qor2);
    sensconv::juxSettings jux;
    jux.intr = 32768;
    builder.addJuxStream(2, jux);
    builder.addSirfGpsStream(3);
    builder.addCameraStream(4);
    return builder;
}

bool haveFile(const std::string& path, int64_t size) {
    std::FILE* file = sensconv::platform::openForReading(path);
    if (file == nullptr) return false;
    const auto actual = sensconv::platform::fileSize(file);
    std::fclose(file);
    return actual && *actual == size;
}

// The board's traffic: every millisecond a main-board packet, every 10 ms a
// second-board packet, every second a GPS burst, every 5 seconds a camera image cut
// into 4096-byte pieces.
std::string recordingPath() {
    const std::string path = "/tmp/sensconv_bench_packetReader_200MB.snsr";
    std::vector<uint8_t> out = recordingHeader().headerBytes();
    std::vector<uint8_t> payload(4096);
    pseudoRandom random;
    for (uint8_t& b : payload) b = static_cast<uint8_t>(random.next());

    // The exact size is known only after generation; remember it beside the file.
    const std::string sizePath = path + ".size";
    if (std::FILE* sizeFile = std::fopen(sizePath.c_str(), "r")) {
        long long size = 0;
        const bool known = std::fscanf(sizeFile, "%lld", &size) == 1;
        std::fclose(sizeFile);
        if (known && haveFile(path, size)) return path;
    }

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return {};
    int64_t written = 0;
    uint32_t ms = 0;
    auto frame = [&](uint16_t id, size_t length) {
        containerBuilder::appendFrame(out, id, ms, std::span<const uint8_t>(payload.data(), length));
    };
    while (written + static_cast<int64_t>(out.size()) < recordingSize) {
        ++ms;
        frame(1, 74 + random.next() % 160);
        if (ms % 10 == 0) frame(2, 40 + random.next() % 40);
        if (ms % 1000 == 0) frame(3, 200 + random.next() % 300);
        if (ms % 5000 == 0) {
            for (int piece = 0; piece < 12; ++piece) frame(4, 4096);
        }
        if (out.size() > (1u << 20)) {
            std::fwrite(out.data(), 1, out.size(), file);
            written += static_cast<int64_t>(out.size());
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), file);
    written += static_cast<int64_t>(out.size());
    std::fclose(file);
    if (std::FILE* sizeFile = std::fopen(sizePath.c_str(), "w")) {
        std::fprintf(sizeFile, "%lld\n", static_cast<long long>(written));
        std::fclose(sizeFile);
    }
    return path;
}

// Mostly random bytes with a valid frame now and then: the reader spends its time
// searching byte by byte.
std::string garbledPath() {
    const std::string path = "/tmp/sensconv_bench_packetReader_garbled_20MB.snsr";
    const std::vector<uint8_t> header = recordingHeader().headerBytes();
    const int64_t size = static_cast<int64_t>(header.size()) + garbledSize;
    if (haveFile(path, size)) return path;
    std::vector<uint8_t> out = header;
    pseudoRandom random;
    // Random bytes rarely pass the frame checks; ID bytes of 0xFF never do.
    while (static_cast<int64_t>(out.size()) < size) {
        const uint32_t value = random.next();
        out.push_back(static_cast<uint8_t>(value % 7 == 0 ? 0xFF : value >> 8));
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return {};
    std::fwrite(out.data(), 1, out.size(), file);
    std::fclose(file);
    return path;
}

void readWholeFile(benchmark::State& state, const std::string& path) {
    if (path.empty()) {
        state.SkipWithError("cannot create the benchmark recording in /tmp");
        return;
    }
    int64_t bytes = 0;
    int64_t packets = 0;
    for (auto _ : state) {
        sensconv::packetReader reader(path);
        sensconv::snsrPacket packet;
        int64_t lengths = 0;
        while (reader.hasData()) {
            if (reader.readPacket(packet) == sensconv::packetReader::readResult::delivered) lengths += packet.length;
        }
        benchmark::DoNotOptimize(lengths);
        packets += reader.numParsedPackets();
        bytes += static_cast<int64_t>(reader.header() != nullptr ? sensconv::platform::fileSize(reader.header()->file).value_or(0) : 0);
    }
    state.SetBytesProcessed(bytes);
    state.counters["packets/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_readRecording(benchmark::State& state) {
    readWholeFile(state, recordingPath());
}
BENCHMARK(BM_readRecording)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole file is one corrupt section: two message lines per pass.
void BM_searchThroughGarbage(benchmark::State& state) {
    readWholeFile(state, garbledPath());
}
BENCHMARK(BM_searchThroughGarbage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
