// The image extractor over arbitrary camera packets, writing into a scratch directory.
// Input: two bytes of interrupt maximum, then packets, each a control byte (bit 7 sets
// the board time back to "no time yet", the other bits advance it), two length bytes
// (taken modulo 4097) and that many data bytes (fewer at the end of the input).
// Every image file must begin with the start-of-image marker.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "container/packetReader.h"
#include "output/imageExtractor.h"
#include "fuzzInputs.h"
#include "platform/platform.h"

namespace {

const std::string& scratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("SENSCONV_FUZZ_SCRATCH");
        return std::string(base != nullptr ? base : "/tmp") + "/images-" + std::to_string(::getpid());
    }();
    return dir;
}

// Checks and removes every image file; the directory itself is made again by the
// extractor for the next input.
void checkAndRemoveImages(const std::string& dir) {
    std::vector<std::string> names;
    std::string reason;
    if (!sensconv::platform::listDirectory(dir, names, reason)) return;
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        FUZZ_CHECK(name.size() == 15 && name.substr(11) == ".jpg");
        std::FILE* file = std::fopen(path.c_str(), "rb");
        FUZZ_CHECK(file != nullptr);
        uint8_t start[2] = {0, 0};
        const size_t got = std::fread(start, 1, 2, file);
        std::fclose(file);
        FUZZ_CHECK(got == 2 && start[0] == 0xFF && start[1] == 0xD8);
        sensconv::platform::removeFile(path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t intmax = data[0] | (data[1] << 8);
    const std::string& dir = scratchDir();
    {
        sensconv::runStatus run;
        sensconv::imageExtractor images(run);
        images.setCreateDirectory(dir);
        images.setImagesDir(dir);
        sensconv::snsrPacket packet;
        packet.type = sensconv::streamCAMERA;
        int64_t sessionBase = -1;
        int64_t fileTime = -1;
        size_t at = 2;
        int32_t index = 0;
        while (at + 3 <= size) {
            const uint8_t control = data[at];
            const size_t declared = static_cast<size_t>(data[at + 1] | (data[at + 2] << 8)) % 4097;
            at += 3;
            const size_t length = std::min(declared, size - at);
            if (control & 0x80) {
                sessionBase = -1;
                fileTime = -1;
            } else {
                sessionBase = 0;
                fileTime += (control & 0x7F) * 37;
            }
            packet.data = data + at;
            packet.length = static_cast<int32_t>(length);
            packet.index = index++;
            const int32_t goodBefore = images.goodImages;
            const int32_t badBefore = images.badImages;
            images.addPacket(packet, sessionBase, fileTime, intmax);
            FUZZ_CHECK(images.goodImages >= goodBefore && images.badImages >= badBefore);
            FUZZ_CHECK(images.goodImages + images.badImages <= goodBefore + badBefore + 1);
            at += length;
        }
        // The scratch directory takes every image whole.
        FUZZ_CHECK(!run.outputLost());
    }
    checkAndRemoveImages(dir);
    return 0;
}
