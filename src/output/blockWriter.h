#pragma once
// A thread of the session's own that writes full blocks of its output files while the
// conversion decodes on. Blocks are handed over in order; what became of each is told
// on the converting thread in that same order, at the latest before the next message
// line (the writer is the session's message barrier), so that every line reads as in
// a run that writes as it goes. A file has up to handDepth blocks on their way and
// fills its next one meanwhile, so memory stays at a few blocks a file; the thread is
// woken once a few blocks wait, or when the converter needs one written, not for each
// block.
//
// The thread only ever writes bytes: it prints nothing and counts nothing. Where no
// thread can be started, each block is written as it is handed over.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "common/userMessages.h"

namespace sensconv {

class blockWriter final : public messageBarrier {
public:
    // A file that hands its full blocks to the writer; slot tells which of its blocks.
    class target {
    public:
        // On the writer's thread: writes the block in slot and keeps the result there.
        virtual void writeHandedBlock(uint32_t slot) = 0;
        // On the converting thread, in the order of handing over: tells what became of
        // the block in slot as a write in place would have told it.
        virtual void retireHandedBlock(uint32_t slot) = 0;

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

    // Hands file's block in slot to the thread and returns its ticket. Neither the
    // block nor its result may be touched before the block is retired. Blocks already
    // written are retired first.
    uint64_t hand(target& file, uint32_t slot);
    // Waits until the block with this ticket is written; tells every outcome up to it.
    void waitFor(uint64_t ticket);
    // Waits until every block handed over is written and tells their outcomes.
    void settle();
    void beforeMessage() override { settle(); }

    bool threaded() const { return thread_.joinable(); }

private:
    // Blocks that wait before the thread is woken for them.
    static constexpr size_t wakeAt = 3;

    struct job {
        target* file;
        uint32_t slot;
    };

    void run();
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

    std::thread thread_;  // last: starts once everything above is in place
};

// The blocks of one file on their way to it, oldest first, each with what the file
// needs to tell its outcome (facts). Only the converting thread moves the ring; the
// writer's thread touches the one slot it writes.
template <typename sample, typename facts>
class handedBlocks {
public:
    static constexpr uint32_t handDepth = 4;

    struct slot {
        std::vector<sample> samples;
        facts about;
    };

    bool empty() const { return handed_ == retired_; }
    bool full() const { return handed_ - retired_ == handDepth; }
    // The slot the next block goes into.
    uint32_t nextSlot() const { return static_cast<uint32_t>(handed_ % handDepth); }
    slot& at(uint32_t index) { return slots_[index]; }
    uint64_t oldestTicket() const { return tickets_[retired_ % handDepth]; }
    uint64_t newestTicket() const { return tickets_[(handed_ - 1) % handDepth]; }
    // The block in nextSlot() went off with ticket.
    void handed(uint64_t ticket) {
        tickets_[nextSlot()] = ticket;
        ++handed_;
    }
    // The oldest block is told; returns its slot.
    slot& retire() { return slots_[retired_++ % handDepth]; }
    void release() {
        for (slot& s : slots_) s.samples = std::vector<sample>();
    }

private:
    std::array<slot, handDepth> slots_{};
    std::array<uint64_t, handDepth> tickets_{};
    uint64_t handed_ = 0;
    uint64_t retired_ = 0;
};

}  // namespace sensconv
