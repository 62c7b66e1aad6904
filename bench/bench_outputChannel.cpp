// Throughput of the per-packet output path: appending a packet's batch to a channel's
// .bin file and handing a packet's audio to the WAV file.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/outputLayout.h"
#include "decode/sampleChannel.h"
#include "output/outputChannel.h"
#include "output/wavAudioFile.h"

namespace sensconv {

// The batch as the decoder leaves one after a packet, handed to the channel directly.
struct sampleChannelDoor {
    static void giveBatch(sampleChannel& source, const double* values, int32_t count) {
        source.batch_ = values;
        source.batchCount_ = count;
    }
};

}  // namespace sensconv

namespace {

using namespace sensconv;

std::string scratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sensconv-bench-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) std::abort();
    return std::string(buffer.data()) + "/";
}

// One channel, batches of state.range(0) samples per packet.
void channelBatch(benchmark::State& state) {
    const std::string dir = scratchDirectory();
    const auto perPacket = static_cast<int32_t>(state.range(0));
    std::vector<double> values(static_cast<size_t>(perPacket), 0.1234);
    sampleChannel source(sampleChannel::defaultMaxFill, 1000.0, 1000, "qor2/x_accel", "accel");
    runStatus run;
    {
        outputChannel channel(run, source);
        if (!channel.open(dir).ok()) std::abort();
        for (auto _ : state) {
            // The batch as the decoder leaves it after a packet.
            sampleChannelDoor::giveBatch(source, values.data(), perPacket);
            channel.writeBatch();
        }
        channel.close();
    }
    state.SetItemsProcessed(state.iterations() * perPacket);
    state.SetBytesProcessed(state.iterations() * perPacket * 4);
    std::filesystem::remove_all(dir);
}
BENCHMARK(channelBatch)->Arg(1)->Arg(16)->Arg(256);

// Audio batches of state.range(0) samples per packet through conversion and gathering.
void audioBatch(benchmark::State& state) {
    const std::string dir = scratchDirectory();
    const auto perPacket = static_cast<int32_t>(state.range(0));
    std::vector<double> values(static_cast<size_t>(perPacket));
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i) * 3.7 - 200.0;
    runStatus run;
    {
        wavAudioFile wav(run);
        if (!wav.open(dir + outputLayout::audioFileName, 8000).ok()) std::abort();
        for (auto _ : state) wav.writeBatch(values.data(), perPacket);
        wav.close();
    }
    state.SetItemsProcessed(state.iterations() * perPacket);
    std::filesystem::remove_all(dir);
}
BENCHMARK(audioBatch)->Arg(64)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
