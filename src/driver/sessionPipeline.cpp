#include "driver/sessionPipeline.h"

#include <algorithm>
#include <system_error>

#include "container/packetReader.h"
#include "decode/sensorDecoder.h"
#include "platform/platform.h"

namespace sensconv {

sessionThread::sessionThread(mode how) {
    if (how == mode::inPlace) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): every block is written in place.
    }
    keepApart();
}

void sessionThread::keepApart() {
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

sessionThread::~sessionThread() {
    settle();
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void sessionThread::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        sleeping_ = true;
        work_.wait(lock, [this] {
            return stopping_ || queue_.size() >= wakeAt || (!queue_.empty() && wantedCount_ > doneCount_);
        });
        sleeping_ = false;
        if (queue_.empty()) return;
        // Once awake, everything waiting is written.
        while (!queue_.empty()) {
            const job next = queue_.front();
            lock.unlock();
            next.owner->writeHandedBlock(next.slot);
            lock.lock();
            queue_.pop_front();
            ++doneCount_;
            if (wantedCount_ > 0 && doneCount_ >= wantedCount_) done_.notify_all();
        }
    }
}

uint64_t sessionThread::hand(target& owner, uint32_t slot) {
    return handOver(owner, slot, false);
}

uint64_t sessionThread::handNow(target& owner, uint32_t slot) {
    return handOver(owner, slot, true);
}

uint64_t sessionThread::handOver(target& owner, uint32_t slot, bool now) {
    retireDone();
    const uint64_t ticket = handedCount_++;
    unretired_.push_back({&owner, slot});
    if (!threaded()) {
        owner.writeHandedBlock(slot);
        ++doneCount_;
        retireDone();
        return ticket;
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({&owner, slot});
        // Work wanted at once is wanted done: the thread does not wait for more.
        if (now) wantedCount_ = std::max(wantedCount_, ticket + 1);
        wake = sleeping_ && (now || queue_.size() >= wakeAt);
    }
    if (wake) {
        keepApart();
        work_.notify_one();
    }
    return ticket;
}

void sessionThread::waitFor(uint64_t ticket) {
    if (threaded()) {
        // Outside the lock: it may ask the system to move the thread.
        keepApart();
        std::unique_lock lock(mutex_);
        if (doneCount_ <= ticket) {
            wantedCount_ = std::max(wantedCount_, ticket + 1);
            if (sleeping_) work_.notify_one();
            done_.wait(lock, [this, ticket] { return doneCount_ > ticket; });
        }
    }
    retireDone();
}

void sessionThread::settle() {
    if (handedCount_ > retiredCount_) waitFor(handedCount_ - 1);
}

void sessionThread::retireDone() {
    // Telling an outcome prints a line, which settles the barrier again: the outer
    // call goes on in order.
    if (retiring_) return;
    uint64_t written = 0;
    {
        std::lock_guard lock(mutex_);
        written = doneCount_;
    }
    retiring_ = true;
    while (retiredCount_ < written) {
        const job next = unretired_.front();
        unretired_.pop_front();
        ++retiredCount_;
        next.owner->retireHandedBlock(next.slot);
    }
    retiring_ = false;
}

sessionPipeline::sessionPipeline(runStatus& run, sessionThread::mode how)
    : thread_(how), writer_(run, &thread_), ahead_(thread_) {}

void sessionPipeline::beginFile(packetReader& reader, sensorDecoder& decoder, int64_t expectedSize) {
    if (readAhead::pays(expectedSize)) reader.readAheadThrough(ahead_);
    decoder.fitClocksOn(thread_);
}

bool sessionPipeline::finishFiles() {
    ahead_.stop();
    return writer_.finish();
}

namespace {
std::mutex unfinishedLock;
unfinishedSession::where unfinished;  // guarded
}  // namespace

void unfinishedSession::set(int session, const std::string& directory) {
    const std::lock_guard<std::mutex> lock(unfinishedLock);
    unfinished = {session, directory};
}

unfinishedSession::where unfinishedSession::current() {
    const std::lock_guard<std::mutex> lock(unfinishedLock);
    return unfinished;
}

}  // namespace sensconv
