#include "output/wavAudioFile.h"

#include <algorithm>
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
constexpr int statusNotOpened = -8;
}

wavAudioFile::wavAudioFile(runStatus& run)
    : audioBuffer_(bufferSamples, 0), conversion_(conversionSamples, 0), failure_(run) {}

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
            statusNotOpened,
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

void wavAudioFile::writeBatch(const double* values, int32_t n) {
    if (n > 0) samplesWritten_ += n;
    // A batch larger than the conversion buffer goes over in pieces; each piece is
    // larger than the gathering buffer, so it is handed over directly, in order.
    for (int32_t start = 0; start < n; start += conversionSamples) {
        const int32_t count = std::min(conversionSamples, n - start);
        for (int32_t i = 0; i < count; ++i) conversion_[static_cast<size_t>(i)] = toPcm16(values[start + i]);
        writeAudio(conversion_.data(), count, false);
    }
}

void wavAudioFile::writeAudio(const int16_t* samples, int32_t n, bool flush) {
    if (audioPending_ + n > flushThreshold || flush) {
        handOver(audioBuffer_.data(), audioPending_);
        audioPending_ = 0;
        if (flush && n > 0) {
            handOver(samples, n);
            return;
        }
    }
    if (n > bufferSamples) {
        handOver(audioBuffer_.data(), audioPending_);
        audioPending_ = 0;
        handOver(samples, n);
        return;
    }
    if (n > 0) {
        std::copy(samples, samples + n, audioBuffer_.begin() + audioPending_);
        audioPending_ += n;
    }
}

void wavAudioFile::handOver(const int16_t* samples, int32_t n) {
    if (file_ == nullptr) return;
    const sf_count_t written = sf_write_short(file_, samples, n);
    if (written != n) failure_.report(sf_strerror(file_));
}

void wavAudioFile::close() {
    if (file_ == nullptr) return;
    writeAudio(nullptr, 0, true);
    if (sf_error(file_) != SF_ERR_NO_ERROR) failure_.report(sf_strerror(file_));
    const int result = sf_close(file_);
    file_ = nullptr;
    if (result != SF_ERR_NO_ERROR) failure_.report(sf_error_number(result));
}

}  // namespace sensconv
