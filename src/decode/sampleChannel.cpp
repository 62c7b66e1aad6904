#include "decode/sampleChannel.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "common/textFormat.h"
#include "common/userMessages.h"
#include "decode/boardTime.h"
#include "decode/decodeMessages.h"
#include "decode/packetBatch.h"

namespace sensconv {

namespace {

namespace msg = decodeMessages;

}  // namespace

sampleChannel::sampleChannel(int32_t maxFill, double rateTenthsHz, int32_t boardIntmax, std::string longNameText,
                             std::string shortNameText)
    : rate(rateTenthsHz),
      intmax(boardIntmax),
      longName(std::move(longNameText)),
      shortName(std::move(shortNameText)),
      samplesPerTick_(boardIntmax == 0 ? 0.0 : rateTenthsHz / boardIntmax),
      ticksPerSecond_(ticksPerSecond(boardIntmax)),
      maxFill_(maxFill) {
    // Room for the largest gap that may be filled plus one packet's values.
    const size_t size = static_cast<size_t>(maxFill_ < 0 ? 0 : maxFill_) + packetBatch::maxValuesPerChannel;
    try {
        repairBuffer_ = std::make_unique_for_overwrite<double[]>(size);
    } catch (const std::bad_alloc&) {
        // Such a channel has always ended the run without a closing line.
        setUpResult_ = outcome::fatal(exitStatus::failed,
                                      std::string(msg::repairBufferNotAllocated) +
                                          formatText(msg::mallocFailed, size * sizeof(double)),
                                      "");
    }
}

outcome sampleChannel::addSamples(const double* values, int32_t n, int64_t t, int64_t packetIndex,
                                  const int16_t* values16) {
    if (values == nullptr) {
        printMessage(msg::nullData);
        return {};
    }
    // A packet gives one channel at most 256 values; the repair buffer is sized for that.
    if (n <= 0 || n > packetBatch::maxValuesPerChannel || !setUpResult_.ok()) return {};
    const double expected = expectedCount(t);
    const int64_t have = samplesSoFar_ + n;
    if (expected - static_cast<double>(have) < 2.0) {
        batch_ = values;
        batch16_ = values16;
        batchCount_ = n;
        samplesSoFar_ = have;
    } else {
        const double missing = expected - static_cast<double>(have) - 1;
        printMessage(msg::fillingSamples, packetIndex, missing, longName.c_str());
        if (maxFill_ < missing) return outcome::fatal(exitStatus::gapTooLarge, msg::tooManyMissing);
        // Filled values repeat the last good value and go just before the packet's own.
        int32_t i = 0;
        while (expected - static_cast<double>(samplesSoFar_ + n) >= 2.0) {
            missingList_.push_back(samplesSoFar_);
            ++filledInFile_;
            repairBuffer_[static_cast<size_t>(i)] = lastValue_;
            ++samplesSoFar_;
            ++i;
        }
        std::copy(values, values + n, repairBuffer_.get() + i);
        batch_ = repairBuffer_.get();
        batch16_ = nullptr;
        batchCount_ = n + i;
        samplesSoFar_ += n;
    }
    lastValue_ = values[n - 1];
    lastTimestamp_ = static_cast<double>(t) / ticksPerSecond_;
    if (firstTimestamp_ < 0) firstTimestamp_ = lastTimestamp_;
    return {};
}

}  // namespace sensconv
