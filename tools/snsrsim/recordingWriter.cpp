#include "snsrsim/recordingWriter.h"

namespace snsrsim {

namespace {
constexpr size_t flushSize = 1 << 20;
}

recordingWriter::recordingWriter(const std::string& path, const sensconv::containerBuilder& header) : file_(path) {
    pending_.reserve(flushSize + 8192);
    const std::vector<uint8_t> bytes = header.headerBytes();
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void recordingWriter::flushIfFull() {
    if (pending_.size() < flushSize) return;
    file_.write(pending_);
    pending_.clear();
}

void recordingWriter::frame(uint16_t id, uint32_t timestamp, std::span<const uint8_t> payload) {
    sensconv::containerBuilder::appendFrame(pending_, id, timestamp, payload);
    ++frames_;
    flushIfFull();
}

void recordingWriter::rawBytes(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    flushIfFull();
}

void recordingWriter::close() {
    file_.write(pending_);
    pending_.clear();
    file_.close();
}

}  // namespace snsrsim
