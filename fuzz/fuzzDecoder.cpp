// The whole decoding path over arbitrary packet streams: packet reader, sensor decoder,
// both board decoders, GPS records, channels with gap repair and the image extractor,
// for one or two files of a session, with the writer's part played by this target
// (every batch and GPS record read after every packet).
//
// The decoder reports a fatal failure instead of ending the process, and the target
// stops the session there, as the program does. The roll-over check is switched off
// (as -ignoreRollover does), so a counter wrap that is not 255 -> 0 continues the time;
// with the check off, board time can never run backwards, so the only fatal outcome
// that may come back is a gap larger than the repair limit (status -3).

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/metaLists.h"
#include "container/packetReader.h"
#include "output/imageExtractor.h"
#include "decode/sensorDecoder.h"
#include "fuzzInputs.h"
#include "platform/platform.h"

namespace {

using sensconv::fuzzing::decoderConfig;

// The largest gap a channel fills here. The program's limit (204,800) gives every
// channel a repair buffer of 1.6 MB, and under the address sanitizer setting up and
// poisoning 50 of them cost most of a run; this one keeps the target some ten times
// faster and reaches the limit's edge more often.
constexpr int32_t repairLimit = 16384;

const std::string& scratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("SENSCONV_FUZZ_SCRATCH");
        std::string path = std::string(base != nullptr ? base : "/tmp") + "/decoder-" + std::to_string(::getpid());
        std::string reason;
        FUZZ_CHECK(sensconv::platform::makeDirectories(path, reason));
        return path;
    }();
    return dir;
}

void removeImages(const std::string& dir) {
    std::vector<std::string> names;
    std::string reason;
    if (!sensconv::platform::listDirectory(dir, names, reason)) return;
    for (const std::string& name : names) sensconv::platform::removeFile(dir + "/" + name);
}

// What the writer reads of a channel after every packet, plus the channel's promises.
void readBatch(const sensconv::sampleChannel* channel) {
    if (channel == nullptr || channel->batchCount() == 0) return;
    FUZZ_CHECK(channel->batchCount() > 0);
    FUZZ_CHECK(channel->batchCount() <= repairLimit + 256);
    FUZZ_CHECK(channel->batch() != nullptr);
    volatile double sum = 0;
    for (int32_t i = 0; i < channel->batchCount(); ++i) sum = sum + channel->batch()[i];
}

void readOutputs(const sensconv::decoderView& view) {
    for (int i = 0; i < sensconv::numQor2Channels; ++i) readBatch(view.qor2Channel(i));
    for (int i = 0; i < sensconv::numJuxChannels; ++i) readBatch(view.juxChannel(i));
    FUZZ_CHECK(view.gpsRecord().length <= 20 + 255);
}

template <typename channels>
void checkFileEnd(const channels& list) {
    for (const auto& channel : list) {
        if (!channel) continue;
        int64_t previous = -1;
        for (const int64_t position : channel->missingList()) {
            FUZZ_CHECK(position > previous && position < channel->samplesSoFar());
            previous = position;
        }
    }
}

// False when the decoder reported a fatal failure: the session ends there.
bool decodeFile(const std::vector<uint8_t>& file, sensconv::carryOver& session) {
    sensconv::packetReader reader(sensconv::fuzzing::memoryStream(file.data(), file.size()), "fuzz.snsr");
    FUZZ_CHECK(reader.fileOk());
    sensconv::sensorDecoder decoder(reader.header(), repairLimit);
    FUZZ_CHECK(decoder.setUpResult().ok());
    decoder.loadCarryOver(session);
    decoder.disableRolloverCheck();

    sensconv::snsrPacket packet;
    while (reader.hasData()) {
        reader.readPacket(packet);
        const sensconv::outcome decoded = decoder.processPacket(packet);
        if (!decoded.ok()) {
            FUZZ_CHECK(processStatus(decoded.status()) == -3);
            checkFileEnd(decoder.qor2Channels());
            checkFileEnd(decoder.juxChannels());
            return false;
        }
        readOutputs(decoder.view());
    }
    checkFileEnd(decoder.qor2Channels());
    checkFileEnd(decoder.juxChannels());
    decoder.saveCarryOver(session);

    sensconv::metaList keys;
    sensconv::metaList values;
    reader.writeStatistics(keys, values);
    decoder.writeStatistics(keys, values);
    FUZZ_CHECK(keys.size() == values.size());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < decoderConfig::encodedSize) return 0;
    const decoderConfig config = decoderConfig::parse(data, size);
    const uint8_t* frames = data + decoderConfig::encodedSize;
    const size_t framesSize = size - decoderConfig::encodedSize;
    const std::vector<uint8_t> header = config.header().headerBytes();

    std::vector<std::vector<uint8_t>> files;
    const size_t split = (config.flags & decoderConfig::twoFiles) ? framesSize * config.split / 256 : framesSize;
    files.emplace_back(header).insert(files.back().end(), frames, frames + split);
    if (split < framesSize) files.emplace_back(header).insert(files.back().end(), frames + split, frames + framesSize);

    const std::string& dir = scratchDir();
    {
        sensconv::runStatus run;
        sensconv::imageExtractor images(run);
        images.setCreateDirectory(dir);
        images.setImagesDir(dir);
        sensconv::carryOver session;
        session.extractor = &images;
        for (const std::vector<uint8_t>& file : files) {
            if (!decodeFile(file, session)) break;
        }
    }
    removeImages(dir);
    return 0;
}
