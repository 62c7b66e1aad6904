// Decoding throughput: packets per second through sensorDecoder over a generated
// in-memory recording of main-board audio and sensor packets and second-board
// packets, with a count of heap allocations and of copied batches on the way.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "countingAllocator.h"
#include "container/packetReader.h"
#include "container/snsrHeader.h"
#include "decode/boardPacketBuilder.h"
#include "decode/sensorDecoder.h"

namespace sensconv {
namespace {

constexpr int32_t intmax = 10000;  // 1000 ticks per second
constexpr int32_t micHz = 8000;
constexpr int32_t audioPerPacket = 63;

metaDataAtom intAtom(const char (&tag)[5], int32_t value) {
    metaDataAtom atom;
    atom.id = makeTag(tag);
    atom.type = 'i';
    atom.size = 4;
    const auto raw = static_cast<uint32_t>(value);
    atom.data = {static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw >> 16),
                 static_cast<uint8_t>(raw >> 24)};
    return atom;
}

snsrHeader makeHeader() {
    snsrHeader header;
    snsrStream qor2;
    qor2.id = makeTag("qor2");
    qor2.type = streamQOR2;
    qor2.packet_id = 7;
    qor2.atoms = {intAtom("intr", intmax), intAtom("mic ", micHz), intAtom("acc ", 400),   intAtom("amb ", 100),
                  intAtom("bar ", 100),    intAtom("comp", 100),   intAtom("dals", 100),   intAtom("hum ", 100),
                  intAtom("wd01", 40000),  intAtom("wd02", 30000), intAtom("wd03", 20000), intAtom("wd04", 10000)};
    snsrStream jux;
    jux.id = makeTag("jux ");
    jux.type = streamJUX;
    jux.packet_id = 1;
    jux.atoms = {intAtom("intr", intmax), intAtom("gyro", 400), intAtom("mag ", 400)};
    header.streams = {qor2, jux};
    header.num_streams = 2;
    return header;
}

struct recordedPacket {
    int32_t type;
    std::vector<uint8_t> bytes;
};

// Packets of the given number of seconds, in time order: audio at 8 kHz in packets
// of 63 samples, accelerometer at 40 Hz, barometer, compass, light and humidity at
// 10 Hz, gyroscopes and magnetometer at 40 Hz.
std::vector<recordedPacket> makeRecording(int seconds) {
    std::vector<recordedPacket> packets;
    const int64_t endTicks = int64_t{seconds} * 1000;
    int64_t nextAudio = 0;
    uint16_t phase = 0;
    for (int64_t tick = 0; tick < endTicks; ++tick) {
        const auto ts = static_cast<uint8_t>((tick / intmax) % 256);
        const auto intCount = static_cast<uint16_t>(tick % intmax);
        // Audio packets follow the schedule of 8 samples per tick closely enough that
        // nothing is missing: a packet goes out as soon as its samples are due.
        while (int64_t{audioPerPacket} * (nextAudio + 1) - 6 <= int64_t{micHz / 1000} * (tick + 1)) {
            std::vector<uint16_t> words(audioPerPacket);
            for (uint16_t& word : words) word = static_cast<uint16_t>(32768 + (phase++ % 2000) - 1000);
            packets.push_back({streamMIC, boardPacketBuilder::qor2Audio(ts, intCount, words)});
            ++nextAudio;
        }
        if (tick % 25 == 0) {
            qor2SensorFields f;
            f.accelX = static_cast<uint16_t>(16383 + tick % 100);
            f.accelY = 200;
            f.accelZ = 16000;
            uint8_t mask = 0x01;
            if (tick % 100 == 0) {
                mask = 0xFF;
                f.barTemp = 30000;
                f.pressure = 20000;
                f.compass = static_cast<uint16_t>(tick % 3600);
                f.visLight = 0x35;
                f.irLight = 0x12;
                f.shtTemp = 6400;
                f.humidity = 1200;
            }
            packets.push_back({streamQOR2, boardPacketBuilder::qor2Sensor(0, mask, ts, intCount, f)});

            juxSensorFields g;
            g.gyro = {static_cast<int16_t>(tick % 200 - 100), 5, -5};
            g.gyroTemp = {100, 110, 120};
            g.mag = {300, -200, 100};
            packets.push_back({streamJUX, boardPacketBuilder::juxSensor(0x0F, ts, intCount, g)});
        }
    }
    return packets;
}

void BM_DecodePackets(benchmark::State& state) {
    const std::vector<recordedPacket> recording = makeRecording(static_cast<int>(state.range(0)));
    std::vector<snsrPacket> packets(recording.size());
    for (size_t i = 0; i < recording.size(); ++i) {
        packets[i].type = recording[i].type;
        packets[i].data = recording[i].bytes.data();
        packets[i].length = static_cast<int32_t>(recording[i].bytes.size());
        packets[i].index = static_cast<int32_t>(i);
        packets[i].timestamp = static_cast<uint32_t>(i);
    }
    snsrHeader header = makeHeader();

    int64_t allocationsWhileDecoding = 0;
    int64_t copiedBatches = 0;
    int64_t decodedValues = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto decoder = std::make_unique<sensorDecoder>(&header);
        const int64_t before = bench::allocationCount();
        state.ResumeTiming();
        for (const snsrPacket& packet : packets) {
            if (!decoder->processPacket(packet).ok()) std::abort();
            // What the writer does after each packet: take every batch.
            for (size_t i = 0; i < decoder->qor2Channels().size(); ++i) {
                const sampleChannel& channel = *decoder->qor2Channels()[i];
                if (channel.batchCount() == 0) continue;
                decodedValues += channel.batchCount();
                if (channel.batch() != decoder->qor2Batch().values(static_cast<int>(i))) ++copiedBatches;
            }
            for (size_t i = 0; i < decoder->juxChannels().size(); ++i) {
                const sampleChannel& channel = *decoder->juxChannels()[i];
                if (channel.batchCount() == 0) continue;
                decodedValues += channel.batchCount();
                if (channel.batch() != decoder->juxBatch().values(static_cast<int>(i))) ++copiedBatches;
            }
        }
        state.PauseTiming();
        allocationsWhileDecoding += bench::allocationCount() - before;
        benchmark::DoNotOptimize(decoder->qor2State().validPackets);
        decoder.reset();
        state.ResumeTiming();
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(packets.size()));
    state.counters["packets"] = static_cast<double>(packets.size());
    state.counters["allocsPerRun"] = static_cast<double>(allocationsWhileDecoding) / iterations;
    state.counters["copiedBatchesPerRun"] = static_cast<double>(copiedBatches) / iterations;
    state.counters["valuesPerRun"] = static_cast<double>(decodedValues) / iterations;
}
BENCHMARK(BM_DecodePackets)->Arg(60)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sensconv

BENCHMARK_MAIN();
