// The camera stream's packing rules are what lets the ground truth name every image
// and predict every good and bad image; check them over many random streams.

#include "snsrsim/cameraStream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "common/littleEndian.h"
#include "snsrsim/cameraPicture.h"
#include "snsrsim/randomSource.h"
#include "snsrsim/wearerModel.h"

namespace snsrsim {
namespace {

// An image of the given size: start marker, filler without markers, check segment.
std::vector<uint8_t> fakeImage(size_t size, randomSource& random, bool spoil) {
    std::vector<uint8_t> image = {0xFF, 0xD8};
    while (image.size() < size - cameraPicture::checkSegmentSize) {
        image.push_back(static_cast<uint8_t>(random.integer(0, 0xFE)));
    }
    cameraPicture::appendCheckSegment(image, spoil);
    return image;
}

TEST(cameraStreamTest, PacketsFollowTheRecordersRules) {
    randomSource random(42);
    for (int round = 0; round < 30; ++round) {
        cameraStream stream(static_cast<uint64_t>(round), 40000);
        std::vector<std::vector<uint8_t>> images;
        std::vector<uint8_t> whole;
        std::vector<size_t> starts;
        std::vector<bool> spoiled;
        const int count = static_cast<int>(random.integer(1, 8));
        for (int i = 0; i < count; ++i) {
            spoiled.push_back(random.chance(0.3));
            images.push_back(fakeImage(static_cast<size_t>(random.integer(100, 9000)), random, spoiled.back()));
            starts.push_back(whole.size());
            whole.insert(whole.end(), images.back().begin(), images.back().end());
            // Captures one to three seconds apart; packets taken whenever they are ready.
            stream.addImage(images.back(), i * 2'000'000, spoiled.back());
        }

        std::vector<uint8_t> sent;
        cameraPacket packet;
        int64_t lastReady = 0;
        while (stream.hasPendingBytes()) {
            const std::optional<int64_t> ready = stream.nextReady();
            if (ready) {
                EXPECT_GE(*ready, lastReady);
                lastReady = *ready;
            }
            ASSERT_TRUE(stream.takePacket(packet, !ready.has_value()));
            const size_t begin = sent.size();
            const size_t end = begin + packet.bytes.size();
            sent.insert(sent.end(), packet.bytes.begin(), packet.bytes.end());
            EXPECT_LE(packet.bytes.size(), 4096u);
            EXPECT_GE(packet.bytes.size(), 1u);
            for (size_t j = 0; j < images.size(); ++j) {
                const size_t start = starts[j];
                const size_t check = start + images[j].size() - cameraPicture::checkSegmentSize;
                const bool startsHere = start >= begin && start < end;
                EXPECT_EQ(startsHere, packet.startsImage == static_cast<int32_t>(j));
                if (startsHere) {
                    EXPECT_GE(end - start, 64u) << "image start with too few bytes";
                    EXPECT_LE(end, check) << "the start packet reaches the image's check segment";
                }
                const bool checkHere = check >= begin && check < end;
                EXPECT_EQ(checkHere, packet.checksImage == static_cast<int32_t>(j));
                if (checkHere) {
                    EXPECT_GE(end, check + cameraPicture::checkSegmentSize) << "check segment split";
                    if (spoiled[j]) {
                        EXPECT_EQ(end, check + cameraPicture::checkSegmentSize) << "a failed check drops the rest";
                    }
                }
            }
        }
        EXPECT_TRUE(sent == whole);
    }
}

TEST(cameraStreamTest, PicturesAreCleanJpegsWithTheirCheckSegment) {
    wearerModel wearer(5);
    for (bool spoil : {false, true}) {
        std::vector<uint8_t> picture = cameraPicture::render(160, 120, 1741944600000, 1, wearer.at(30.0));
        const size_t jpegSize = picture.size();
        ASSERT_GT(jpegSize, 1000u);
        EXPECT_EQ(picture[0], 0xFF);
        EXPECT_EQ(picture[1], 0xD8);
        EXPECT_EQ(picture[jpegSize - 2], 0xFF);
        EXPECT_EQ(picture[jpegSize - 1], 0xD9);
        cameraPicture::appendCheckSegment(picture, spoil);
        ASSERT_EQ(picture.size(), jpegSize + cameraPicture::checkSegmentSize);
        EXPECT_EQ(picture[jpegSize], 0xFF);
        EXPECT_EQ(picture[jpegSize + 1], 0xEF);
        // Only the image start and the check marker are markers the extractor looks for.
        for (size_t i = 1; i + 1 < picture.size(); ++i) {
            if (i == jpegSize) continue;
            EXPECT_FALSE(picture[i] == 0xFF && (picture[i + 1] == 0xD8 || picture[i + 1] == 0xEF)) << i;
        }
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), picture.data(), static_cast<uInt>(jpegSize + 4));
        EXPECT_EQ(crc == sensconv::readLE32(picture.data() + jpegSize + 4), !spoil);
    }
}

}  // namespace
}  // namespace snsrsim
