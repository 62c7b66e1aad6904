#include "container/readAhead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sensconv {

size_t readChecked(std::FILE* stream, uint8_t* into, size_t wanted, int& error) {
    errno = 0;
    const size_t got = std::fread(into, 1, wanted, stream);
    error = got < wanted && std::ferror(stream) != 0 ? (errno != 0 ? errno : EIO) : 0;
    return got;
}

readAhead::readAhead(handOff& thread) : thread_(&thread) {}

readAhead::~readAhead() {
    stop();
}

bool readAhead::start(std::FILE* stream) {
    if (stream == nullptr || stream_ != nullptr || !thread_->threaded()) return false;
    for (block& b : blocks_) {
        if (b.bytes.size() != blockSize) b.bytes.assign(blockSize, 0);
        b.ready = false;
    }
    stream_ = stream;
    handed_ = retired_ = taken_ = 0;
    at_ = 0;
    endSeen_ = false;
    streamEnded_ = false;
    return true;
}

void readAhead::stop() {
    if (stream_ == nullptr) return;
    if (retired_ != handed_) thread_->waitFor(blocks_[(handed_ - 1) % depth].ticket);
    stream_ = nullptr;
}

void readAhead::handMore() {
    while (!endSeen_ && handed_ - taken_ < depth) {
        const auto slot = static_cast<uint32_t>(handed_ % depth);
        blocks_[slot].ready = false;
        ++handed_;
        blocks_[slot].ticket = thread_->hand(*this, slot);
    }
}

size_t readAhead::read(uint8_t* into, size_t wanted, int& error) {
    error = 0;
    if (stream_ == nullptr) return 0;
    size_t done = 0;
    while (done < wanted) {
        handMore();
        if (taken_ == handed_) break;  // the stream ended in a block used up before
        block& current = blocks_[taken_ % depth];
        if (!current.ready) thread_->waitFor(current.ticket);
        const size_t n = std::min(current.got - at_, wanted - done);
        if (n > 0) std::memcpy(into + done, current.bytes.data() + at_, n);
        at_ += n;
        done += n;
        if (at_ < current.got) continue;
        if (current.ended) {
            error = current.error;
            break;
        }
        at_ = 0;
        ++taken_;
    }
    return done;
}

void readAhead::writeHandedBlock(uint32_t slot) {
    block& b = blocks_[slot];
    b.got = 0;
    b.error = 0;
    b.ended = true;
    if (streamEnded_) return;
    b.got = readChecked(stream_, b.bytes.data(), b.bytes.size(), b.error);
    b.ended = b.got < b.bytes.size();
    streamEnded_ = b.ended;
}

void readAhead::retireHandedBlock(uint32_t slot) {
    block& b = blocks_[slot];
    b.ready = true;
    ++retired_;
    if (b.ended) endSeen_ = true;
}

}  // namespace sensconv
