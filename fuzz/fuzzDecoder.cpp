// The whole decoding path over arbitrary packet streams: packet reader, sensor decoder,
// both board decoders, GPS records, channels with gap repair and the image extractor,
// for one or two files of a session, with the writer's part played by this target
// (batches consumed after every packet, GPS records emptied).
//
// Fatal exits that are legitimate behaviour are kept out of reach, not hidden: the
// roll-over check is switched off (as -ignoreRollover does), so a counter wrap that is
// not 255 -> 0 continues the time instead of ending with status -11; and a file ends
// before a packet that could open a gap larger than the repair limit (status -3), see
// mayExceedRepairLimit. With the check off, board time can never run backwards, so the
// other status -11 exit must never happen either; libFuzzer reports any exit as a
// failure.

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
#include "decode/imageExtractor.h"
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

// What the writer does with a channel after every packet, plus the channel's promises.
template <typename channels>
void consumeBatches(channels& list) {
    for (auto& channel : list) {
        if (!channel || channel->batchCount == 0) continue;
        FUZZ_CHECK(channel->batchCount > 0);
        FUZZ_CHECK(channel->batchCount <= repairLimit + 256);
        FUZZ_CHECK(channel->batch != nullptr);
        volatile double sum = 0;
        for (int32_t i = 0; i < channel->batchCount; ++i) sum = sum + channel->batch[i];
        channel->batchCount = 0;
    }
}

// Whether the next packet of a board could leave one of its channels a gap larger than
// the repair limit. A packet whose interrupt count passed the board's range check moves
// the board's clock by at most 256 periods and one tick (a wrap adds the previous
// period whole plus one tick); a channel's gap is everything its schedule expects up to
// that time beyond the samples it already has and the one the packet brings. Packets
// without values for a channel still move the clock, so the gap grows over any number
// of packets and no bound on the header's rates alone can keep it within the limit.
template <typename channels>
bool mayExceedRepairLimit(const channels& list, const sensconv::boardClock& clock) {
    for (const auto& channel : list) {
        if (!channel || channel->intmax <= 0 || channel->rate <= 0) continue;
        const int64_t latest = std::max<int64_t>(clock.fileTime, 0) + 256 * int64_t{channel->intmax} + 1;
        const double missing = channel->expectedCount(latest) - static_cast<double>(channel->samplesSoFar() + 1) - 1;
        if (missing > repairLimit) return true;
    }
    return false;
}

template <typename channels>
void checkFileEnd(const channels& list) {
    for (const auto& channel : list) {
        if (!channel) continue;
        int64_t previous = -1;
        for (const int64_t position : channel->missingList) {
            FUZZ_CHECK(position > previous && position < channel->samplesSoFar());
            previous = position;
        }
    }
}

void decodeFile(const std::vector<uint8_t>& file, sensconv::carryOver& session) {
    sensconv::packetReader reader(sensconv::fuzzing::memoryStream(file.data(), file.size()), "fuzz.snsr");
    FUZZ_CHECK(reader.fileOk);
    sensconv::sensorDecoder decoder(reader.header.get(), repairLimit);
    decoder.loadCarryOver(session);
    decoder.disableRolloverCheck();

    sensconv::snsrPacket packet;
    while (reader.hasData) {
        // Such a packet ends the file here, as if the recording had been cut off.
        if (mayExceedRepairLimit(decoder.qor2Channels, decoder.qor2Clock) ||
            mayExceedRepairLimit(decoder.juxChannels, decoder.juxClock))
            break;
        reader.readPacket(packet);
        FUZZ_CHECK(decoder.processPacket(packet) == 1);
        consumeBatches(decoder.qor2Channels);
        consumeBatches(decoder.juxChannels);
        if (decoder.gpsRecord.length > 0) {
            FUZZ_CHECK(decoder.gpsRecord.length <= 20 + 255);
            decoder.gpsRecord.length = 0;
        }
    }
    checkFileEnd(decoder.qor2Channels);
    checkFileEnd(decoder.juxChannels);
    decoder.saveCarryOver(session);

    sensconv::metaList keys;
    sensconv::metaList values;
    reader.writeStatistics(keys, values);
    decoder.writeStatistics(keys, values);
    FUZZ_CHECK(keys.size() == values.size());
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
        sensconv::imageExtractor images;
        images.setCreateDirectory(dir);
        images.setImagesDir(dir);
        sensconv::carryOver session;
        session.extractor = &images;
        for (const std::vector<uint8_t>& file : files) decodeFile(file, session);
    }
    removeImages(dir);
    return 0;
}
