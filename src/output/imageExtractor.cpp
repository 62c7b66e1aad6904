#include "output/imageExtractor.h"

#include <zlib.h>

#include "common/littleEndian.h"
#include "common/outputLayout.h"
#include "common/userMessages.h"
#include "decode/boardTime.h"
#include "output/outputMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = outputMessages;

// JPEG start-of-image marker, and the camera's check segment: marker, two bytes,
// then the CRC-32 of the image from its start marker up to those two bytes.
constexpr uint8_t markerPrefix = 0xFF;
constexpr uint8_t startOfImage = 0xD8;
constexpr uint8_t checkSegment = 0xEF;
constexpr int32_t checkSegmentSize = 8;
constexpr int32_t checkedPartOfSegment = 4;

uint32_t continueCrc(uint32_t crc, const uint8_t* bytes, size_t count) {
    return static_cast<uint32_t>(crc32(crc, bytes, static_cast<uInt>(count)));
}

}  // namespace

imageExtractor::imageExtractor(runStatus& run) : file_(run) {
    startBuffer_.reserve(startBufferSize);
}

imageExtractor::~imageExtractor() {
    if (file_.isOpen()) closeImage();
}

void imageExtractor::setCreateDirectory(const std::string& dir) {
    mkdirDirectory_ = dir;
    mkdirPending_ = true;
}

void imageExtractor::setImagesDir(const std::string& dir) {
    imagesDir_ = dir;
}

void imageExtractor::resetCounts() {
    goodImages = 0;
    badImages = 0;
}

void imageExtractor::writeImage(const uint8_t* bytes, size_t count) {
    file_.write(bytes, 1, count);
}

bool imageExtractor::closeUncheckedImage() {
    return file_.isOpen() && closeImage();
}

bool imageExtractor::closeImage() {
    return file_.close();
}

void imageExtractor::openImage(int64_t sessionBase, int64_t fileTime, int32_t intmax) {
    const int32_t ms = ticksToMilliseconds32(addTicks(sessionBase, fileTime), intmax);
    const std::string path = platform::withTrailingSeparator(imagesDir_) + outputLayout::imageFileName(ms);

    if (mkdirPending_) {
        mkdirPending_ = false;
        printMessage(msg::creatingImageDirectory);
        std::fflush(stderr);
        std::string reason;
        if (!platform::makeDirectories(mkdirDirectory_, reason)) {
            printMessage(msg::imageDirectoryNotCreated, mkdirDirectory_.c_str(), reason.c_str());
        }
    }

    if (!file_.create(path)) {
        // Nothing can be written: the image is dropped as if it had never started.
        printMessage(msg::imageNotCreated, path.c_str(), platform::lastErrorText().c_str());
        file_.lostWithoutFile();
        startBuffer_.clear();
        return;
    }
    writeImage(startBuffer_.data(), startBuffer_.size());
    startBuffer_.clear();
}

bool imageExtractor::addPacket(const snsrPacket& packet, int64_t sessionBase, int64_t fileTime, int32_t intmax) {
    const uint8_t* d = packet.data;
    const int32_t n = (d == nullptr || packet.length < 0) ? 0 : packet.length;

    bool scannedToEnd = true;
    for (int32_t i = 0; i < n; ++i) {
        if (i + 1 < n && d[i] == markerPrefix && d[i + 1] == startOfImage) {
            // A new image starts: the old one ends just before the marker.
            // An image still held (its start too short to open a file) has ended too.
            if (!startBuffer_.empty() && !file_.isOpen()) openImage(sessionBase, fileTime, intmax);
            if (file_.isOpen()) {
                writeImage(d, static_cast<size_t>(i));
                if (closeImage()) {
                    ++goodImages;
                } else {
                    ++badImages;
                }
            }
            startBuffer_.assign(d + i, d + n);
            crc_ = continueCrc(0, d + i, static_cast<size_t>(n - i));
            scannedToEnd = false;
            break;
        }
        if (i + checkSegmentSize <= n && d[i] == markerPrefix && d[i + 1] == checkSegment) {
            const uint32_t computed = continueCrc(crc_, d, static_cast<size_t>(i + checkedPartOfSegment));
            if (computed == readLE32(d + i + checkedPartOfSegment)) continue;
            printMessage(msg::imageChecksumError);
            if (file_.isOpen()) {
                (void)closeImage();
                platform::removeFile(file_.path());
                ++badImages;
            } else if (!startBuffer_.empty()) {
                // An image too short to have been opened yet is dropped the same way.
                startBuffer_.clear();
                ++badImages;
            }
            // The camera starts its next image right behind the check, often in the
            // same packet: the rest of the packet is searched for that start.
            scannedToEnd = false;
            for (int32_t j = i + checkSegmentSize; j + 1 < n; ++j) {
                if (d[j] == markerPrefix && d[j + 1] == startOfImage) {
                    startBuffer_.assign(d + j, d + n);
                    crc_ = continueCrc(0, d + j, static_cast<size_t>(n - j));
                    break;
                }
            }
            break;
        }
    }

    if (startBuffer_.empty()) {
        if (!file_.isOpen()) {
            printMessage(msg::noImageOpen);
            return false;
        }
        writeImage(d, static_cast<size_t>(n));
        crc_ = continueCrc(crc_, d, static_cast<size_t>(n));
        return true;
    }
    if (scannedToEnd) {
        startBuffer_.insert(startBuffer_.end(), d, d + n);
        crc_ = continueCrc(crc_, d, static_cast<size_t>(n));
    }
    if (startBuffer_.size() < static_cast<size_t>(minimumHeldBytes)) return true;
    openImage(sessionBase, fileTime, intmax);
    return true;
}

}  // namespace sensconv
