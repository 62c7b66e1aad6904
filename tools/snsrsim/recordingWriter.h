#pragma once
// Writes one container file: the header built by containerBuilder, then packet frames
// (and, for damaged recordings, stray bytes between them) as they are produced, so
// that a recording of any size is written with a small, fixed amount of memory.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "snsrsim/simFile.h"

namespace snsrsim {

class recordingWriter {
public:
    recordingWriter(const std::string& path, const sensconv::containerBuilder& header);

    void frame(uint16_t id, uint32_t timestamp, std::span<const uint8_t> payload);
    void rawBytes(std::span<const uint8_t> bytes);
    void close();

    int64_t size() const { return file_.bytesWritten() + static_cast<int64_t>(pending_.size()); }
    int32_t frames() const { return frames_; }

private:
    void flushIfFull();

    simFile file_;
    std::vector<uint8_t> pending_;
    int32_t frames_ = 0;
};

}  // namespace snsrsim
