#include "container/simpleBufferIO.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "common/userMessages.h"
#include "container/containerMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

constexpr int32_t defaultCapacity = 1024;
// Slack behind the data area; the area itself starts 1 to 8 bytes into the storage,
// on the first multiple of 8.
constexpr size_t storageSlack = 128;
// stdio buffer of an input file.
constexpr size_t inputStreamBufferSize = 256 * 1024;

namespace msg = containerMessages;

bool namesStandardInput(const std::string& path) {
    auto equalsIgnoringCase = [&path](const char* name) {
        const size_t length = std::strlen(name);
        if (path.size() != length) return false;
        for (size_t i = 0; i < length; ++i) {
            if (std::tolower(static_cast<unsigned char>(path[i])) != name[i]) return false;
        }
        return true;
    };
    return equalsIgnoringCase("-") || equalsIgnoringCase("stdin") || equalsIgnoringCase("/dev/stdin");
}

}  // namespace

void simpleBufferIO::setup(std::FILE* file, int32_t capacity, int32_t moveAfter) {
    release();
    file_ = file;
    capacity_ = capacity > 0 ? capacity : defaultCapacity;
    threshold_ = moveAfter >= 0 && moveAfter < capacity_ ? moveAfter : capacity_ / 2;
    // Every byte of the area is read into before it is looked at: only the slack is
    // cleared, not the whole area of every file opened (thousands of small ones).
    const size_t size = static_cast<size_t>(capacity_) + storageSlack;
    storage_ = std::make_unique_for_overwrite<uint8_t[]>(size);
    std::fill(storage_.get() + capacity_, storage_.get() + size, uint8_t{0});
    const auto start = reinterpret_cast<uintptr_t>(storage_.get());
    const size_t skip = 8 - (start % 8);
    std::fill(storage_.get(), storage_.get() + skip, uint8_t{0});
    dataArea_ = storage_.get() + skip;
    filled_ = 0;
    consumed_ = 0;
    bufferFileOffset_ = -1;
    readError_ = 0;
}

const uint8_t* simpleBufferIO::makeAvailable(int32_t n) {
    if (dataArea_ == nullptr) return nullptr;
    if (bufferFileOffset_ == -1) {
        const int64_t offset = file_ != nullptr ? platform::tellPosition(file_) : -1;
        bufferFileOffset_ = offset >= 0 ? offset : startOffset_;
    }

    if (filled_ < 0) filled_ = 0;
    if (consumed_ > filled_) {
        putMessage(msg::consumedTooFar);
        consumed_ = filled_;
    }

    // Unconsumed bytes move down only when more than half the area is used up or when
    // what is left does not cover the request, so a one-byte advance costs no copy.
    if (consumed_ > 0 && filled_ > 0 && (consumed_ > threshold_ || filled_ - consumed_ <= n)) {
        const int32_t left = filled_ - consumed_;
        std::memmove(dataArea_, dataArea_ + consumed_, static_cast<size_t>(left));
        bufferFileOffset_ += consumed_;
        filled_ = left;
        consumed_ = 0;
    }

    // A request the area cannot hold is refused even when the area is full: the
    // caller would otherwise be handed fewer bytes than it asked for.
    if (n > capacity_) return nullptr;
    if (filled_ == capacity_) return current();
    if (filled_ > n && filled_ > capacity_ / 2) return current();

    if (file_ == nullptr) {
        putMessage(msg::noFile);
        return nullptr;
    }

    // A failed read ends the data like the end of the file would, but must never pass
    // for it: the error is kept for the reader to report, and nothing more is read.
    if (readError_ != 0) return filled_ - consumed_ >= n ? current() : nullptr;
    const size_t wanted = static_cast<size_t>(capacity_ - filled_);
    int error = 0;
    const size_t got = readMore(wanted, error);
    if (got < wanted && error != 0) readError_ = error;
    if (got > 0) filled_ += static_cast<int32_t>(got);
    if (got < wanted && (filled_ == 0 || filled_ < n)) return nullptr;
    return current();
}

size_t simpleBufferIO::readMore(size_t wanted, int& error) {
    // The offset above was taken from the file itself before anything is read ahead.
    if (ahead_ != nullptr && !readingAhead_) readingAhead_ = ahead_->start(file_);
    if (readingAhead_) return ahead_->read(dataArea_ + filled_, wanted, error);
    return readChecked(file_, dataArea_ + filled_, wanted, error);
}

void simpleBufferIO::release() {
    if (readingAhead_) ahead_->stop();
    readingAhead_ = false;
    ahead_ = nullptr;
    storage_.reset();
    dataArea_ = nullptr;
    filled_ = 0;
    consumed_ = 0;
}

bool openInputFile(snsrHeader& header, const std::string& path) {
    if (namesStandardInput(path)) {
        header.file_name = "stdin";
        header.file = platform::standardInput();
        header.fileIsStandardInput = true;
    } else {
        header.file_name = path;
        header.fileIsStandardInput = false;
        header.file = platform::openForReading(path);
        if (header.file == nullptr) {
            printMessage(msg::cannotOpenInput, path.c_str());
            return false;
        }
        // The buffer window refills in pieces of a few kilobytes; a large stdio buffer
        // underneath turns them into one read of the file per quarter megabyte.
        header.fileBuffer.resize(inputStreamBufferSize);
        std::setvbuf(header.file, header.fileBuffer.data(), _IOFBF, header.fileBuffer.size());
    }
    header.num_streams = 0;
    header.streams.clear();
    header.fileStartTime = 0;
    header.num_atoms = 0;
    header.atoms.clear();
    return true;
}

void closeInputFile(snsrHeader& header) {
    if (header.file != nullptr && !header.fileIsStandardInput) std::fclose(header.file);
    header.file = nullptr;
    // Only now that the stream is closed may its buffer go.
    header.fileBuffer.clear();
    header.fileBuffer.shrink_to_fit();
}

}  // namespace sensconv
