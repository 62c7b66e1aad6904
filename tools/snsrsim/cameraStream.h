#pragma once
// The camera's byte stream as the recorder packs it: images (each followed by its
// check segment) arrive back to back over the camera link, and the recorder sends a
// packet whenever it has gathered about a kilobyte, so one packet may hold the end of
// one image and the start of the next.
//
// The recorder never splits an image start or a check segment across packets, sends
// at least 64 bytes of an image in the packet that starts it, and ends that packet
// before the image's check segment. A packet with a check segment that fails ends
// right after it.

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "snsrsim/randomSource.h"

namespace snsrsim {

struct cameraPacket {
    std::vector<uint8_t> bytes;
    int32_t startsImage = -1;  // index of the image whose start marker this packet holds
    int32_t checksImage = -1;  // index of the image whose check segment this packet holds
};

class cameraStream {
public:
    cameraStream(uint64_t seed, int64_t linkBytesPerSecond);

    // An image (with its check segment) captured at captureUs (microseconds of the
    // session); spoiled when its check segment is wrong on purpose. Returns its index.
    int32_t addImage(const std::vector<uint8_t>& bytes, int64_t captureUs, bool spoiled);

    // When the next packet is complete (microseconds of the session), or nothing while
    // it still needs bytes of an image not yet captured.
    std::optional<int64_t> nextReady() const;

    // Cuts the next packet. With drain, a packet may end at the last captured byte
    // (the recording stops and the recorder sends what it holds). False when there is
    // nothing (ready) to send.
    bool takePacket(cameraPacket& out, bool drain);

    bool hasPendingBytes() const { return position_ < totalBytes_; }
    bool spoiled(int32_t image) const { return images_[static_cast<size_t>(image)].spoiled; }

private:
    struct imageSpan {
        int64_t start = 0;  // stream offset of the start marker
        int64_t check = 0;  // stream offset of the check segment
        int64_t end = 0;    // one past the check segment
        int64_t arrivalStartUs = 0;
        bool spoiled = false;
    };

    int64_t cutFor(int64_t target) const;
    int64_t arrivalOf(int64_t offset) const;
    size_t imageAt(int64_t offset) const;

    randomSource random_;
    int64_t linkBytesPerSecond_;
    std::vector<imageSpan> images_;
    std::deque<uint8_t> pending_;  // bytes from position_ on
    int64_t position_ = 0;         // stream offset of the next byte to send
    int64_t totalBytes_ = 0;
    int64_t nextSize_ = 0;
};

}  // namespace snsrsim
