// GPS receiver decoding throughput: bytes per second through sirfDecoder, fed in
// record-sized chunks, over a stream of one navigation epoch a second (messages 2, 41
// and 9), with a count of heap allocations while feeding (there should be none).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <vector>

#include "countingAllocator.h"
#include "decode/sirfDecoder.h"

namespace sensconv {
namespace {

void appendFrame(std::vector<uint8_t>& out, std::vector<uint8_t> payload) {
    out.insert(out.end(), {0xA0, 0xA2, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())});
    uint32_t sum = 0;
    for (uint8_t b : payload) sum += b;
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), {static_cast<uint8_t>((sum >> 8) & 0x7F), static_cast<uint8_t>(sum), 0xB0, 0xB3});
}

// An hour of epochs: message 2 (a point in the Alps), message 41 and message 9.
std::vector<uint8_t> receiverStream() {
    std::vector<uint8_t> out;
    for (uint32_t second = 0; second < 3600; ++second) {
        std::vector<uint8_t> measured(41, 0);
        measured[0] = 2;
        const uint8_t ecef[12] = {0x00, 0x42, 0xB6, 0x5B, 0x00, 0x0A, 0x83, 0x0A, 0x00, 0x45, 0xD8, 0x3D};
        std::copy(std::begin(ecef), std::end(ecef), measured.begin() + 1);
        measured[19] = 4;
        measured[22] = 0x01;
        measured[23] = 0x35;
        const uint32_t tow = 46621915 + second * 100;
        for (int i = 0; i < 4; ++i) measured[24 + i] = static_cast<uint8_t>(tow >> (24 - 8 * i));
        appendFrame(out, measured);
        std::vector<uint8_t> geodetic(91, 0);
        geodetic[0] = 41;
        geodetic[4] = 4;
        geodetic[5] = 0x09;
        geodetic[6] = 0x35;
        geodetic[11] = 0x07;
        geodetic[12] = 0xE9;
        geodetic[13] = 3;
        geodetic[14] = 14;
        geodetic[16] = 30;
        appendFrame(out, geodetic);
        appendFrame(out, {9, 0, 40, 0, 20, 0, 10, 3, 200});
    }
    return out;
}

struct countingSink final : sirfNavigationSink {
    int64_t fixes = 0;
    void navigation(const gpsNavigation& m) override { fixes += m.fix ? 1 : 0; }
};

void BM_sirfDecoder(benchmark::State& state) {
    const std::vector<uint8_t> stream = receiverStream();
    const auto chunk = static_cast<size_t>(state.range(0));
    int64_t allocationsWhileFeeding = 0;
    for (auto _ : state) {
        countingSink sink;
        sirfDecoder decoder(sink);
        const int64_t before = bench::allocationCount();
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            decoder.feed(std::span<const uint8_t>(stream.data() + at, n), sirfRecordTag{static_cast<int64_t>(at), 0, 0});
        }
        decoder.finish();
        allocationsWhileFeeding += bench::allocationCount() - before;
        benchmark::DoNotOptimize(sink.fixes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    state.counters["allocations"] = benchmark::Counter(static_cast<double>(allocationsWhileFeeding),
                                                       benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_sirfDecoder)->Arg(1)->Arg(80)->Arg(4096);

}  // namespace
}  // namespace sensconv

BENCHMARK_MAIN();
