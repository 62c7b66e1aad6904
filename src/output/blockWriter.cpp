#include "output/blockWriter.h"

#include <system_error>

namespace sensconv {

blockWriter::blockWriter(mode how) {
    if (how == mode::inPlace) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): every block is written in place.
    }
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
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        target* next = queue_.front();
        lock.unlock();
        next->writeHandedBlock();
        lock.lock();
        queue_.pop_front();
        ++writtenCount_;
        written_.notify_all();
    }
}

uint64_t blockWriter::hand(target& file) {
    retireWritten();
    const uint64_t ticket = handedCount_++;
    unretired_.push_back(&file);
    if (!threaded()) {
        file.writeHandedBlock();
        ++writtenCount_;
        retireWritten();
        return ticket;
    }
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(&file);
    }
    work_.notify_one();
    return ticket;
}

void blockWriter::waitFor(uint64_t ticket) {
    if (threaded()) {
        std::unique_lock lock(mutex_);
        written_.wait(lock, [this, ticket] { return writtenCount_ > ticket; });
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
        target* next = unretired_.front();
        unretired_.pop_front();
        ++retiredCount_;
        next->retireHandedBlock();
    }
    retiring_ = false;
}

}  // namespace sensconv
