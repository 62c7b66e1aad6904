#include "output/outputChannel.h"

#include "decode/sampleChannel.h"

namespace sensconv {

outputChannel::outputChannel(runStatus& run, const sampleChannel& source, handOff* writer)
    : bound_(&source), longName_(source.longName), file_(run, writer) {
    file_.nameSensor(longName_);
}

outcome outputChannel::open(const std::string& directory) {
    // Rates come in tenths of a hertz; the description gives hertz.
    return file_.open(directory, bound_->shortName, bound_->rate / 10.0, dataTypeFloat32);
}

void outputChannel::writeBatch() {
    if (bound_ == nullptr) return;
    takeFilledPositions();
    const int32_t count = bound_->batchCount();
    if (count <= 0) return;
    file_.writeSamples(bound_->batch(), count);
    // The count follows the samples the decoder delivered, so later positions stay
    // aligned with the decoder's even time spacing.
    file_.samplesWritten += count;
}

void outputChannel::takeFilledPositions() {
    // The decoder's list holds the current packet's filled positions only.
    for (const positionRuns::run& run : bound_->missingList().runs()) file_.appendFilled(baseIndex_ + run.first, run.count);
}

void outputChannel::mergeFileEnd() {
    if (bound_ == nullptr) return;
    const double first = bound_->firstTimestamp();
    const double last = bound_->lastTimestamp();
    if (file_.firstTimestamp < 0 && first >= 0) file_.firstTimestamp = first;
    // Every input file's clock starts at 0, so the session's last time is the sum of
    // the files' last times.
    if (file_.lastTimestamp < 0 && last >= 0) {
        file_.lastTimestamp = last;
    } else if (last > 0) {
        file_.lastTimestamp += last;
    }
    file_.flush();
    baseIndex_ = file_.samplesWritten;
    bound_ = nullptr;
}

}  // namespace sensconv
