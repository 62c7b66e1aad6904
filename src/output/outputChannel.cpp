#include "output/outputChannel.h"

#include <cstdio>

#include "decode/sampleChannel.h"

namespace sensconv {

outputChannel::outputChannel(const std::string& directory, sampleChannel& source)
    : bound_(&source), longName_(source.longName) {
    // Rates come in tenths of a hertz; the description gives hertz.
    file_.open(directory, source.shortName, source.rate / 10.0, -1, dataTypeFloat32);
}

void outputChannel::writeBatch() {
    if (bound_ == nullptr) return;
    takeFilledPositions();
    const int32_t count = bound_->batchCount;
    if (count <= 0) return;
    const int32_t written = file_.writeSamples(bound_->batch, count);
    if (written != count) {
        std::fprintf(stderr,
                     "# snsr_packetWriter: ERROR, attempted to write %d bytes but only %d were written for sensor %s\n",
                     count, written, longName_.c_str());
    }
    // The count follows the samples the decoder delivered, so later positions stay
    // aligned with the decoder's even time spacing.
    file_.samplesWritten += count;
    bound_->batchCount = 0;
}

void outputChannel::takeFilledPositions() {
    // Taken packet by packet, so the decoder's list never holds more than one packet's
    // gaps, however damaged the file.
    if (bound_->missingList.empty()) return;
    for (const positionRuns::run& run : bound_->missingList.runs()) file_.appendFilled(baseIndex_ + run.first, run.count);
    bound_->missingList.clear();
}

void outputChannel::mergeFileEnd() {
    if (bound_ == nullptr) return;
    const double first = bound_->firstTimestamp;
    const double last = bound_->lastTimestamp;
    if (file_.firstTimestamp < 0 && first >= 0) file_.firstTimestamp = first;
    // Every input file's clock starts at 0, so the session's last time is the sum of
    // the files' last times.
    if (file_.lastTimestamp < 0 && last >= 0) {
        file_.lastTimestamp = last;
    } else if (last > 0) {
        file_.lastTimestamp += last;
    }
    takeFilledPositions();
    file_.flush();
    baseIndex_ = file_.samplesWritten;
    bound_ = nullptr;
}

}  // namespace sensconv
