#include "output/binaryDataFile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/littleEndian.h"
#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "platform/platform.h"
#include "output/outputMessages.h"

namespace sensconv {

namespace {

namespace msg = outputMessages;

using outputLayout::dataExtension;
using outputLayout::metaExtension;
using outputLayout::sparseExtension;

outcome failToCreate(const std::string& name, const char* extension, const std::string& directory,
                     const std::string& fullPath) {
    return outcome::fatal(exitStatus::failed,
                          formatText(msg::channelFileNotCreated, name.c_str(), extension, directory.c_str()) +
                              formatText(msg::fullPath, fullPath.c_str()));
}

}  // namespace

binaryDataFile::~binaryDataFile() {
    close();
}

std::string binaryDataFile::path(const char* extension) const {
    return directory_ + outputLayout::channelFileStem(name_) + extension;
}

outcome binaryDataFile::open(const std::string& directory, const std::string& name, double sampleRate,
                             int32_t dataType) {
    close();
    directory_ = directory;
    name_ = name;
    if (!data_.create(path(dataExtension))) return failToCreate(name_, dataExtension, directory_, data_.path());
    if (!meta_.create(path(metaExtension))) return failToCreate(name_, metaExtension, directory_, meta_.path());

    sampleRate_ = sampleRate;
    dataType_ = dataType;
    samplesWritten = 0;
    firstTimestamp = -1.0;
    lastTimestamp = -1.0;
    filled_.clear();
    filledSpill_.close();
    filledCount_ = 0;

    // The stream's own buffer would only copy the blocks once more.
    std::setvbuf(data_.handle(), nullptr, _IONBF, 0);
    block_.assign(blockBytes / sizeof(float), 0.0f);
    pending_ = 0;
    return {};
}

void binaryDataFile::writeSamples(const double* values, int32_t n) {
    constexpr int32_t samplesPerBlock = blockBytes / static_cast<int32_t>(sizeof(float));
    if (block_.empty()) return;
    for (int32_t start = 0; start < n;) {
        const int32_t count = std::min(samplesPerBlock - pending_, n - start);
        float* out = block_.data() + pending_;
        const double* in = values + start;
        for (int32_t i = 0; i < count; ++i) out[i] = narrowToFloat(in[i]);
        if constexpr (std::endian::native != std::endian::little) {
            for (int32_t i = 0; i < count; ++i) {
                uint32_t bits = 0;
                std::memcpy(&bits, &out[i], sizeof bits);
                uint8_t bytes[4];
                writeLE32(bytes, bits);
                std::memcpy(&out[i], bytes, sizeof bytes);
            }
        }
        pending_ += count;
        start += count;
        if (pending_ < samplesPerBlock) break;
        // The block holds start samples of this call at most, the last ones of it; what
        // is left of the call fills no further block when it is less than one.
        handBlock(std::min(start, samplesPerBlock), n, n - start < samplesPerBlock);
    }
}

void binaryDataFile::handBlock(int32_t ofCall, int32_t callSamples, bool endsCall) {
    const int32_t count = pending_;
    pending_ = 0;
    handed_.handOver(writer_, *this, block_, {count, ofCall, callSamples, endsCall, 0, 0});
}

void binaryDataFile::writeHandedBlock(uint32_t slot) {
    auto& block = handed_.at(slot);
    const auto count = static_cast<size_t>(block.about.count);
    block.about.reached = data_.putBytes(block.items.data(), sizeof(float), count, block.about.errorNumber);
    // The session is flushed to the disk before it takes its name; started here, as the
    // data comes, the disk's work overlaps the conversion instead of following it.
    constexpr int64_t writeBackBytes = int64_t{8} << 20;
    sinceWriteBack_ += static_cast<int64_t>(block.about.reached * sizeof(float));
    if (sinceWriteBack_ >= writeBackBytes && data_.isOpen()) {
        platform::startWriteBack(data_.handle());
        sinceWriteBack_ = 0;
    }
}

void binaryDataFile::retireHandedBlock(uint32_t) {
    const blockFacts block = handed_.retire().about;
    constexpr int32_t samplesPerBlock = blockBytes / static_cast<int32_t>(sizeof(float));
    const auto reached = static_cast<int32_t>(block.reached);
    if (reached != block.count && data_.isOpen()) {
        data_.tellShortWrite(block.errorNumber, outputFile::shortWrite::callerReports);
    }
    callLost_ += std::min(block.ofCall, samplesPerBlock - reached);
    if (!block.endsCall) return;
    if (callLost_ > 0) {
        printMessage(msg::shortChannelWrite, block.callSamples, block.callSamples - callLost_, sensor_.c_str());
    }
    callLost_ = 0;
}

void binaryDataFile::flush() {
    // Blocks on their way come first; a failure here is the file's own to report.
    handed_.settle(writer_);
    if (pending_ > 0) data_.write(block_.data(), sizeof(float), static_cast<size_t>(pending_));
    pending_ = 0;
}

void binaryDataFile::close() {
    if (!data_.isOpen() && !meta_.isOpen()) return;
    flush();
    data_.close();
    block_.clear();
    block_.shrink_to_fit();
    handed_.release();

    if (meta_.isOpen()) {
        meta_.print("\"NumSamples\",%" PRId64 "\n", samplesWritten);
        meta_.print("\"SampleRate\",%f\n", sampleRate_);
        meta_.print("\"Name\",\"%s\"\n", name_.c_str());
        meta_.print("\"DataType\",%d\n", dataType_);
        if (firstTimestamp >= 0 && lastTimestamp >= 0) {
            meta_.print("\"firstTimestamp\",%f\n", firstTimestamp);
            meta_.print("\"lastTimestamp\",%f\n", lastTimestamp);
        }
        writeSparseFile();
        meta_.close();
    }
}

void binaryDataFile::appendFilled(int64_t first, int64_t count) {
    if (count <= 0) return;
    if (filled_.runs().size() >= filledRunsInMemory && (filledSpill_.isOpen() || filledSpill_.open(directory_))) {
        // Without a scratch file the runs simply stay in memory.
        for (const positionRuns::run& run : filled_.runs()) {
            const int64_t pair[2] = {run.first, run.count};
            filledSpill_.append(pair, sizeof pair);
        }
        filled_.clear();
    }
    filled_.appendRun(first, count);
    filledCount_ += count;
}

void binaryDataFile::writeSparseFile() {
    if (filledCount_ == 0) return;
    outputFile sparse(*run_);
    if (!sparse.create(path(sparseExtension))) {
        printMessage(msg::sparseFileNotCreated, name_.c_str(), directory_.c_str());
        printMessage(msg::fullPath, sparse.path().c_str());
        printMessage(msg::sparseNotWritten);
        sparse.lostWithoutFile();
        return;
    }
    bool writing = true;
    const auto printRun = [&sparse, &writing](int64_t first, int64_t count) {
        for (int64_t position = first; writing && position < first + count; ++position) {
            writing = sparse.print("%" PRId64 ",1\n", position);
        }
    };
    // The spilled runs come back in whole pairs, however the blocks fall.
    std::array<unsigned char, 2 * sizeof(int64_t)> partial{};
    size_t partialSize = 0;
    const bool spillRead = filledSpill_.readBack([&](const char* block, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            partial[partialSize++] = static_cast<unsigned char>(block[i]);
            if (partialSize < partial.size()) continue;
            int64_t pair[2];
            std::memcpy(pair, partial.data(), sizeof pair);
            printRun(pair[0], pair[1]);
            partialSize = 0;
        }
    });
    if (!spillRead) sparse.markFailed(filledSpill_.errorNumber());
    for (const positionRuns::run& run : filled_.runs()) printRun(run.first, run.count);
    filledSpill_.close();
    filled_.clear();
    sparse.close();
}

}  // namespace sensconv
