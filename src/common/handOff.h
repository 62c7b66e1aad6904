#pragma once
// Work that the converting thread hands to a thread beside it in blocks: the other
// thread works on the blocks in the order they were handed over, and the converting
// thread is told of each, in that same order, when it retires it. What a block holds
// and what is done with it is the target's own (bytes for a file, clock pairs for a
// fit). The thread itself is the session pipeline's (driver/sessionPipeline.h); the
// layers below the driver only ever see this door.

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace sensconv {

class handOff {
public:
    // One user of the thread; slot tells which of its blocks.
    class target {
    public:
        // On the other thread: does the block's work and keeps its result in the slot.
        virtual void writeHandedBlock(uint32_t slot) = 0;
        // On the converting thread, in the order of handing over: tells what became of
        // the block in slot and frees it for reuse.
        virtual void retireHandedBlock(uint32_t slot) = 0;

    protected:
        ~target() = default;
    };

    // Hands the target's block in slot over and returns its ticket. Neither the block
    // nor its result may be touched before the block is retired.
    virtual uint64_t hand(target& owner, uint32_t slot) = 0;
    // As hand, and the other thread starts on it at once (work that the converting
    // thread waits for soon, rather than one of a stream of blocks).
    virtual uint64_t handNow(target& owner, uint32_t slot) = 0;
    // Waits until the block with this ticket is done; retires every block up to it.
    virtual void waitFor(uint64_t ticket) = 0;
    // Whether blocks go to another thread at all (else each is done as it is handed over).
    virtual bool threaded() const = 0;

protected:
    ~handOff() = default;
};

// The blocks of one target on their way, oldest first, each with what the target
// needs to tell its outcome (facts). Only the converting thread moves the ring; the
// other thread touches the one slot it works on.
template <typename item, typename facts>
class handedBlocks {
public:
    static constexpr uint32_t handDepth = 4;

    struct slot {
        std::vector<item> items;
        facts about;
    };

    // Swaps block with a free slot's (which takes block's size) and hands that slot to
    // thread, after waiting for the oldest when every slot is on its way. Without a
    // thread, owner does the slot's work and tells it at once.
    void handOver(handOff* thread, handOff::target& owner, std::vector<item>& block, facts about) {
        if (thread != nullptr && handed_ - retired_ == handDepth) thread->waitFor(tickets_[retired_ % handDepth]);
        const auto index = static_cast<uint32_t>(handed_ % handDepth);
        slot& next = slots_[index];
        if (next.items.size() != block.size()) next.items.assign(block.size(), item{});
        block.swap(next.items);
        next.about = std::move(about);
        if (thread == nullptr) {
            ++handed_;
            owner.writeHandedBlock(index);
            owner.retireHandedBlock(index);
            return;
        }
        tickets_[index] = thread->hand(owner, index);
        ++handed_;
    }
    // Waits until every block handed over is done and told.
    void settle(handOff* thread) {
        if (thread != nullptr && handed_ != retired_) thread->waitFor(tickets_[(handed_ - 1) % handDepth]);
    }

    slot& at(uint32_t index) { return slots_[index]; }
    // Whether every block handed over is told.
    bool idle() const { return handed_ == retired_; }
    // The oldest block is told; returns its slot.
    slot& retire() { return slots_[retired_++ % handDepth]; }
    void release() {
        for (slot& s : slots_) s.items = std::vector<item>();
    }

private:
    std::array<slot, handDepth> slots_{};
    std::array<uint64_t, handDepth> tickets_{};
    uint64_t handed_ = 0;
    uint64_t retired_ = 0;
};

}  // namespace sensconv
