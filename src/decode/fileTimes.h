#pragma once
// How one input file's board clocks relate to its container clock. Every packet's
// container timestamp counts milliseconds since the header's start time; every valid
// board packet also carries the board's own time. A least-squares line through the
// (board ticks, container milliseconds) pairs of a board gives the container time of
// the board's tick 0 in this file, which is the instant of the file's first sample of
// each of the board's channels, and the rate at which the board's clock runs against
// the container's.
//
// A stamp is the whole milliseconds elapsed, so each one bounds its packet's instant
// from both sides: stamp <= instant < stamp + 1. Where the board's ticks keep step with
// the container's milliseconds, or drift through them only once or twice in a file,
// the stamps' fractions do not average out, and a least-squares line is off by up to
// half a millisecond at the ends. So the line is taken from those bounds: of the lines
// that every stamp allows, the one in the middle of the allowed slopes, and at that
// slope the middle of the allowed offsets. The points' upper and lower convex hulls
// hold every bound that matters. Stamps that contradict each other (a recorder that
// stamps late now and then) allow no line; least squares, half a millisecond up,
// serves then.
// Collecting costs a few operations per packet; the hulls are bounded. During a
// conversion the pairs go, a block at a time, to the session's thread beside the
// conversion and are fitted there; the fit answers once settle() has fitted the rest.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/handOff.h"

namespace sensconv {

class boardClockFit final : private handOff::target {
public:
    boardClockFit() = default;
    // Waits for the blocks still on their way.
    ~boardClockFit();
    boardClockFit(const boardClockFit&) = delete;
    boardClockFit& operator=(const boardClockFit&) = delete;

    // From now on pairs are fitted on thread's side, in blocks, in the order they came
    // (where thread has a thread of its own).
    void fitOn(handOff& thread) {
        if (thread.threaded()) thread_ = &thread;
    }

    // One valid board packet: its board time in ticks since the file's first valid
    // packet of the board, and its container time in milliseconds since the header's
    // start time (32-bit wraps already undone). A packet that repeats the previous
    // board time (a packet without a time pair of its own) tells nothing new.
    void add(int64_t ticks, int64_t containerMs);
    // Fits every pair given so far, waiting for the blocks on their way. A fit that
    // hands its pairs to a thread answers the questions below only after this.
    void settle();

    int64_t packets() const { return n_; }
    // Board time covered by the packets, in ticks.
    int64_t spanTicks() const { return n_ == 0 ? 0 : lastTicks_ - firstTicks_; }

    // Container milliseconds (since the header's start time) of the instant of board
    // tick 0. Nothing without packets.
    std::optional<double> zeroMs(int32_t intmax) const;

    // How much faster the board clock runs than the container clock, in parts per
    // million, from the line's slope: positive when the board counts more ticks per
    // container second than intmax / 10. Nothing with fewer than two distinct board
    // times or no intmax.
    std::optional<double> driftPpm(int32_t intmax) const;
    // The lowest and highest drift every stamp allows; nothing where they contradict
    // each other. Short files and boards in step with the container leave it wide.
    std::optional<std::pair<double, double>> driftRangePpm(int32_t intmax) const;

    // Root mean square distance of the container stamps from the line, milliseconds.
    std::optional<double> residualMs() const;

    // Width (milliseconds) of the interval of offsets at the chosen slope that every
    // stamp allows, whose middle zeroMs is; nothing without packets or when the stamps
    // contradict each other (zeroMs is then the least-squares line's).
    std::optional<double> intervalMs(int32_t intmax) const;

    // Most vertices a hull keeps; beyond that the mean line is used.
    static constexpr size_t maxHull = 1024;

private:
    struct point {
        double x;  // ticks after the first point
        double y;  // milliseconds after the first point
    };
    struct fitLine {
        double perTick;  // container milliseconds per tick
        double zeroMs;   // at tick 0, since the header's start time
        std::optional<double> intervalMs;
        std::optional<std::pair<double, double>> slopes;  // every slope the stamps allow
    };
    std::optional<fitLine> line(int32_t intmax) const;
    // Least-squares container milliseconds per tick; nothing without a slope.
    std::optional<double> slope() const;
    template <bool upper>
    static void extend(std::vector<point>& hull, point p);

    // Takes one pair into the hulls and the sums.
    void fit(int64_t ticks, int64_t containerMs);
    // Whether every pair given so far is fitted.
    bool settled() const { return pending_.empty() && handed_.idle(); }
    void writeHandedBlock(uint32_t slot) override;
    void retireHandedBlock(uint32_t slot) override;

    int64_t n_ = 0;
    int64_t firstMs_ = 0;
    int64_t firstTicks_ = 0;
    int64_t lastTicks_ = 0;

    // The fit itself: filled in place, or on the other thread a block at a time.
    struct pair {
        int64_t ticks;
        int64_t containerMs;
    };
    static constexpr size_t pairsPerBlock = 8192;
    handOff* thread_ = nullptr;
    std::vector<pair> pending_;  // not handed over yet
    struct noFacts {};
    handedBlocks<pair, noFacts> handed_;
    struct fitState {
        int64_t pairs = 0;
        std::vector<point> upper;
        std::vector<point> lower;
        bool hullsWhole = true;
        // Running means and centred sums (Welford), stable for long files.
        double meanX = 0.0;
        double meanY = 0.0;
        double sxx = 0.0;
        double sxy = 0.0;
        double syy = 0.0;
    };
    fitState fit_;
};

// The container-time facts of one input file, gathered while it is decoded.
struct fileTimes {
    static constexpr uint32_t none = 0xFFFFFFFFu;

    // Every delivered packet (type INVALID excluded): keeps the file's first and last
    // container timestamp and undoes wraps of the 32-bit millisecond counter.
    void packet(uint32_t timestamp) {
        if (packets == 0) {
            first = timestamp;
        } else if (timestamp < lastRaw) {
            wraps += int64_t{1} << 32;
        }
        lastRaw = timestamp;
        ++packets;
    }
    // Container milliseconds of the latest packet, wraps undone.
    int64_t now() const { return wraps + lastRaw; }
    // Both boards' pairs are fitted on thread's side.
    void fitOn(handOff& thread) {
        qor2.fitOn(thread);
        jux.fitOn(thread);
    }
    // Both fits answer from here on (see boardClockFit::settle).
    void settle() {
        qor2.settle();
        jux.settle();
    }

    int64_t packets = 0;
    uint32_t first = none;
    uint32_t lastRaw = 0;
    int64_t wraps = 0;
    boardClockFit qor2;
    boardClockFit jux;
};

}  // namespace sensconv
