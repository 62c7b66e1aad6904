#pragma once
// Cuts the camera's JPEG images out of the camera stream, one file per image named
// after the board time at which it began, each checked with its CRC-32.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "container/packetReader.h"

namespace sensconv {

class imageExtractor {
public:
    imageExtractor();
    ~imageExtractor();  // an image still open reaches the disk (closed, not counted)
    imageExtractor(const imageExtractor&) = delete;
    imageExtractor& operator=(const imageExtractor&) = delete;

    // The images directory must be created (with parents) before the first image.
    void setCreateDirectory(const std::string& dir);
    void setImagesDir(const std::string& dir);
    void resetCounts();

    // One camera packet; the times are those of the main board's clock.
    bool addPacket(const snsrPacket& packet, int64_t sessionBase, int64_t fileTime, int32_t intmax);

    int32_t goodImages = 0;
    int32_t badImages = 0;

private:
    // ... implementation state (file, startBuffer of 327,680 bytes, crc, paths)
    std::FILE* file_ = nullptr;
    std::vector<uint8_t> startBuffer_;
    int32_t buffered_ = 0;
    uint32_t crc_ = 0;
    std::string imagesDir_ = ".";
    std::string currentPath_;
    bool mkdirPending_ = false;
    std::string mkdirDirectory_;
};

}  // namespace sensconv
