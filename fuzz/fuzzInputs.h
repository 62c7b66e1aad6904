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

}  // namespace sensconv::fuzzing
