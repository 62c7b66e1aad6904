#include "output/sessionTimeline.h"

#include "decode/fileReport.h"

namespace sensconv {

namespace {

boardTimeline boardOf(const boardReport& board, uint64_t fileStartTime) {
    boardTimeline timeline;
    const clockFitReport& fit = board.fit;
    const int32_t intmax = board.intmax;
    timeline.intmax = intmax;
    timeline.clock = {fit.packets,
                      intmax == 0 ? 0.0 : static_cast<double>(fit.spanTicks) / (intmax / 10.0),
                      fit.driftPpm,
                      fit.driftRangePpm,
                      fit.residualMs,
                      fit.intervalMs};
    if (!fit.zeroMs) return timeline;
    timeline.valid = true;
    timeline.zeroUnixSeconds = (static_cast<double>(fileStartTime) + *fit.zeroMs) / 1000.0;
    timeline.sessionBaseTicks = board.sessionBase;
    return timeline;
}

}  // namespace

double boardTimeline::sessionStartSeconds() const {
    return intmax == 0 ? 0.0 : static_cast<double>(sessionBaseTicks) / (intmax / 10.0);
}

fileTimeline timelineOf(const fileReport& report) {
    fileTimeline file;
    file.fileStartTime = report.fileStartTime;
    if (report.qor2.active) file.qor2 = boardOf(report.qor2, report.fileStartTime);
    if (report.jux.active) file.jux = boardOf(report.jux, report.fileStartTime);
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
