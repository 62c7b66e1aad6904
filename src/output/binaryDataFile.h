#pragma once
// The three files of one sensor channel: binaryData_<name>.bin with every sample as a
// little-endian 32-bit float, binaryData_<name>.meta with its description and, when
// samples were filled in, binaryData_<name>.sparse with their positions.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/outcome.h"
#include "common/positionRuns.h"
#include "common/runStatus.h"
#include "output/outputFile.h"
#include "output/scratchFile.h"

namespace sensconv {

class binaryDataFile {
public:
    static constexpr int32_t streamBufferSize = 20480;

    explicit binaryDataFile(runStatus& run) : data_(run), meta_(run), run_(&run) {}
    ~binaryDataFile();
    binaryDataFile(const binaryDataFile&) = delete;
    binaryDataFile& operator=(const binaryDataFile&) = delete;

    // Creates the .bin and .meta files in directory (which ends in a separator).
    // Fatal (status -1) when either cannot be created.
    outcome open(const std::string& directory, const std::string& name, double sampleRate, int32_t expectedSamples,
              int32_t dataType);

    // Appends n samples, each narrowed to single precision; returns the number of
    // samples that reached the stream. Does not touch samplesWritten.
    int32_t writeSamples(const double* values, int32_t n);

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

    std::vector<char> streamBuffer_;  // must outlive the data stream that uses it
    outputFile data_;
    outputFile meta_;
    runStatus* run_;
    std::string directory_;
    std::string name_;
    double sampleRate_ = 0.0;
    int32_t expectedSamples_ = -1;
    int32_t dataType_ = 0;
    // Samples are encoded here and handed to the stream a block at a time.
    std::array<uint8_t, 4096> encoded_{};
};

// Round-to-nearest narrowing of a sample; values beyond single precision become infinities.
float narrowToFloat(double value);

}  // namespace sensconv
