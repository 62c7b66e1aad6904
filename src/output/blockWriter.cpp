#include "output/blockWriter.h"

#include <algorithm>
#include <system_error>

#include "platform/platform.h"

namespace sensconv {

blockWriter::blockWriter(mode how) {
    if (how == mode::inPlace) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): every block is written in place.
    }
    keepApart();
}

void blockWriter::keepApart() {
    // The system places a woken thread next to the thread that woke it unless another
    // processor looks idle, and an idle virtual processor may not look so: the two
    // threads of a session then share one processor while the other stays idle, for
    // tens of milliseconds, until the system balances them. The writer is therefore
    // kept off the converting thread's processor, checked whenever it is woken.
    const int processor = platform::currentProcessor();
    if (processor == apartFrom_ || !threaded()) return;
    apartFrom_ = processor;
    platform::keepThreadOff(thread_, processor);
}

blockWriter::~blockWriter() {
    settle();
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void blockWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        sleeping_ = true;
        work_.wait(lock, [this] {
            return stopping_ || queue_.size() >= wakeAt || (!queue_.empty() && wantedCount_ > writtenCount_);
        });
        sleeping_ = false;
        if (queue_.empty()) return;
        // Once awake, everything waiting is written.
        while (!queue_.empty()) {
            const job next = queue_.front();
            lock.unlock();
            next.file->writeHandedBlock(next.slot);
            lock.lock();
            queue_.pop_front();
            ++writtenCount_;
            if (wantedCount_ > 0 && writtenCount_ >= wantedCount_) written_.notify_all();
        }
    }
}

uint64_t blockWriter::hand(target& file, uint32_t slot) {
    retireWritten();
    const uint64_t ticket = handedCount_++;
    unretired_.push_back({&file, slot});
    if (!threaded()) {
        file.writeHandedBlock(slot);
        ++writtenCount_;
        retireWritten();
        return ticket;
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({&file, slot});
        wake = sleeping_ && queue_.size() >= wakeAt;
    }
    if (wake) {
        keepApart();
        work_.notify_one();
    }
    return ticket;
}

void blockWriter::waitFor(uint64_t ticket) {
    if (threaded()) {
        // Outside the lock: it may ask the system to move the thread.
        keepApart();
        std::unique_lock lock(mutex_);
        if (writtenCount_ <= ticket) {
            wantedCount_ = std::max(wantedCount_, ticket + 1);
            if (sleeping_) work_.notify_one();
            written_.wait(lock, [this, ticket] { return writtenCount_ > ticket; });
        }
    }
    retireWritten();
}

void blockWriter::settle() {
    if (handedCount_ > retiredCount_) waitFor(handedCount_ - 1);
}

void blockWriter::retireWritten() {
    // Telling an outcome prints a line, which settles the barrier again: the outer
    // call goes on in order.
    if (retiring_) return;
    uint64_t written = 0;
    {
        std::lock_guard lock(mutex_);
        written = writtenCount_;
    }
    retiring_ = true;
    while (retiredCount_ < written) {
        const job next = unretired_.front();
        unretired_.pop_front();
        ++retiredCount_;
        next.file->retireHandedBlock(next.slot);
    }
    retiring_ = false;
}

}  // namespace sensconv
