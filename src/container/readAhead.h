#pragma once
// Reads an input stream ahead of the packet reader, on the thread beside the
// conversion: the stream is read in blocks of its buffer's size, in order, up to
// depth blocks ahead, each with the very fread the reader would have made itself.
// The reader takes the bytes in stream order, and meets the end of the stream or a
// failed read at the byte where a read of its own would have met it. Nothing is read
// after either.
//
// One per session: its blocks serve the session's files one after the other, so a
// session of thousands of small files allocates them once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/handOff.h"

namespace sensconv {

// fread(into, 1, wanted, stream), with error set to the system's error number (EIO where
// it gave none) when the stream failed before wanted bytes, else 0: the one read that
// both the reader and the reads ahead make.
size_t readChecked(std::FILE* stream, uint8_t* into, size_t wanted, int& error);

class readAhead final : public handOff::target {
public:
    static constexpr size_t blockSize = 256 * 1024;
    static constexpr uint32_t depth = 4;

    // Whether a file of size bytes (-1: not known) gains from being read ahead: a small
    // one is read in a few calls, fewer than it takes to hand them to the thread.
    static bool pays(int64_t size) { return size < 0 || size > static_cast<int64_t>(depth * blockSize); }

    // thread must outlive this reader; unless it is threaded, start() refuses every stream.
    explicit readAhead(handOff& thread);
    // Waits for the blocks on their way.
    ~readAhead();
    readAhead(const readAhead&) = delete;
    readAhead& operator=(const readAhead&) = delete;

    // From here on the stream (not owned) is read ahead; nothing else may touch it
    // until stop(). False (nothing changes) without a thread, or while another stream
    // is being read.
    bool start(std::FILE* stream);
    // Waits for the blocks on their way; the stream is the caller's again, standing
    // wherever the reads ahead left it.
    void stop();

    // As fread(into, 1, wanted, stream) followed by ferror: fewer bytes than wanted only
    // where the stream ended or a read failed. error is then the system's error number
    // of that read (EIO where it gave none), 0 at the end of the stream.
    size_t read(uint8_t* into, size_t wanted, int& error);

private:
    struct block {
        std::vector<uint8_t> bytes;
        size_t got = 0;
        int error = 0;
        bool ended = false;  // the stream ended or failed in this block
        bool ready = false;  // read, and told to this thread
        uint64_t ticket = 0;
    };

    // Keeps depth blocks on their way until a block has ended the stream.
    void handMore();
    // On the other thread: reads the block.
    void writeHandedBlock(uint32_t slot) override;
    void retireHandedBlock(uint32_t slot) override;

    handOff* thread_;
    std::array<block, depth> blocks_{};
    std::FILE* stream_ = nullptr;
    // The converting thread's own.
    uint64_t handed_ = 0;
    uint64_t retired_ = 0;
    uint64_t taken_ = 0;   // blocks used up
    size_t at_ = 0;        // bytes used of block taken_
    bool endSeen_ = false; // a block that ended the stream was read and told
    // The other thread's own, between start() and stop(): once a read has ended the
    // stream, later blocks read nothing.
    bool streamEnded_ = false;
};

}  // namespace sensconv
