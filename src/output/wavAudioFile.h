#pragma once
// The session's audio as one mono 16-bit PCM WAV file written through libsndfile.
// Every batch is converted straight into one block of 16-bit samples, which reaches
// libsndfile whenever it is full (on the session's thread when there is one) and at
// the end.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <sndfile.h>

#include "common/outcome.h"
#include "common/runStatus.h"
#include "common/handOff.h"
#include "output/outputFailure.h"

namespace sensconv {

static_assert(std::is_same_v<int16_t, short>, "libsndfile takes 16-bit samples as short");

class wavAudioFile final : private handOff::target {
public:
    static constexpr int32_t blockSamples = 65536;

    explicit wavAudioFile(runStatus& run, handOff* writer = nullptr);
    ~wavAudioFile();
    wavAudioFile(const wavAudioFile&) = delete;
    wavAudioFile& operator=(const wavAudioFile&) = delete;

    // Creates the file with its tags. Fatal (status -8) when libsndfile cannot open it.
    outcome open(const std::string& path, int32_t sampleRate);
    bool isOpen() const { return file_ != nullptr; }
    int32_t sampleRate() const { return info_.samplerate; }
    // Samples handed to writeBatch and writeSamples since the file was opened: the WAV
    // position of the next sample.
    int64_t samplesWritten() const { return samplesWritten_; }

    // Converts one audio batch to 16 bits and appends it.
    void writeBatch(const double* values, int32_t n);
    // Appends a batch that is in 16 bits already: the same file as writeBatch of its values.
    void writeSamples(const int16_t* samples, int32_t n);

    // Hands over what is pending and finishes the file. Safe to repeat.
    void close();
    // Finishes the file of a run that ends in the middle of the session: it keeps the
    // samples that a writer gathering them in a buffer of 20,480 (handed over before
    // it passes 20,352, or at once when larger) had handed to libsndfile by then,
    // under a header that tells how many there are. Safe to repeat.
    void closeAtFatalEnd();

private:
    // Hands the full block to the writer (or writes it here) and takes the spare one.
    void handOver();
    void writeHandedBlock(uint32_t slot) override;
    void retireHandedBlock(uint32_t slot) override;

    SNDFILE* file_ = nullptr;
    SF_INFO info_{};
    handOff* writer_;
    std::vector<int16_t> block_;
    int32_t pending_ = 0;  // samples in block_
    // The blocks on their way to the file, and what is known of each.
    struct blockFacts {
        int32_t count = 0;
        std::string failure;  // the library's reason, set by the session's thread
    };
    handedBlocks<int16_t, blockFacts> handed_;
    outputFailure failure_;
    int64_t samplesWritten_ = 0;
    // What that gathering writer would have handed over and would still hold.
    void countHandOver(int32_t n);
    int64_t gatheredHandedOver_ = 0;
    int32_t gatheredPending_ = 0;
};

// Truncates toward zero and keeps the low 16 bits, without clamping: 40000.0 gives
// -25536 and -1.7 gives -1. Values beyond 32 bits wrap the same way (the result is
// the truncated value modulo 65536); NaN and infinities give 0.
int16_t toPcm16(double value);

}  // namespace sensconv
