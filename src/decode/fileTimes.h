#pragma once
// How one input file's board clocks relate to its container clock. Every packet's
// container timestamp counts milliseconds since the header's start time; every valid
// board packet also carries the board's own time. A least-squares line through the
// (board ticks, container milliseconds) pairs of a board gives the container time of
// the board's tick 0 in this file, which is the instant of the file's first sample of
// each of the board's channels, and the rate at which the board's clock runs against
// the container's. Collecting costs a few additions per packet and no memory.

#include <cstdint>
#include <optional>

namespace sensconv {

class boardClockFit {
public:
    // One valid board packet: its board time in ticks since the file's first valid
    // packet of the board, and its container time in milliseconds since the header's
    // start time (32-bit wraps already undone). A packet that repeats the previous
    // board time (a packet without a time pair of its own) tells nothing new.
    void add(int64_t ticks, int64_t containerMs);

    int64_t packets() const { return n_; }
    // Board time covered by the packets, in ticks.
    int64_t spanTicks() const { return n_ == 0 ? 0 : lastTicks_ - firstTicks_; }

    // Container milliseconds (since the header's start time) at board tick 0. A
    // millisecond counter read at an instant shows the whole milliseconds elapsed, so
    // the instant lies on average half a millisecond after its stamp; the result
    // includes that half. Nothing without packets.
    std::optional<double> zeroMs(int32_t intmax) const;

    // How much faster the board clock runs than the container clock, in parts per
    // million: positive when the board counts more ticks per container second than
    // intmax / 10. Nothing with fewer than two distinct board times or no intmax.
    std::optional<double> driftPpm(int32_t intmax) const;

    // Root mean square distance of the container stamps from the line, milliseconds.
    std::optional<double> residualMs() const;

private:
    // Container milliseconds per tick, from the fit; nothing without a slope.
    std::optional<double> slope() const;

    int64_t n_ = 0;
    int64_t firstTicks_ = 0;
    int64_t lastTicks_ = 0;
    // Running means and centred sums (Welford), stable for long files.
    double meanX_ = 0.0;
    double meanY_ = 0.0;
    double sxx_ = 0.0;
    double sxy_ = 0.0;
    double syy_ = 0.0;
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

    int64_t packets = 0;
    uint32_t first = none;
    uint32_t lastRaw = 0;
    int64_t wraps = 0;
    boardClockFit qor2;
    boardClockFit jux;
};

}  // namespace sensconv
