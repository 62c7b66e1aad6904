#pragma once
// A window of a file in memory for the packet reader: guarantees that a requested
// number of bytes from the current position is in memory, refills in large reads,
// and tells the absolute file offset of the current position.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "container/readAhead.h"
#include "container/snsrHeader.h"

namespace sensconv {

class simpleBufferIO {
public:
    simpleBufferIO() = default;

    // Sets the file (not owned) and the capacity; nothing is read yet. The unconsumed
    // bytes move to the front of the area once more than moveAfter bytes (by default
    // half the capacity) are consumed, or when what is left does not cover a request.
    void setup(std::FILE* file, int32_t capacity, int32_t moveAfter = -1);
    // From the first refill on, the file's bytes come through ahead (not owned), which
    // reads the file on another thread, until release(). Without a thread nothing changes.
    void readThrough(readAhead& ahead) { ahead_ = &ahead; }
    // File offset to assume for the first byte read when the file cannot tell its
    // own offset (standard input from a pipe): the number of bytes read before.
    void setStartOffset(int64_t offset) { startOffset_ = offset; }

    // Pointer to the current position with at least n bytes behind it, or nullptr.
    // The pointer stays valid until the next ensureAvailable call.
    const uint8_t* ensureAvailable(int32_t n) {
        // Most calls find the bytes in a well filled area that need not move yet; they
        // get what the full rules below would give them, without a call.
        if (dataArea_ != nullptr && bufferFileOffset_ != -1 && consumed_ <= threshold_ && filled_ - consumed_ > n &&
            n <= capacity_ && filled_ > capacity_ / 2) {
            return current();
        }
        return makeAvailable(n);
    }
    const uint8_t* current() const { return dataArea_ + consumed_; }
    bool consume(int32_t n) {
        if (n < 0 || n > INT32_MAX - consumed_) return false;
        consumed_ += n;
        return true;
    }
    // Absolute file offset of the current position.
    int64_t position() const { return bufferFileOffset_ + consumed_; }
    // Absolute file offset just past the last byte taken from the file.
    int64_t endOfReadData() const { return bufferFileOffset_ + filled_; }
    // The system's error number when a read of the file failed (then no more data
    // comes from it); 0 while every read succeeded or met the end of the file.
    int readError() const { return readError_; }
    void release();

    // Exposed for tests of the refill and compaction rules.
    int32_t capacity() const { return capacity_; }
    int32_t filled() const { return filled_; }
    int32_t consumed() const { return consumed_; }
    int64_t bufferFileOffset() const { return bufferFileOffset_; }

private:
    const uint8_t* makeAvailable(int32_t n);
    // Reads into the area behind the filled bytes; the system's error number of a
    // failed read, 0 when it read all it asked for or met the end of the file.
    size_t readMore(size_t wanted, int& error);

    std::FILE* file_ = nullptr;
    readAhead* ahead_ = nullptr;
    bool readingAhead_ = false;  // ahead_ has started on file_
    int32_t capacity_ = 1024;
    int32_t threshold_ = 512;
    std::unique_ptr<uint8_t[]> storage_;
    uint8_t* dataArea_ = nullptr;
    int32_t filled_ = 0;
    int32_t consumed_ = 0;
    int64_t bufferFileOffset_ = -1;
    int64_t startOffset_ = 0;
    int readError_ = 0;
};

// Opens path (or standard input for "-", "stdin", "/dev/stdin", any letter case)
// into header.file and header.file_name. Prints "ERROR: can't open file %s\n" on failure.
bool openInputFile(snsrHeader& header, const std::string& path);
// Closes header.file unless it is standard input.
void closeInputFile(snsrHeader& header);

}  // namespace sensconv
