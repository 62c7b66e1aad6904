#pragma once
// The session's audio as one mono 16-bit PCM WAV file written through libsndfile.
// Small per-packet batches are gathered and reach libsndfile in blocks; a batch
// larger than the gathering buffer bypasses it.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <sndfile.h>

#include "common/outcome.h"
#include "common/runStatus.h"
#include "output/outputFailure.h"

namespace sensconv {

static_assert(std::is_same_v<int16_t, short>, "libsndfile takes 16-bit samples as short");

class wavAudioFile {
public:
    static constexpr int32_t bufferSamples = 20480;
    // Gathered samples are handed over once a batch would take them past this mark.
    static constexpr int32_t flushThreshold = 20352;
    static constexpr int32_t conversionSamples = 204800;

    explicit wavAudioFile(runStatus& run);
    ~wavAudioFile();
    wavAudioFile(const wavAudioFile&) = delete;
    wavAudioFile& operator=(const wavAudioFile&) = delete;

    // Creates the file with its tags. Fatal (status -8) when libsndfile cannot open it.
    outcome open(const std::string& path, int32_t sampleRate);
    bool isOpen() const { return file_ != nullptr; }
    int32_t sampleRate() const { return info_.samplerate; }
    // Samples handed to writeBatch since the file was opened: the WAV position of the
    // next sample.
    int64_t samplesWritten() const { return samplesWritten_; }

    // Converts one audio batch to 16 bits and appends it.
    void writeBatch(const double* values, int32_t n);

    // The buffered hand-over to libsndfile.
    void writeAudio(const int16_t* samples, int32_t n, bool flush);

    // Hands over what is pending and finishes the file. Safe to repeat.
    void close();

private:
    void handOver(const int16_t* samples, int32_t n);

    SNDFILE* file_ = nullptr;
    SF_INFO info_{};
    std::vector<int16_t> audioBuffer_;
    int32_t audioPending_ = 0;
    std::vector<int16_t> conversion_;
    outputFailure failure_;
    int64_t samplesWritten_ = 0;
};

// Truncates toward zero and keeps the low 16 bits, without clamping: 40000.0 gives
// -25536 and -1.7 gives -1. Values beyond 32 bits wrap the same way (the result is
// the truncated value modulo 65536); NaN and infinities give 0.
int16_t toPcm16(double value);

}  // namespace sensconv
