#include "snsrsim/cameraStream.h"

#include <algorithm>

#include "snsrsim/cameraPicture.h"

namespace snsrsim {

namespace {
constexpr int64_t minPacket = 600;
constexpr int64_t maxPacket = 1500;
// The image extractor opens an image's file once it holds 43 bytes of it; the
// recorder sends more than that in the image's first packet.
constexpr int64_t minImageStart = 64;
}  // namespace

cameraStream::cameraStream(uint64_t seed, int64_t linkBytesPerSecond)
    : random_(seed), linkBytesPerSecond_(linkBytesPerSecond) {
    nextSize_ = random_.integer(minPacket, maxPacket);
}

int32_t cameraStream::addImage(const std::vector<uint8_t>& bytes, int64_t captureUs, bool spoiled) {
    imageSpan span;
    span.start = totalBytes_;
    span.end = totalBytes_ + static_cast<int64_t>(bytes.size());
    span.check = span.end - static_cast<int64_t>(cameraPicture::checkSegmentSize);
    span.spoiled = spoiled;
    span.arrivalStartUs = captureUs;
    if (!images_.empty()) {
        const imageSpan& last = images_.back();
        const int64_t lastArrivalEnd = last.arrivalStartUs + ((last.end - last.start) * 1000000) / linkBytesPerSecond_;
        span.arrivalStartUs = std::max(captureUs, lastArrivalEnd);
    }
    images_.push_back(span);
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    totalBytes_ = span.end;
    return static_cast<int32_t>(images_.size() - 1);
}

size_t cameraStream::imageAt(int64_t offset) const {
    const auto found = std::upper_bound(images_.begin(), images_.end(), offset,
                                        [](int64_t value, const imageSpan& span) { return value < span.end; });
    return static_cast<size_t>(found - images_.begin());
}

int64_t cameraStream::arrivalOf(int64_t offset) const {
    const imageSpan& span = images_[imageAt(offset)];
    return span.arrivalStartUs + ((offset - span.start + 1) * 1000000 + linkBytesPerSecond_ - 1) / linkBytesPerSecond_;
}

int64_t cameraStream::cutFor(int64_t cut) const {
    for (size_t j = imageAt(position_); j < images_.size() && images_[j].start < cut; ++j) {
        const imageSpan& span = images_[j];
        if (span.start >= position_) {
            cut = std::max(cut, span.start + minImageStart);
            cut = std::min(cut, span.check);
        }
        if (span.check >= position_ && span.check < cut) {
            cut = std::max(cut, span.check + static_cast<int64_t>(cameraPicture::checkSegmentSize));
            if (span.spoiled) cut = span.end;
        }
    }
    return cut;
}

std::optional<int64_t> cameraStream::nextReady() const {
    if (position_ >= totalBytes_) return std::nullopt;
    const int64_t cut = cutFor(position_ + nextSize_);
    if (cut > totalBytes_) return std::nullopt;
    return arrivalOf(cut - 1);
}

bool cameraStream::takePacket(cameraPacket& out, bool drain) {
    if (position_ >= totalBytes_) return false;
    int64_t cut = cutFor(position_ + nextSize_);
    if (cut > totalBytes_) {
        if (!drain) return false;
        cut = totalBytes_;
    }
    out.bytes.assign(pending_.begin(), pending_.begin() + (cut - position_));
    pending_.erase(pending_.begin(), pending_.begin() + (cut - position_));
    out.startsImage = -1;
    out.checksImage = -1;
    for (size_t j = imageAt(position_); j < images_.size() && images_[j].start < cut; ++j) {
        if (images_[j].start >= position_) out.startsImage = static_cast<int32_t>(j);
        if (images_[j].check >= position_ && images_[j].check < cut) out.checksImage = static_cast<int32_t>(j);
    }
    position_ = cut;
    nextSize_ = random_.integer(minPacket, maxPacket);
    return true;
}

}  // namespace snsrsim
