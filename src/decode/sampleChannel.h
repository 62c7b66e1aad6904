#pragma once
// One decoded sensor channel of one input file: the current packet's values, kept
// evenly spaced at the scheduled rate by filling gaps with the last good value.

#include <cstdint>
#include <memory>
#include <string>

#include "common/outcome.h"
#include "common/positionRuns.h"

namespace sensconv {

class sampleChannel {
public:
    static constexpr int32_t defaultMaxFill = 204800;

    // Gaps of up to maxFill values are filled in. A channel that gets no memory for
    // its repair buffer keeps a fatal setUpResult (status -1); it takes no samples.
    sampleChannel(int32_t maxFill, double rate, int32_t intmax, std::string longName, std::string shortName);

    const outcome& setUpResult() const { return setUpResult_; }

    // n >= 1 values of one packet at board time t (ticks since the file's first packet).
    // Fatal (status -3) when the gap before them is larger than maxFill; nothing is
    // taken then. Values that cannot be taken (none, or more than a packet holds) are
    // refused and leave the batch as it was. Without an interrupt maximum (intmax 0)
    // there is no time base to find gaps with, and nothing is filled.
    // values16, where given, holds the same values as 16-bit samples.
    outcome addSamples(const double* values, int32_t n, int64_t t, int64_t packetIndex,
                       const int16_t* values16 = nullptr);

    // Empties the batch and its filled positions, as each packet begins.
    void emptyBatch() {
        batchCount_ = 0;
        batch16_ = nullptr;
        missingList_.clear();
    }

    // The values of the current packet: the board's batch array, or the repair buffer
    // when a gap was filled. The decoder empties it (batchCount 0) when a packet begins.
    const double* batch() const { return batch_; }
    int32_t batchCount() const { return batchCount_; }
    // The batch as 16-bit samples, where the decoder had its values in that form and
    // none was filled in (the microphone's, for the WAV file); null otherwise.
    const int16_t* batch16() const { return batch16_; }

    // Positions of the values filled in for the current packet within this file's
    // output; the decoder empties the list with the batch, so that it never holds more
    // than one packet's gaps however damaged the file. 64-bit: a long file with large
    // gaps can hold more than 2^31 values of one channel.
    const positionRuns& missingList() const { return missingList_; }
    int64_t filledInFile() const { return filledInFile_; }  // values filled in over the whole file
    double firstTimestamp() const { return firstTimestamp_; }  // seconds; -1 before the first value
    double lastTimestamp() const { return lastTimestamp_; }

    const double rate;  // tenths of a hertz
    const int32_t intmax;
    const std::string longName;
    const std::string shortName;

    int64_t samplesSoFar() const { return samplesSoFar_; }

    // The scheduled count from the file's first packet up to one tick after board time
    // t; without an interrupt maximum nothing is scheduled.
    double expectedCount(int64_t t) const {
        return intmax == 0 ? 0.0 : (static_cast<double>(t) + 1.0) * samplesPerTick_;
    }

private:
    // The tests and benchmarks that hand a writer batches of their own reach them here.
    friend struct sampleChannelDoor;

    const double* batch_ = nullptr;
    int32_t batchCount_ = 0;
    const int16_t* batch16_ = nullptr;
    positionRuns missingList_;
    int64_t filledInFile_ = 0;
    double firstTimestamp_ = -1.0;
    double lastTimestamp_ = -1.0;
    // Worked out once: every packet needs them.
    const double samplesPerTick_;  // rate / intmax, 0 without an interrupt maximum
    const double ticksPerSecond_;
    outcome setUpResult_;
    int32_t maxFill_;
    double lastValue_ = 1.0;
    int64_t samplesSoFar_ = 0;
    // Left uninitialised: every value is written before it is read, and pages the
    // filling never reaches cost no memory.
    std::unique_ptr<double[]> repairBuffer_;
};

}  // namespace sensconv
