#include "output/sessionTimeline.h"

#include "decode/fileTimes.h"
#include "decode/sensorDecoder.h"

namespace sensconv {

namespace {

boardTimeline boardOf(const boardClock& clock, const boardClockFit& fit, uint64_t fileStartTime) {
    boardTimeline timeline;
    timeline.intmax = clock.intmax;
    const int32_t intmax = clock.intmax;
    timeline.clock = {fit.packets(),
                      intmax == 0 ? 0.0 : static_cast<double>(fit.spanTicks()) / (intmax / 10.0),
                      fit.driftPpm(intmax),
                      fit.driftRangePpm(intmax),
                      fit.residualMs(),
                      fit.intervalMs(intmax)};
    const auto zero = fit.zeroMs(clock.intmax);
    if (!zero) return timeline;
    timeline.valid = true;
    timeline.zeroUnixSeconds = (static_cast<double>(fileStartTime) + *zero) / 1000.0;
    timeline.sessionBaseTicks = clock.sessionBase;
    return timeline;
}

}  // namespace

double boardTimeline::sessionStartSeconds() const {
    return intmax == 0 ? 0.0 : static_cast<double>(sessionBaseTicks) / (intmax / 10.0);
}

fileTimeline timelineOf(const sensorDecoder& decoder) {
    fileTimeline file;
    file.fileStartTime = decoder.fileStartTime;
    if (decoder.qor2Active) file.qor2 = boardOf(decoder.qor2Clock, decoder.times.qor2, decoder.fileStartTime);
    if (decoder.juxActive) file.jux = boardOf(decoder.juxClock, decoder.times.jux, decoder.fileStartTime);
    return file;
}

std::optional<double> sessionTimeline::zeroUnixSeconds(size_t file, board b) const {
    if (file >= files_.size()) return std::nullopt;
    const boardTimeline& timeline = files_[file].of(b);
    if (!timeline.valid) return std::nullopt;
    return timeline.zeroUnixSeconds;
}

std::optional<double> sessionTimeline::qor2UnixSeconds(size_t file, int64_t sessionMs) const {
    const auto zero = zeroUnixSeconds(file, board::qor2);
    if (!zero) return std::nullopt;
    return *zero + (static_cast<double>(sessionMs) / 1000.0 - files_[file].qor2.sessionStartSeconds());
}

}  // namespace sensconv
