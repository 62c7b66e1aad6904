#pragma once
// Everything concurrent about converting the input files lives here, and nowhere else
// outside the platform layer and the runner of sessions side by side (-jobs):
//
// - sessionThread: the session's one thread beside the conversion. It writes full
//   blocks of the output files, reads the input files ahead, fits the board clocks and
//   gathers the later half of the wear pass. Blocks are handed over in order; what
//   became of each is told on the converting thread in that same order, at the latest
//   before the next message line (the thread is the session's message barrier), so
//   that every line reads as in a run that does everything as it goes. The thread
//   prints nothing and counts nothing; where none can be started, each block is done
//   as it is handed over.
// - sessionPipeline: one session's writer and read-ahead with that thread, in the order
//   they must end, so that nothing can outlive what it hands work to.
// - sideBySide: work on a list of items by a few threads at once (the session plan's
//   scan of the input files), each item's lines held back until the items before it
//   are through.
// - unfinishedSession: the session being built, which a request to end the run reads
//   from a thread of its own.
//
// The container, decode and output layers know the thread only through handOff (see
// common/handOff.h): they hand it blocks and are told of them, and never see a lock.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/handOff.h"
#include "common/runStatus.h"
#include "common/userMessages.h"
#include "container/readAhead.h"
#include "output/snsr_packetWriter_class.h"

namespace sensconv {

class packetReader;
class sensorDecoder;

class sessionThread final : public messageBarrier, public handOff {
public:
    // ownThread: a thread of its own when one can be started; otherwise, and with
    // inPlace, each block is done as it is handed over.
    enum class mode { ownThread, inPlace };
    explicit sessionThread(mode how = mode::ownThread);
    // Does every block handed over, tells their outcomes and ends the thread.
    ~sessionThread();
    sessionThread(const sessionThread&) = delete;
    sessionThread& operator=(const sessionThread&) = delete;

    uint64_t hand(target& owner, uint32_t slot) override;
    uint64_t handNow(target& owner, uint32_t slot) override;
    void waitFor(uint64_t ticket) override;
    // Waits until every block handed over is done and tells their outcomes.
    void settle();
    void beforeMessage() override { settle(); }

    bool threaded() const override { return thread_.joinable(); }

private:
    // Blocks that wait before the thread is woken for them.
    static constexpr size_t wakeAt = 3;

    struct job {
        target* owner;
        uint32_t slot;
    };

    uint64_t handOver(target& owner, uint32_t slot, bool now);
    void run();
    // Keeps the thread off the converting thread's processor (see the source).
    void keepApart();
    // Tells the outcomes of every block done so far, in order.
    void retireDone();

    std::mutex mutex_;
    std::condition_variable work_;  // the thread waits here for blocks
    std::condition_variable done_;  // the converter waits here for done blocks
    std::deque<job> queue_;         // handed over and not yet done; guarded
    uint64_t doneCount_ = 0;        // guarded
    uint64_t wantedCount_ = 0;      // done blocks the converter waits for; guarded
    bool sleeping_ = false;         // guarded
    bool stopping_ = false;         // guarded

    // The converting thread's own.
    std::deque<job> unretired_;  // handed over and not yet told, in order
    uint64_t handedCount_ = 0;
    uint64_t retiredCount_ = 0;
    bool retiring_ = false;
    int apartFrom_ = -1;  // the processor the thread was last kept off

    std::thread thread_;  // last: starts once everything above is in place
};

// One session's conversion objects. The thread comes first and goes last: the writer's
// files, the read-ahead and each input file's clock fits hand it work, and all of them
// end before it does. For as long as the pipeline lives, the thread is the barrier
// before every message line.
class sessionPipeline {
public:
    // Output files that fail are counted in run.
    explicit sessionPipeline(runStatus& run, sessionThread::mode how = sessionThread::mode::ownThread);
    sessionPipeline(const sessionPipeline&) = delete;
    sessionPipeline& operator=(const sessionPipeline&) = delete;

    snsr_packetWriter_class& writer() { return writer_; }
    // The thread, for work of the session's passes.
    handOff& beside() { return thread_; }

    // Before an input file's first packet: the file (of expectedSize bytes, -1 when
    // not known) is read ahead on the thread where that pays, and the decoder's board
    // clocks are fitted there.
    void beginFile(packetReader& reader, sensorDecoder& decoder, int64_t expectedSize);
    // Closes the session's files and waits for the last blocks; false when
    // binaryData.meta did not reach the disk whole (see snsr_packetWriter_class::finish).
    [[nodiscard]] bool finishFiles();

private:
    // The thread is the barrier from the moment it exists until everything that hands
    // it work has ended and its last outcomes are told.
    class barrierWhile {
    public:
        explicit barrierWhile(sessionThread& thread) : thread_(&thread) { setMessageBarrier(thread_); }
        ~barrierWhile() {
            thread_->settle();
            setMessageBarrier(nullptr);
        }
        barrierWhile(const barrierWhile&) = delete;
        barrierWhile& operator=(const barrierWhile&) = delete;

    private:
        sessionThread* thread_;
    };

    sessionThread thread_;
    barrierWhile barrier_{thread_};
    snsr_packetWriter_class writer_;
    readAhead ahead_;
};

// Work on items 0 .. count - 1 beside each other by up to `workers` threads, each
// item's lines kept in a temporary file of their own until the items before it are
// through, so that the lines come as from one item after the other. A thread stays at
// most a few items ahead of the one being taken: only those few are kept. The work is
// called with the item and a function to call where the item's announcement goes in
// its lines.
template <typename result>
class sideBySide {
public:
    using work = std::function<result(size_t item, const std::function<void()>& announceHere)>;

    sideBySide(size_t count, size_t workers, work doWork)
        : work_(std::move(doWork)), count_(count), kept_(count), window_(2 * workers) {
        for (size_t k = 0; k < workers; ++k) {
            try {
                threads_.emplace_back([this] { runWorker(); });
            } catch (const std::system_error&) {
                break;  // the items no thread takes are done in their turn
            }
        }
    }
    ~sideBySide() {
        {
            std::lock_guard lock(mutex_);
            next_ = count_;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        for (const keptItem& item : kept_) {
            if (item.lines != nullptr) std::fclose(item.lines);
        }
    }
    sideBySide(const sideBySide&) = delete;
    sideBySide& operator=(const sideBySide&) = delete;

    // Item i's result, the items before it taken already; its lines are printed with
    // announce() in its place.
    result take(size_t i, const std::function<void()>& announce) {
        keptItem item;
        bool doHere = false;
        {
            std::unique_lock lock(mutex_);
            taking_ = i;
            changed_.notify_all();
            changed_.wait(lock, [&] { return kept_[i].finished || next_ == i; });
            if (kept_[i].finished) {
                item = std::move(kept_[i]);
                kept_[i] = keptItem{};
            } else {
                next_ = i + 1;  // no thread has taken it: done here
                doHere = true;
            }
        }
        changed_.notify_all();
        if (doHere || item.lines == nullptr) return work_(i, announce);
        printCaptured(item.lines, 0, item.split);
        announce();
        printCaptured(item.lines, item.split, item.end);
        std::fclose(item.lines);
        return std::move(item.value);
    }

private:
    struct keptItem {
        bool finished = false;       // a thread is through with the item
        std::FILE* lines = nullptr;  // its lines; null when none could be kept
        long split = 0;              // where the announcement goes
        long end = 0;
        result value{};
    };

    void runWorker() {
        for (;;) {
            size_t i = 0;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return next_ >= count_ || next_ < taking_ + window_; });
                if (next_ >= count_) return;
                i = next_++;
            }
            keptItem item;
            item.finished = true;
            item.lines = std::tmpfile();
            if (item.lines != nullptr) {
                const messageCapture capture(item.lines);
                item.value = work_(i, [&] { item.split = std::ftell(item.lines); });
                std::fflush(item.lines);
                item.end = std::ftell(item.lines);
            }
            {
                std::lock_guard lock(mutex_);
                kept_[i] = std::move(item);
            }
            changed_.notify_all();
        }
    }

    work work_;
    size_t count_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<keptItem> kept_;  // guarded
    size_t next_ = 0;             // the next item a thread may take; guarded
    size_t taking_ = 0;           // the item being taken; guarded
    size_t window_;
    std::vector<std::thread> threads_;
};

// The session whose output is being built, for the closing line of a run that ends
// before the session is finished. The converting thread sets it; a request to end the
// run reads it from a thread of its own.
class unfinishedSession {
public:
    struct where {
        int session = 0;
        std::string directory;  // empty while no session is being built
    };
    static void set(int session, const std::string& directory);
    static void clear() { set(0, ""); }
    static where current();
};

}  // namespace sensconv
