#include "output/wavAudioFile.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "common/textFormat.h"
#include "output/outputMessages.h"
#include "platform/platform.h"

namespace sensconv {

int16_t toPcm16(double value) {
    // Every sample a board can send lies well inside the 32-bit range, where the
    // truncation is defined; only hostile values take the slow way below.
    if (value > -2147483649.0 && value < 2147483648.0) {
        return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFFFu));
    }
    if (!std::isfinite(value)) return 0;
    // fmod is exact, so this is the truncated value modulo 2^16, as the low 16 bits
    // of a 32-bit truncation would give wherever that one is defined.
    const double wrapped = std::fmod(std::trunc(value), 65536.0);
    const auto low = static_cast<uint16_t>(static_cast<int32_t>(wrapped) & 0xFFFF);
    return static_cast<int16_t>(low);
}

namespace {
// The gathering writer whose hand-overs a fatal end keeps: its buffer, and the fill
// beyond which the next batch makes it hand over first.
constexpr int32_t gatheringBufferSamples = 20480;
constexpr int32_t gatheringFlushThreshold = 20352;

// True when every value lies below 2^31 in magnitude, where truncating it to 32 bits is
// defined. The test reads the high word of each value's bits with the sign cleared, so
// that it runs in vector registers; NaN and the infinities carry the largest exponent
// and fail it. Values in (-2^31 - 1, -2^31] fail it too although they would truncate:
// they take the exact way, sample by sample, and give the same samples.
bool truncatesDirectly(const double* values, int32_t n) {
    constexpr int32_t highWordOfTwoTo31 = 0x41E00000;
    int32_t outside = 0;
    for (int32_t i = 0; i < n; ++i) {
        const auto high = static_cast<int32_t>((std::bit_cast<uint64_t>(values[i]) >> 32) & 0x7FFFFFFFu);
        outside |= high >= highWordOfTwoTo31;
    }
    return outside == 0;
}
}  // namespace

wavAudioFile::wavAudioFile(runStatus& run, handOff* writer) : writer_(writer), block_(blockSamples, 0), failure_(run) {}

wavAudioFile::~wavAudioFile() {
    close();
}

outcome wavAudioFile::open(const std::string& path, int32_t sampleRate) {
    if (file_ != nullptr) return {};
    failure_.reset(path);
    info_ = SF_INFO{};
    info_.samplerate = sampleRate;
    info_.channels = 1;
    info_.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // The library keeps at most 1024 characters of a file name; opened here, the file
    // can lie as deep as the system allows, like every other output file.
    const int descriptor = platform::createForWriting(path);
    const std::string openFailure =
        descriptor < 0 ? formatText(outputMessages::wavSystemError, platform::lastErrorText().c_str()) : "";
    // The library closes the descriptor, also when it fails.
    if (descriptor >= 0) file_ = sf_open_fd(descriptor, SFM_WRITE, &info_, SF_TRUE);
    if (file_ == nullptr) {
        return outcome::fatal(
            exitStatus::audioNotOpened,
            formatText(outputMessages::wavNotOpened, path.c_str()) +
                formatText(outputMessages::wavLibraryReason, descriptor < 0 ? openFailure.c_str() : sf_strerror(nullptr)));
    }
    const std::string software = formatText("Created by sensconv, compiled on %s at %s\n", __DATE__, __TIME__);
    const std::string date = platform::asctimeText(platform::currentTime());
    sf_set_string(file_, SF_STR_TITLE, "QOR2 Sensor audio file");
    sf_set_string(file_, SF_STR_SOFTWARE, software.c_str());
    sf_set_string(file_, SF_STR_COMMENT, software.c_str());
    sf_set_string(file_, SF_STR_DATE, date.c_str());
    return {};
}

void wavAudioFile::countHandOver(int32_t n) {
    if (gatheredPending_ + n > gatheringFlushThreshold) {
        gatheredHandedOver_ += gatheredPending_;
        gatheredPending_ = 0;
    }
    if (n > gatheringBufferSamples) {
        gatheredHandedOver_ += n;
    } else if (n > 0) {
        gatheredPending_ += n;
    }
}

void wavAudioFile::writeBatch(const double* values, int32_t n) {
    if (n > 0) samplesWritten_ += n;
    countHandOver(n);
    for (int32_t start = 0; start < n;) {
        const int32_t count = std::min(blockSamples - pending_, n - start);
        int16_t* out = block_.data() + pending_;
        const double* in = values + start;
        // Every sample a board sends lies inside the 32-bit range: checked for the whole
        // piece first, the truncation then runs without a branch per sample.
        if (truncatesDirectly(in, count)) {
            for (int32_t i = 0; i < count; ++i) {
                out[i] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(in[i]))));
            }
        } else {
            for (int32_t i = 0; i < count; ++i) out[i] = toPcm16(in[i]);
        }
        pending_ += count;
        start += count;
        if (pending_ == blockSamples) handOver();
    }
}

void wavAudioFile::writeSamples(const int16_t* samples, int32_t n) {
    if (n > 0) samplesWritten_ += n;
    countHandOver(n);
    for (int32_t start = 0; start < n;) {
        const int32_t count = std::min(blockSamples - pending_, n - start);
        std::copy_n(samples + start, count, block_.data() + pending_);
        pending_ += count;
        start += count;
        if (pending_ == blockSamples) handOver();
    }
}

void wavAudioFile::handOver() {
    if (pending_ == 0 || file_ == nullptr) {
        pending_ = 0;
        return;
    }
    const int32_t count = pending_;
    pending_ = 0;
    handed_.handOver(writer_, *this, block_, {count, {}});
}

void wavAudioFile::writeHandedBlock(uint32_t slot) {
    auto& block = handed_.at(slot);
    const sf_count_t written = sf_write_short(file_, block.items.data(), block.about.count);
    if (written != block.about.count) block.about.failure = sf_strerror(file_);
}

void wavAudioFile::retireHandedBlock(uint32_t) {
    const std::string& failure = handed_.retire().about.failure;
    if (!failure.empty()) failure_.report(failure.c_str());
}

void wavAudioFile::close() {
    if (file_ == nullptr) return;
    handOver();
    handed_.settle(writer_);
    if (sf_error(file_) != SF_ERR_NO_ERROR) failure_.report(sf_strerror(file_));
    const int result = sf_close(file_);
    file_ = nullptr;
    if (result != SF_ERR_NO_ERROR) failure_.report(sf_error_number(result));
}

void wavAudioFile::closeAtFatalEnd() {
    if (file_ == nullptr) return;
    const int64_t kept = gatheredHandedOver_;
    const int64_t inBlocks = samplesWritten_ - pending_;
    if (kept >= inBlocks) {
        pending_ = static_cast<int32_t>(std::min<int64_t>(pending_, kept - inBlocks));
    } else {
        pending_ = 0;
    }
    handOver();
    handed_.settle(writer_);
    if (kept < inBlocks) {
        sf_count_t frames = kept;
        if (sf_command(file_, SFC_FILE_TRUNCATE, &frames, sizeof(frames)) != SF_FALSE) {
            failure_.report(sf_strerror(file_));
        }
    }
    samplesWritten_ = kept;
    close();
}

}  // namespace sensconv
