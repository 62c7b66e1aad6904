#pragma once
// A thread of the session's own that writes full blocks of its output files while the
// conversion decodes on. Blocks are handed over in order; what became of each is told
// on the converting thread in that same order, at the latest before the next message
// line (the writer is the session's message barrier), so that every line reads as in
// a run that writes as it goes. A file has at most one block on its way and fills its
// next one meanwhile, so memory stays at two blocks a file.
//
// The thread only ever writes bytes: it prints nothing and counts nothing. Where no
// thread can be started, each block is written as it is handed over.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "common/userMessages.h"

namespace sensconv {

class blockWriter final : public messageBarrier {
public:
    // A file that hands its full blocks to the writer.
    class target {
    public:
        // On the writer's thread: writes the block handed over last and keeps the result.
        virtual void writeHandedBlock() = 0;
        // On the converting thread, in the order of handing over: tells what became of
        // the block as a write in place would have told it, and frees it for reuse.
        virtual void retireHandedBlock() = 0;

    protected:
        ~target() = default;
    };

    // ownThread: a thread of its own when one can be started; otherwise, and with
    // inPlace, each block is written as it is handed over.
    enum class mode { ownThread, inPlace };
    explicit blockWriter(mode how = mode::ownThread);
    // Writes every block handed over, tells their outcomes and ends the thread.
    ~blockWriter();
    blockWriter(const blockWriter&) = delete;
    blockWriter& operator=(const blockWriter&) = delete;

    // Hands file's block to the thread and returns its ticket. Neither the block nor
    // its result may be touched before the block is retired. Blocks already written
    // are retired first.
    uint64_t hand(target& file);
    // Waits until the block with this ticket is written; tells every outcome up to it.
    void waitFor(uint64_t ticket);
    // Waits until every block handed over is written and tells their outcomes.
    void settle();
    void beforeMessage() override { settle(); }

    bool threaded() const { return thread_.joinable(); }

private:
    void run();
    // Tells the outcomes of every block written so far, in order.
    void retireWritten();

    std::mutex mutex_;
    std::condition_variable work_;       // the thread waits here for blocks
    std::condition_variable written_;    // the converter waits here for written blocks
    std::deque<target*> queue_;          // handed over and not yet written; guarded
    uint64_t writtenCount_ = 0;          // guarded
    bool stopping_ = false;              // guarded

    // The converting thread's own.
    std::deque<target*> unretired_;      // handed over and not yet told, in order
    uint64_t handedCount_ = 0;
    uint64_t retiredCount_ = 0;
    bool retiring_ = false;

    std::thread thread_;  // last: starts once everything above is in place
};

}  // namespace sensconv
