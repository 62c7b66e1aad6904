#include "decode/decoderView.h"

#include "decode/sensorDecoder.h"

namespace sensconv {

namespace {
const std::string noSourceFile;
}

const std::string& decoderView::sourceFile() const {
    return decoder_->header() != nullptr ? decoder_->header()->file_name : noSourceFile;
}

bool decoderView::hasQor2() const {
    return decoder_->qor2Active();
}

bool decoderView::hasJux() const {
    return decoder_->juxActive();
}

bool decoderView::hasGps() const {
    return decoder_->gpsActive();
}

bool decoderView::hasCamera() const {
    return decoder_->cameraActive();
}

boardIdentity decoderView::qor2Identity() const {
    if (!decoder_->qor2Active() || decoder_->header() == nullptr) return {};
    const qor2Settings& s = decoder_->header()->qor2_settings;
    return {s.bdnr, s.hver, s.swma, s.swmi};
}

boardIdentity decoderView::juxIdentity() const {
    if (!decoder_->juxActive() || decoder_->header() == nullptr) return {};
    const juxSettings& s = decoder_->header()->jux_settings;
    return {s.bdnr, s.hver, s.swma, s.swmi};
}

const sampleChannel* decoderView::qor2Channel(int index) const {
    if (!decoder_->qor2Active() || index < 0 || index >= numQor2Channels) return nullptr;
    return decoder_->qor2Channels()[static_cast<size_t>(index)].get();
}

const sampleChannel* decoderView::juxChannel(int index) const {
    if (!decoder_->juxActive() || index < 0 || index >= numJuxChannels) return nullptr;
    return decoder_->juxChannels()[static_cast<size_t>(index)].get();
}

std::span<const uint8_t> decoderView::channelsWithValues() const {
    return decoder_->channelsWithValues();
}

const gpsRecordBuffer& decoderView::gpsRecord() const {
    return decoder_->gpsRecord();
}

}  // namespace sensconv
