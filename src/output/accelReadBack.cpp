#include "output/accelReadBack.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <limits>

#include "common/accelCalibration.h"
#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "platform/platform.h"

namespace sensconv {

bool channelValues::open(const std::string& path) {
    path_ = path;
    file_.reset(platform::openForReading(path));
    if (!file_) failure_ = formatText("%s cannot be opened (%s)", path.c_str(), std::strerror(errno));
    return static_cast<bool>(file_);
}

size_t channelValues::read(float* values, size_t wanted, int64_t expected) {
    if (!file_ || !failure_.empty()) return 0;
    // The files hold little-endian floats: read in place where the host's are too.
    size_t got = 0;
    if constexpr (std::endian::native == std::endian::little) {
        got = std::fread(values, sizeof(float), wanted, file_.get());
    } else {
        bytes_.resize(wanted * 4);
        got = std::fread(bytes_.data(), 4, wanted, file_.get());
        for (size_t i = 0; i < got; ++i) values[i] = std::bit_cast<float>(readLE32(bytes_.data() + i * 4));
    }
    if (got < wanted && delivered_ + static_cast<int64_t>(got) < expected) {
        endedEarly_ = std::ferror(file_.get()) == 0;
        failure_ = endedEarly_ ? formatText("%s holds fewer samples than written", path_.c_str())
                               : formatText("%s cannot be read (%s)", path_.c_str(), std::strerror(errno));
    }
    delivered_ += static_cast<int64_t>(got);
    return got;
}

bool channelValues::seek(int64_t index) {
    if (!file_ || !failure_.empty()) return false;
    if (std::fseek(file_.get(), static_cast<long>(index) * 4, SEEK_SET) != 0) {
        failure_ = formatText("%s cannot be read (%s)", path_.c_str(), std::strerror(errno));
        return false;
    }
    delivered_ = index;
    return true;
}

bool filledPositions::open(const std::string& path) {
    file_.reset(platform::openForReading(path));
    if (!file_) failure_ = formatText("%s cannot be opened (%s)", path.c_str(), std::strerror(errno));
    block_.resize(1 << 14);
    return static_cast<bool>(file_);
}

int64_t filledPositions::next() {
    int64_t position = 0;
    bool digits = false;
    for (;;) {
        if (at_ == held_) {
            held_ = file_ ? std::fread(block_.data(), 1, block_.size(), file_.get()) : 0;
            at_ = 0;
            if (held_ == 0) return digits ? position : std::numeric_limits<int64_t>::max();
        }
        const char c = block_[at_++];
        if (c >= '0' && c <= '9' && !skipping_) {
            position = position * 10 + (c - '0');
            digits = true;
        } else if (c == '\n') {
            skipping_ = false;
            if (digits) return position;
        } else {
            skipping_ = true;  // the ",1" after the position
        }
    }
}

bool accelReadBack::fail(const std::string& why, bool endedEarly) {
    if (failure_.empty()) {
        failure_ = why;
        endedEarly_ = endedEarly;
    }
    return false;
}

bool accelReadBack::open(const std::array<readBackChannel, 3>& axes, const std::optional<readBackChannel>& temperature,
                         int64_t from, int64_t to) {
    channels_ = axes;
    rateHz_ = axes[0].rateHz;
    samples_ = std::min({axes[0].samples, axes[1].samples, axes[2].samples, to});
    at_ = std::max<int64_t>(from, 0);
    for (size_t k = 0; k < 3; ++k) {
        if (!values_[k].open(axes[k].binPath) || (at_ > 0 && !values_[k].seek(at_))) fail(values_[k].failure());
        nextFilled_[k] = std::numeric_limits<int64_t>::max();
        if (!axes[k].sparsePath.empty()) {
            if (filled_[k].open(axes[k].sparsePath)) {
                nextFilled_[k] = filled_[k].next();
            } else {
                fail(filled_[k].failure());
            }
        }
    }
    // A temperature channel pairs with the axes only when the rule can place its samples.
    if (temperature && temperatureIndexFor(0, rateHz_, temperature->rateHz, temperature->samples) >= 0) {
        temperature_ = temperature;
        if (!temperatureValues_.open(temperature->binPath)) fail(temperatureValues_.failure());
        if (at_ > 0 && failure_.empty()) {
            temperatureFirst_ = temperatureIndexFor(at_, rateHz_, temperature->rateHz, temperature->samples);
            if (!temperatureValues_.seek(temperatureFirst_)) fail(temperatureValues_.failure());
        }
    }
    return failure_.empty();
}

bool accelReadBack::pairTemperatures(accelBlock& block) {
    block.temperature.resize(block.size);
    const auto indexOf = [this](int64_t sample) {
        return temperatureIndexFor(sample, rateHz_, temperature_->rateHz, temperature_->samples);
    };
    // The rule's index only grows with the sample's, so it is taken once per run of
    // equal indexes: the run's end is estimated from the two rates, then moved to where
    // the rule itself says the index changes.
    const int64_t end = block.first + static_cast<int64_t>(block.size);
    const double samplesPerTemperature = rateHz_ / temperature_->rateHz;
    for (int64_t i = block.first; i < end;) {
        const int64_t wanted = indexOf(i);
        int64_t runEnd = end;
        if (indexOf(end - 1) != wanted) {
            const double estimate = std::ceil(static_cast<double>(wanted + 1) * samplesPerTemperature);
            runEnd = std::clamp(static_cast<int64_t>(estimate), i + 1, end - 1);
            while (runEnd > i + 1 && indexOf(runEnd - 1) != wanted) --runEnd;
            while (indexOf(runEnd) == wanted) ++runEnd;
        }
        while (wanted >= temperatureFirst_ + static_cast<int64_t>(temperatureBlock_.size())) {
            temperatureFirst_ += static_cast<int64_t>(temperatureBlock_.size());
            temperatureBlock_.resize(blockSamples);
            const size_t got = temperatureValues_.read(temperatureBlock_.data(), blockSamples, temperature_->samples);
            temperatureBlock_.resize(got);
            if (got == 0) {
                if (temperatureValues_.failure().empty()) {
                    fail(formatText("%s holds fewer samples than written", temperature_->binPath.c_str()), true);
                } else {
                    fail(temperatureValues_.failure(), temperatureValues_.endedEarly());
                }
                // The block ends with the last sample the temperature reached.
                block.size = static_cast<size_t>(i - block.first);
                for (auto& axis : block.axes) axis.resize(block.size);
                block.filled.resize(block.size);
                block.temperature.resize(block.size);
                return false;
            }
        }
        const float value = temperatureBlock_[static_cast<size_t>(wanted - temperatureFirst_)];
        std::fill(block.temperature.begin() + (i - block.first), block.temperature.begin() + (runEnd - block.first),
                  value);
        i = runEnd;
    }
    return true;
}

bool accelReadBack::next(accelBlock& block) {
    if (!failure_.empty() || at_ >= samples_) return false;
    constexpr auto whole = static_cast<int64_t>(blockSamples);
    const auto wanted = static_cast<size_t>(std::min<int64_t>(whole - at_ % whole, samples_ - at_));
    size_t size = wanted;
    for (size_t k = 0; k < 3; ++k) {
        block.axes[k].resize(wanted);
        const size_t got = values_[k].read(block.axes[k].data(), wanted, channels_[k].samples);
        if (got < wanted) {
            if (values_[k].failure().empty()) {
                fail(formatText("%s holds fewer samples than written", channels_[k].binPath.c_str()), true);
            } else {
                fail(values_[k].failure(), values_[k].endedEarly());
            }
        }
        size = std::min(size, got);
    }
    // After a file that ends early, the block holds the samples all three axes have.
    if (size == 0) return false;
    block.first = at_;
    block.size = size;
    block.filled.assign(size, 0);
    const int64_t end = at_ + static_cast<int64_t>(size);
    for (size_t k = 0; k < 3; ++k) {
        block.axes[k].resize(size);
        while (nextFilled_[k] < end) {
            if (nextFilled_[k] >= at_) block.filled[static_cast<size_t>(nextFilled_[k] - at_)] = 1;
            nextFilled_[k] = filled_[k].next();
        }
    }
    if (temperature_) {
        pairTemperatures(block);
    } else {
        block.temperature.clear();
    }
    at_ += static_cast<int64_t>(block.size);
    return block.size > 0;
}

}  // namespace sensconv
