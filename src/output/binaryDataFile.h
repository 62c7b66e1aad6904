#pragma once
// The three files of one sensor channel: binaryData_<name>.bin with every sample as a
// little-endian 32-bit float, binaryData_<name>.meta with its description and, when
// samples were filled in, binaryData_<name>.sparse with their positions.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/outcome.h"
#include "common/positionRuns.h"
#include "common/runStatus.h"
#include "common/handOff.h"
#include "output/outputFile.h"
#include "output/scratchFile.h"

namespace sensconv {

class binaryDataFile final : private handOff::target {
public:
    // Samples gather in a block of this many bytes, encoded in place, and reach the
    // file with one write call per full block.
    static constexpr int32_t blockBytes = 65536;

    // Full blocks go to the session's thread (beside) when there is one, else straight to the file.
    explicit binaryDataFile(runStatus& run, handOff* writer = nullptr)
        : data_(run), meta_(run), run_(&run), writer_(writer) {}
    ~binaryDataFile();
    binaryDataFile(const binaryDataFile&) = delete;
    binaryDataFile& operator=(const binaryDataFile&) = delete;

    // Creates the .bin and .meta files in directory (which ends in a separator).
    // Fatal (status -1) when either cannot be created.
    outcome open(const std::string& directory, const std::string& name, double sampleRate, int32_t dataType);

    // Appends n samples, each narrowed to single precision. Should a block write lose
    // samples of this call, one line names the sensor and how many of the call's n
    // samples reached the file. Does not touch samplesWritten.
    void writeSamples(const double* values, int32_t n);

    // The sensor that the line about lost samples names.
    void nameSensor(std::string sensor) { sensor_ = std::move(sensor); }

    // Hands the samples gathered so far to the file, so that a run that ends before
    // the session does leaves them on disk.
    void flush();

    // Finishes the .bin, writes the .meta lines and the .sparse file. Safe to repeat.
    void close();

    const std::string& name() const { return name_; }
    double sampleRate() const { return sampleRate_; }

    // Bookkeeping merged in at the end of every input file. Counts and positions are
    // 64-bit so that a long session cannot overflow them.
    int64_t samplesWritten = 0;
    double firstTimestamp = -1.0;  // seconds
    double lastTimestamp = -1.0;

    // Records count filled-in samples from .bin position first on, in position order.
    void appendFilled(int64_t first, int64_t count);
    int64_t filledCount() const { return filledCount_; }

private:
    // Filled positions beyond this many runs go to the scratch file: a recording with
    // millions of gaps costs disk, not memory.
    static constexpr size_t filledRunsInMemory = 4096;

    std::string path(const char* extension) const;
    void writeSparseFile();

    positionRuns filled_;    // the latest runs of filled positions
    scratchFile filledSpill_;  // the earlier ones, as pairs of 64-bit first and count
    int64_t filledCount_ = 0;

    // Hands the full block to the writer (or writes it here) and takes the spare one.
    // ofCall of the block's samples came with the current call of n samples; endsCall
    // when no further block of that call follows.
    void handBlock(int32_t ofCall, int32_t callSamples, bool endsCall);
    void writeHandedBlock(uint32_t slot) override;
    void retireHandedBlock(uint32_t slot) override;

    outputFile data_;
    outputFile meta_;
    runStatus* run_;
    handOff* writer_;
    std::string directory_;
    std::string name_;
    std::string sensor_;
    double sampleRate_ = 0.0;
    int32_t dataType_ = 0;
    std::vector<float> block_;    // blockBytes while the file is open, in file byte order
    int32_t pending_ = 0;         // samples in block_
    // Bytes written on the session's thread since the system was last asked to start
    // writing them to the disk (see writeHandedBlock).
    int64_t sinceWriteBack_ = 0;

    // The blocks on their way to the file, and what is known of each.
    struct blockFacts {
        int32_t count = 0;
        int32_t ofCall = 0;        // samples of the handing call in the block
        int32_t callSamples = 0;   // all samples of that call
        bool endsCall = false;
        size_t reached = 0;        // set by the session's thread
        int errorNumber = 0;       // likewise
    };
    handedBlocks<float, blockFacts> handed_;
    int32_t callLost_ = 0;  // samples of the current call lost so far
};

// Round-to-nearest narrowing of a sample; values beyond single precision become infinities.
// Inline and free of branches the compiler cannot turn into selects, so that whole
// batches narrow in vector registers.
inline float narrowToFloat(double value) {
    // Halfway between the largest float and 2^128: from here on, rounding to nearest
    // gives an infinity. Below it the conversion is an ordinary rounding.
    constexpr double overflowsToInfinity = 0x1.ffffffp127;
    constexpr float infinity = std::numeric_limits<float>::infinity();
    const bool above = value >= overflowsToInfinity;
    const bool below = value <= -overflowsToInfinity;
    const float narrowed = static_cast<float>(above || below ? 0.0 : value);
    return above ? infinity : below ? -infinity : narrowed;
}

}  // namespace sensconv
