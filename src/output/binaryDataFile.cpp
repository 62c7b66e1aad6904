#include "output/binaryDataFile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "output/outputMessages.h"

namespace sensconv {

namespace {

namespace msg = outputMessages;

constexpr const char* binExtension = ".bin";
constexpr const char* metaExtension = ".meta";
constexpr const char* sparseExtension = ".sparse";
constexpr int statusNotCreated = -1;

outcome failToCreate(const std::string& name, const char* extension, const std::string& directory,
                     const std::string& fullPath) {
    return outcome::fatal(statusNotCreated,
                          formatText(msg::channelFileNotCreated, name.c_str(), extension, directory.c_str()) +
                              formatText(msg::fullPath, fullPath.c_str()));
}

}  // namespace

float narrowToFloat(double value) {
    // Halfway between the largest float and 2^128: from here on, rounding to nearest
    // gives an infinity. Below it the conversion is an ordinary rounding.
    constexpr double overflowsToInfinity = 0x1.ffffffp127;
    constexpr float infinity = std::numeric_limits<float>::infinity();
    if (value >= overflowsToInfinity) return infinity;
    if (value <= -overflowsToInfinity) return -infinity;
    return static_cast<float>(value);
}

binaryDataFile::~binaryDataFile() {
    close();
}

std::string binaryDataFile::path(const char* extension) const {
    return directory_ + "binaryData_" + name_ + extension;
}

outcome binaryDataFile::open(const std::string& directory, const std::string& name, double sampleRate,
                             int32_t expectedSamples, int32_t dataType) {
    close();
    directory_ = directory;
    name_ = name;
    if (!data_.create(path(binExtension))) return failToCreate(name_, binExtension, directory_, data_.path());
    if (!meta_.create(path(metaExtension))) return failToCreate(name_, metaExtension, directory_, meta_.path());

    sampleRate_ = sampleRate;
    expectedSamples_ = expectedSamples;
    dataType_ = dataType;
    samplesWritten = 0;
    firstTimestamp = -1.0;
    lastTimestamp = -1.0;
    filled_.clear();
    filledSpill_.close();
    filledCount_ = 0;

    // A large stream buffer keeps the per-packet appends free of system calls. Without
    // it the stream simply keeps its default buffering.
    try {
        streamBuffer_.resize(streamBufferSize);
    } catch (const std::bad_alloc&) {
        streamBuffer_.clear();
    }
    if (!streamBuffer_.empty()) {
        std::setvbuf(data_.handle(), streamBuffer_.data(), _IOFBF, streamBuffer_.size());
    }
    return {};
}

int32_t binaryDataFile::writeSamples(const double* values, int32_t n) {
    constexpr int32_t samplesPerBlock = static_cast<int32_t>(sizeof(encoded_) / sizeof(float));
    int32_t written = 0;
    for (int32_t start = 0; start < n; start += samplesPerBlock) {
        const int32_t count = std::min(samplesPerBlock, n - start);
        for (int32_t i = 0; i < count; ++i) {
            const float sample = narrowToFloat(values[start + i]);
            uint32_t bits = 0;
            std::memcpy(&bits, &sample, sizeof bits);
            writeLE32(encoded_.data() + 4 * i, bits);
        }
        written += static_cast<int32_t>(
            data_.write(encoded_.data(), sizeof(float), static_cast<size_t>(count), outputFile::shortWrite::callerReports));
    }
    return written;
}

void binaryDataFile::close() {
    if (!data_.isOpen() && !meta_.isOpen()) return;
    data_.close();
    streamBuffer_.clear();
    streamBuffer_.shrink_to_fit();

    if (meta_.isOpen()) {
        if (expectedSamples_ != -1 && expectedSamples_ != samplesWritten) {
            std::fprintf(stderr, msg::samplesNotAsExpected, name_.c_str());
            std::fprintf(stderr, msg::expectedSamples, expectedSamples_, samplesWritten);
        }
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
        std::fprintf(stderr, msg::sparseFileNotCreated, name_.c_str(), directory_.c_str());
        std::fprintf(stderr, msg::fullPath, sparse.path().c_str());
        std::fprintf(stderr, msg::sparseNotWritten);
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
