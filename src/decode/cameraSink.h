#pragma once
// Where the decoder hands the camera stream: each camera packet with the main board's
// clock. The decode layer writes no files; the session's image extractor, an output
// piece, cuts the images out and writes them.

#include <cstdint>

#include "container/packetReader.h"

namespace sensconv {

// Images of the current input file: complete with a matching check, or dropped.
struct imageCounts {
    int64_t good = 0;
    int64_t bad = 0;
};

class cameraSink {
public:
    // One camera packet; the times are those of the main board's clock. False when
    // the packet's bytes belong to no image.
    virtual bool addPacket(const snsrPacket& packet, int64_t sessionBase, int64_t fileTime, int32_t intmax) = 0;
    // The counts start again with each input file.
    virtual void resetCounts() = 0;
    virtual imageCounts counts() const = 0;

protected:
    ~cameraSink() = default;
};

}  // namespace sensconv
