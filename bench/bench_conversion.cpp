// The whole conversion of one session as the program runs it: reader, decoder, writer
// and image extractor driven by the session loop, and the segmentation scan that reads
// every file once more. The recording (main-board compass and audio packets, GPS
// packets) is generated once per run in a scratch directory.
//
// Reported: packets per second, input bytes per second, and the process's peak
// resident memory, which must not grow with the recording's size.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "decode/boardPacketBuilder.h"
#include "driver/runConversion.h"
#include "driver/sessionSegmentation.h"

namespace {

using namespace sensconv;

struct recording {
    std::string directory;
    std::string path;
    int64_t packets = 0;
    int64_t bytes = 0;
};

// A recording of `steps` board steps of 25 ticks (250 ms), each with a compass packet,
// an audio packet of 100 samples and a GPS packet of 60 receiver bytes.
recording makeRecording(int64_t steps) {
    recording made;
    made.directory = (std::filesystem::temp_directory_path() /
                      ("sensconv_bench_conversion_" + std::to_string(::getpid()) + "_" + std::to_string(steps)))
                         .string() +
                     "/";
    std::filesystem::create_directories(made.directory);
    made.path = made.directory + "recording.snsr";

    containerBuilder builder;
    builder.setFileStartTime(1230000000000ULL);
    qor2Settings settings;
    settings.intr = 1000;
    settings.mic = 400;
    settings.comp = 40;
    builder.addQor2Stream(1, settings);
    builder.addSirfGpsStream(2);

    // Written piece by piece, so that making the recording does not raise the peak
    // memory that the conversion is judged by.
    std::FILE* out = std::fopen(made.path.c_str(), "wb");
    if (out == nullptr) std::abort();
    std::vector<uint8_t> piece = builder.headerBytes();
    std::vector<uint8_t> gps(67, 0x11);
    gps[0] = 0xA0;
    gps[1] = 0xA2;
    gps[3] = 60;
    const std::vector<uint16_t> audio(100, 40000);
    for (int64_t k = 0; k < steps; ++k) {
        const int64_t ticks = 25 * k;
        const auto ts = static_cast<uint8_t>((ticks / 1000) % 256);
        const auto intCount = static_cast<uint16_t>(ticks % 1000);
        const auto ms = static_cast<uint32_t>(1000 + 10 * ticks);
        qor2SensorFields fields;
        fields.compass = static_cast<uint16_t>(k % 3600);
        containerBuilder::appendFrame(piece, 1, ms, boardPacketBuilder::qor2Sensor(0, 0x08, ts, intCount, fields));
        containerBuilder::appendFrame(piece, 1, ms, boardPacketBuilder::qor2Audio(ts, intCount, audio));
        containerBuilder::appendFrame(piece, 2, ms, gps);
        if (piece.size() > (1u << 20) || k + 1 == steps) {
            if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) std::abort();
            made.bytes += static_cast<int64_t>(piece.size());
            piece.clear();
        }
    }
    if (std::fclose(out) != 0) std::abort();
    made.packets = 3 * steps;
    return made;
}

// The session loop prints a few progress lines per run; they are not what is measured.
class quietStderr {
public:
    quietStderr() : saved_(::dup(2)) {
        std::fflush(stderr);
        std::FILE* sink = std::fopen("/dev/null", "w");
        if (sink != nullptr) {
            ::dup2(::fileno(sink), 2);
            std::fclose(sink);
        }
    }
    ~quietStderr() {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    quietStderr(const quietStderr&) = delete;
    quietStderr& operator=(const quietStderr&) = delete;

private:
    int saved_;
};

double peakResidentMegabytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void report(benchmark::State& state, const recording& input) {
    const auto runs = static_cast<int64_t>(state.iterations());
    state.SetBytesProcessed(runs * input.bytes);
    state.counters["packets/s"] =
        benchmark::Counter(static_cast<double>(runs * input.packets), benchmark::Counter::kIsRate);
    state.counters["peakRSS_MB"] = peakResidentMegabytes();
}

void BM_convertSession(benchmark::State& state) {
    const recording input = makeRecording(state.range(0));
    commandLineOptions options;
    options.outputdir = input.directory;
    const std::vector<std::string> files = {input.path};
    const std::vector<int> sessions = {1};
    for (auto _ : state) {
        quietStderr quiet;
        runStatus run;
        convertSessions(options, files, sessions, run);
    }
    report(state, input);
    std::filesystem::remove_all(input.directory);
}
BENCHMARK(BM_convertSession)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);

void BM_segmentationScan(benchmark::State& state) {
    const recording input = makeRecording(state.range(0));
    std::vector<int> sessions;
    for (auto _ : state) {
        std::vector<std::string> files = {input.path};
        quietStderr quiet;
        if (!segmentSessions(files, sessions, true, 60.0, false).ok()) return;
    }
    report(state, input);
    std::filesystem::remove_all(input.directory);
}
BENCHMARK(BM_segmentationScan)->Arg(80000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
