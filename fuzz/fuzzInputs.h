#pragma once
// What the fuzz targets and the seed generator share: the fixed headers placed in
// front of fuzzed packet streams, and the ways an input is opened as a stream.

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "container/containerBuilder.h"

namespace sensconv::fuzzing {

// Stops the fuzzer when a property of the code under test fails; libFuzzer reports the
// abort together with the input that caused it. The message goes through the
// sanitizers' report channel, which stays open while the targets' own standard error is
// closed (the code under test prints a line per damaged packet).
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            __sanitizer_report_error_summary("fuzz check failed: " #condition " at " __FILE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// A read-only stream over bytes that must outlive it; the stream cannot tell its size,
// like standard input. An empty input gets a stream that is at its end at once.
inline std::FILE* memoryStream(const uint8_t* data, size_t size) {
    static uint8_t nothing = 0;
    if (size == 0) {
        std::FILE* file = fmemopen(&nothing, 1, "rb");
        if (file != nullptr) std::fgetc(file);
        return file;
    }
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

// A stream over a copy of bytes in an anonymous memory file: a regular file whose size
// the reader can see, without touching the disk.
inline std::FILE* sizedStream(const uint8_t* data, size_t size) {
    const int fd = memfd_create("fuzzInput", 0);
    if (fd < 0) return nullptr;
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0) {
            ::close(fd);
            return nullptr;
        }
        written += static_cast<size_t>(n);
    }
    ::lseek(fd, 0, SEEK_SET);
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
}

// The header in front of the packet reader's fuzzed frames: streams of several types,
// a packet ID declared twice (the later stream wins), one beyond the valid IDs, and
// IDs that no stream declares.
inline containerBuilder packetReaderHeader() {
    containerBuilder builder;
    builder.setFileStartTime(1230000000000ULL);
    builder.addIntAtom("hdr1", 7);
    qor2Settings qor2;
    qor2.intr = 1000;
    builder.addQor2Stream(1, qor2);
    builder.addJuxStream(2, juxSettings{});
    builder.addSirfGpsStream(3);
    builder.addCameraStream(4);
    builder.addStream("camf", 5);
    builder.addStream("wifi", 6);
    builder.addStream("xyz1", 6);
    builder.addStream("tag ", 300);
    return builder;
}

// The decoding target's input: a small configuration that chooses the header (which
// boards and streams, interrupt maxima, rates, calibration words), then packet frames
// as they stand in a file after the header.
//
// Rates stay within -64 .. 63 tenths of a hertz (the audio rate, given in hertz,
// within -60 .. 60 tenths), so that one packet (at most 256 periods of 10 seconds) never
// opens a gap beyond the target's repair limit; gaps that grow over many packets are the
// target's to stop (see fuzzDecoder.cpp).
struct decoderConfig {
    static constexpr size_t encodedSize = 25;
    // Packet IDs of the streams the header may declare.
    static constexpr uint16_t qor2Id = 1, micId = 2, juxId = 3, gpsId = 4, cameraId = 5;
    enum flag : uint8_t {
        qor2Stream = 1,       // a "qor2" stream with the main-board settings
        micStream = 2,        // a "mic " stream (with the settings unless qor2Stream is set)
        headerSettings = 4,   // the main-board settings as header-level atoms
        juxStream = 8,
        gpsStream = 16,
        cameraStream = 32,
        twoFiles = 64,        // the frames are split into two files of one session
        unknownStream = 128,  // one more stream of an unknown tag
    };

    uint8_t flags = qor2Stream | juxStream | gpsStream | cameraStream;
    uint16_t qor2Intmax = 1000;
    uint16_t juxIntmax = 1000;
    // mic, acc, amb, bar, comp, dals, hum, powr of the main board; gyro, mag, powr of the second.
    int8_t rates[11] = {80, 100, 10, 10, 10, 10, 10, 0, 100, 20, 0};
    uint16_t calibration[4] = {0x9000, 0x4321, 0x1234, 0x5678};
    uint8_t split = 128;  // where the second file starts, in 256ths of the frames

    static decoderConfig parse(const uint8_t* data, size_t size) {
        decoderConfig c;
        if (size < encodedSize) return c;
        c.flags = data[0];
        c.qor2Intmax = static_cast<uint16_t>(data[1] | (data[2] << 8));
        c.juxIntmax = static_cast<uint16_t>(data[3] | (data[4] << 8));
        for (int i = 0; i < 11; ++i) c.rates[i] = static_cast<int8_t>(data[5 + i]);
        for (int i = 0; i < 4; ++i) c.calibration[i] = static_cast<uint16_t>(data[16 + 2 * i] | (data[17 + 2 * i] << 8));
        c.split = data[24];
        return c;
    }

    std::vector<uint8_t> encode() const {
        std::vector<uint8_t> out(encodedSize);
        out[0] = flags;
        out[1] = static_cast<uint8_t>(qor2Intmax);
        out[2] = static_cast<uint8_t>(qor2Intmax >> 8);
        out[3] = static_cast<uint8_t>(juxIntmax);
        out[4] = static_cast<uint8_t>(juxIntmax >> 8);
        for (int i = 0; i < 11; ++i) out[5 + static_cast<size_t>(i)] = static_cast<uint8_t>(rates[i]);
        for (int i = 0; i < 4; ++i) {
            out[16 + 2 * static_cast<size_t>(i)] = static_cast<uint8_t>(calibration[i]);
            out[17 + 2 * static_cast<size_t>(i)] = static_cast<uint8_t>(calibration[i] >> 8);
        }
        out[24] = split;
        return out;
    }

    int32_t rate(int i) const { return rates[i] / 2; }

    containerBuilder header() const {
        qor2Settings q;
        q.intr = qor2Intmax;
        q.mic = rates[0] / 20;  // hertz
        q.acc = rate(1);
        q.amb = rate(2);
        q.bar = rate(3);
        q.comp = rate(4);
        q.dals = rate(5);
        q.hum = rate(6);
        q.powr = rate(7);
        q.bdnr = 17;
        q.wd01 = calibration[0];
        q.wd02 = calibration[1];
        q.wd03 = calibration[2];
        q.wd04 = calibration[3];
        juxSettings j;
        j.intr = juxIntmax;
        j.gyro = rate(8);
        j.mag = rate(9);
        j.powr = rate(10);

        containerBuilder builder;
        builder.setFileStartTime(1230000000000ULL);
        if (flags & headerSettings) {
            builder.addIntAtom("intr", q.intr).addIntAtom("mics", q.mic).addIntAtom("acc ", q.acc);
            builder.addIntAtom("bar ", q.bar).addIntAtom("hum ", q.hum).addIntAtom("dals", q.dals);
            builder.addIntAtom("wd01", q.wd01).addIntAtom("wd02", q.wd02).addIntAtom("wd03", q.wd03);
            builder.addIntAtom("wd04", q.wd04);
        }
        if (flags & qor2Stream) builder.addQor2Stream(qor2Id, q);
        if (flags & micStream) {
            containerBuilder::stream& mic = builder.addStream("mic ", micId);
            if (!(flags & qor2Stream)) mic.intAtom("intr", q.intr).intAtom("mic ", q.mic).intAtom("comp", q.comp);
        }
        if (flags & juxStream) builder.addJuxStream(juxId, j);
        if (flags & gpsStream) builder.addSirfGpsStream(gpsId);
        if (flags & cameraStream) builder.addCameraStream(cameraId);
        if (flags & unknownStream) builder.addStream("xyz1", 6);
        return builder;
    }
};

}  // namespace sensconv::fuzzing
