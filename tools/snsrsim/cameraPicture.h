#pragma once
// One camera picture as a JPEG file: the scene in front of the wearer (sky and
// ground, brighter outdoors, a landmark that moves as the wearer turns) with the
// capture date and time written across it, followed by the camera's check segment.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "snsrsim/wearerModel.h"

namespace snsrsim {

class cameraPicture {
public:
    // Length of the check segment: 0xFF 0xEF, two bytes, CRC-32 little-endian.
    static constexpr size_t checkSegmentSize = 8;

    // The JPEG bytes of a picture taken at utcMs (milliseconds since 1970).
    static std::vector<uint8_t> render(int32_t width, int32_t height, int64_t utcMs, int32_t number,
                                       const wearerState& state);

    // Appends the check segment for jpeg (the image as it stands) to jpeg. With
    // spoil, the CRC is made wrong on purpose. No byte of the segment after its
    // marker is 0xFF, so the segment cannot be mistaken for the start of an image.
    static void appendCheckSegment(std::vector<uint8_t>& jpeg, bool spoil);
};

}  // namespace snsrsim
