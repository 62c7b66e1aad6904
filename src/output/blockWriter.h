#pragma once
// A thread of the session's own that writes full blocks of its output files while the
// conversion decodes on, and fits the decoder's board clocks (see fileTimes.h). Blocks
// are handed over in order; what became of each is told on the converting thread in
// that same order, at the latest before the next message line (the writer is the
// session's message barrier), so that every line reads as in a run that writes as it
// goes. A file has up to handDepth blocks on their way and fills its next one
// meanwhile, so memory stays at a few blocks a file; the thread is woken once a few
// blocks wait, or when the converter needs one done, not for each block.
//
// The thread prints nothing and counts nothing. Where no thread can be started, each
// block is done as it is handed over.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "common/handOff.h"
#include "common/userMessages.h"

namespace sensconv {

class blockWriter final : public messageBarrier, public handOff {
public:
    // A file that hands its full blocks to the writer: writeHandedBlock writes the
    // block, retireHandedBlock tells what became of it as a write in place would have.
    using target = handOff::target;

    // ownThread: a thread of its own when one can be started; otherwise, and with
    // inPlace, each block is written as it is handed over.
    enum class mode { ownThread, inPlace };
    explicit blockWriter(mode how = mode::ownThread);
    // Writes every block handed over, tells their outcomes and ends the thread.
    ~blockWriter();
    blockWriter(const blockWriter&) = delete;
    blockWriter& operator=(const blockWriter&) = delete;

    // Hands file's block in slot to the thread and returns its ticket. Neither the
    // block nor its result may be touched before the block is retired. Blocks already
    // written are retired first.
    uint64_t hand(target& file, uint32_t slot) override;
    // Waits until the block with this ticket is written; tells every outcome up to it.
    void waitFor(uint64_t ticket) override;
    // Waits until every block handed over is written and tells their outcomes.
    void settle();
    void beforeMessage() override { settle(); }

    bool threaded() const override { return thread_.joinable(); }

private:
    // Blocks that wait before the thread is woken for them.
    static constexpr size_t wakeAt = 3;

    struct job {
        target* file;
        uint32_t slot;
    };

    void run();
    // Keeps the thread off the converting thread's processor (see the source).
    void keepApart();
    // Tells the outcomes of every block written so far, in order.
    void retireWritten();

    std::mutex mutex_;
    std::condition_variable work_;       // the thread waits here for blocks
    std::condition_variable written_;    // the converter waits here for written blocks
    std::deque<job> queue_;              // handed over and not yet written; guarded
    uint64_t writtenCount_ = 0;          // guarded
    uint64_t wantedCount_ = 0;           // written blocks the converter waits for; guarded
    bool sleeping_ = false;              // guarded
    bool stopping_ = false;              // guarded

    // The converting thread's own.
    std::deque<job> unretired_;          // handed over and not yet told, in order
    uint64_t handedCount_ = 0;
    uint64_t retiredCount_ = 0;
    bool retiring_ = false;
    int apartFrom_ = -1;  // the processor the thread was last kept off

    std::thread thread_;  // last: starts once everything above is in place
};

}  // namespace sensconv
