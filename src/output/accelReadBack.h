#pragma once
// A finished session's channel files read back, a block at a time, by the passes that
// run once the session is written (the accelerometer's calibration, the wear and epoch
// pass). channelValues streams a .bin file (little-endian 32-bit floats),
// filledPositions a .sparse list ("position,1" lines, ascending), and accelReadBack
// the three accelerometer axes side by side: per block their values, whether any axis
// was filled at each sample, and the board temperature temperatureIndexFor pairs with
// each sample. Memory stays a few blocks whatever the recording's length.

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/stdioFile.h"

namespace sensconv {

// A channel as the passes read it back.
struct readBackChannel {
    std::string binPath;
    std::string sparsePath;  // empty when no sample was filled
    double rateHz = 0.0;
    int64_t samples = 0;     // as written
};

// The values of a .bin file, block after block.
class channelValues {
public:
    bool open(const std::string& path);
    // Up to wanted values into values; fewer at the end of the file, with failure() set
    // when that comes before `expected` values or the file cannot be read.
    size_t read(float* values, size_t wanted, int64_t expected);
    // Goes to value index (from the file's start), as if the ones before had been read.
    bool seek(int64_t index);
    const std::string& failure() const { return failure_; }
    // The failure is that the file ended early, not a read error.
    bool endedEarly() const { return endedEarly_; }

private:
    std::string path_;
    stdioFile file_;
    std::vector<uint8_t> bytes_;  // on a big-endian host only
    int64_t delivered_ = 0;
    std::string failure_;
    bool endedEarly_ = false;
};

// The filled positions of a .sparse list, in increasing order.
class filledPositions {
public:
    bool open(const std::string& path);
    // The next filled position; the largest integer after the last.
    int64_t next();
    const std::string& failure() const { return failure_; }

private:
    stdioFile file_;
    std::vector<char> block_;
    size_t held_ = 0;
    size_t at_ = 0;
    bool skipping_ = false;
    std::string failure_;
};

struct accelBlock {
    int64_t first = 0;  // session index of the block's first sample
    size_t size = 0;
    std::array<std::vector<float>, 3> axes;  // x, y, z as written
    std::vector<uint8_t> filled;             // 1 where any axis holds a stand-in
    std::vector<float> temperature;          // as written; empty without a temperature channel
};

class accelReadBack {
public:
    static constexpr size_t blockSamples = 16384;

    // false, with failure(), when a file cannot be opened. The axes are read up to the
    // shortest one's count, or from sample `from` up to `to` (exclusive) only; blocks
    // begin at multiples of blockSamples wherever the reading starts, so a range read
    // gives the blocks of a whole read cut at its ends.
    bool open(const std::array<readBackChannel, 3>& axes, const std::optional<readBackChannel>& temperature,
              int64_t from = 0, int64_t to = std::numeric_limits<int64_t>::max());
    // The next block; false after the last. When a file ends early or cannot be read,
    // failure() says which (endedEarly() whether it only ended early): the samples every
    // file still had come first, then false.
    bool next(accelBlock& block);
    bool hasTemperature() const { return temperature_.has_value(); }
    const std::string& failure() const { return failure_; }
    bool endedEarly() const { return endedEarly_; }

private:
    bool fail(const std::string& why, bool endedEarly = false);
    bool pairTemperatures(accelBlock& block);

    std::array<readBackChannel, 3> channels_;
    std::array<channelValues, 3> values_;
    std::array<filledPositions, 3> filled_;
    std::array<int64_t, 3> nextFilled_{};
    std::optional<readBackChannel> temperature_;
    channelValues temperatureValues_;
    std::vector<float> temperatureBlock_;
    int64_t temperatureFirst_ = 0;  // index of temperatureBlock_[0]
    double rateHz_ = 0.0;
    int64_t samples_ = 0;
    int64_t at_ = 0;
    std::string failure_;
    bool endedEarly_ = false;
};

}  // namespace sensconv
