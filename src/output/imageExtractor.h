#pragma once
// Cuts the camera's JPEG images out of the camera stream, one file per image named
// after the board time at which it began, each checked with its CRC-32.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/runStatus.h"
#include "container/packetReader.h"
#include "decode/cameraSink.h"
#include "output/outputFile.h"

namespace sensconv {

class imageExtractor final : public cameraSink {
public:
    // An image start is held in memory until at least this many bytes of it are
    // known, then its file is opened.
    static constexpr int32_t minimumHeldBytes = 43;
    static constexpr size_t startBufferSize = 327680;

    // Image files that fail are counted in run.
    explicit imageExtractor(runStatus& run);
    ~imageExtractor();  // an image still open reaches the disk (closed, not counted)
    imageExtractor(const imageExtractor&) = delete;
    imageExtractor& operator=(const imageExtractor&) = delete;

    // The images directory must be created (with parents) before the first image.
    void setCreateDirectory(const std::string& dir);
    void setImagesDir(const std::string& dir);
    void resetCounts() override;

    // One camera packet; the times are those of the main board's clock. False when
    // the packet's bytes belong to no image.
    bool addPacket(const snsrPacket& packet, int64_t sessionBase, int64_t fileTime, int32_t intmax) override;
    imageCounts counts() const override { return {goodImages, badImages}; }

    // At the end of the session: closes the image still being written, which is kept
    // although its check never arrived. True when there was one; false also when its
    // bytes did not all reach the disk (it then counts in the run's lost output).
    bool closeUncheckedImage();

    int64_t goodImages = 0;
    int64_t badImages = 0;

private:
    void openImage(int64_t sessionBase, int64_t fileTime, int32_t intmax);
    void writeImage(const uint8_t* bytes, size_t count);
    // Closes the open image; false when any of its bytes did not reach the disk.
    bool closeImage();

    outputFile file_;  // the open image, if any
    std::vector<uint8_t> startBuffer_;
    uint32_t crc_ = 0;  // of the current image's bytes taken so far, held or written
    std::string imagesDir_ = ".";
    bool mkdirPending_ = false;
    std::string mkdirDirectory_;
};

}  // namespace sensconv
