#include "output/imageExtractor.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/runStatus.h"
#include "common/testFiles.h"
#include "decode/boardPacketBuilder.h"
#include "decode/sensorDecoder.h"
#include "decode/decodeTestSupport.h"

namespace sensconv {
namespace {

namespace fs = std::filesystem;
using namespace sensconv::testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

using bytes = std::vector<uint8_t>;

// A JPEG-like image: start marker, body, then the camera's check segment with the
// CRC-32 of everything from the start marker to the two bytes after 0xFF 0xEF.
bytes makeImage(size_t bodySize, uint8_t seed, bool correctCrc = true) {
    bytes image = {0xFF, 0xD8};
    for (size_t i = 0; i < bodySize; ++i) image.push_back(static_cast<uint8_t>((seed + i * 13) % 0xF0));
    image.insert(image.end(), {0xFF, 0xEF, 0x00, 0x04});
    uint32_t crc = static_cast<uint32_t>(crc32(0, image.data(), static_cast<uInt>(image.size())));
    if (!correctCrc) crc ^= 1;
    for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return image;
}

bytes slice(const bytes& b, size_t from, size_t to) {
    return bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

bytes concat(const bytes& a, const bytes& b) {
    bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

class imageExtractorTest : public ::testing::Test {
protected:
    // One camera packet at a board time of ms milliseconds (intmax 1000: 100 ticks per second).
    bool add(imageExtractor& extractor, const bytes& data, int64_t ms) {
        return extractor.addPacket(packetOf(streamCAMERA, data), 0, ms / 10, 1000);
    }
    fs::path image(const std::string& name) const { return dir / name; }

    testing_support::scratchDirectory scratch;
    const fs::path dir{scratch.path()};
    runStatus run;
};

TEST_F(imageExtractorTest, ImageEndsWhereTheNextOneStarts) {
    const bytes first = makeImage(100, 1);
    const bytes second = makeImage(60, 2);
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());

    // The first image spans two packets; the second packet also holds its check
    // segment and the start of the next image.
    EXPECT_TRUE(add(extractor, slice(first, 0, 50), 1000));
    EXPECT_TRUE(add(extractor, concat(slice(first, 50, first.size()), slice(second, 0, 45)), 2000));
    EXPECT_EQ(extractor.goodImages, 1);
    EXPECT_EQ(readFile(image("00000001000.jpg")), first);
    EXPECT_TRUE(fs::exists(image("00000002000.jpg")));  // 45 bytes held: opened at once

    EXPECT_TRUE(add(extractor, slice(second, 45, second.size()), 3000));
    EXPECT_TRUE(add(extractor, {0xFF, 0xD8, 1, 2}, 4000));  // held (4 bytes): no file yet
    EXPECT_EQ(extractor.goodImages, 2);
    EXPECT_EQ(extractor.badImages, 0);
    EXPECT_EQ(readFile(image("00000002000.jpg")), second);
    EXPECT_FALSE(fs::exists(image("00000004000.jpg")));
}

TEST_F(imageExtractorTest, FailedCheckDeletesTheImage) {
    const bytes broken = makeImage(80, 3, false);
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    ASSERT_TRUE(add(extractor, slice(broken, 0, 50), 0));
    ASSERT_TRUE(fs::exists(image("00000000000.jpg")));
    CaptureStderr();
    EXPECT_FALSE(add(extractor, slice(broken, 50, broken.size()), 10));
    EXPECT_FALSE(add(extractor, {1, 2, 3}, 20));
    EXPECT_EQ(GetCapturedStderr(),
              "# WARNING: JPEG CRC error. Dropping image.\n"
              "# WARNING: jpegDumpFile == null!\n"
              "# WARNING: jpegDumpFile == null!\n");
    EXPECT_FALSE(fs::exists(image("00000000000.jpg")));
    EXPECT_EQ(extractor.badImages, 1);
    EXPECT_EQ(extractor.goodImages, 0);
}

// The camera starts its next image right behind a check segment, in the same packet:
// a failed check loses the failing image only, whether it was open or began before
// the recording (the tail of an image whose start is in an earlier file). An image
// whose start is still held when it ends is written too.
TEST_F(imageExtractorTest, ImageRightAfterAFailedCheckIsKept) {
    const bytes broken = makeImage(100, 9, false);
    const bytes next = makeImage(120, 10);
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    CaptureStderr();
    EXPECT_TRUE(add(extractor, concat(slice(broken, 30, broken.size()), slice(next, 0, 50)), 100));
    EXPECT_EQ(extractor.goodImages + extractor.badImages, 0);  // nothing of the tail's image was kept
    EXPECT_TRUE(add(extractor, concat(slice(next, 50, next.size()), slice(broken, 0, 60)), 200));
    EXPECT_TRUE(add(extractor, concat(slice(broken, 60, broken.size()), slice(next, 0, 20)), 300));
    EXPECT_EQ(extractor.badImages, 1);
    EXPECT_TRUE(add(extractor, concat(slice(next, 20, next.size()), {0xFF, 0xD8}), 400));
    EXPECT_EQ(GetCapturedStderr(),
              "# WARNING: JPEG CRC error. Dropping image.\n"
              "# WARNING: JPEG CRC error. Dropping image.\n");
    EXPECT_EQ(readFile(image("00000000100.jpg")), next);
    EXPECT_FALSE(fs::exists(image("00000000200.jpg")));
    EXPECT_EQ(readFile(image("00000000400.jpg")), next);  // held (20 bytes) until it ended
    EXPECT_EQ(extractor.goodImages, 2);
    EXPECT_EQ(extractor.badImages, 1);
}

TEST_F(imageExtractorTest, DataBeforeTheFirstStartBelongsToNoImage) {
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    CaptureStderr();
    // A start marker split across two packets is not recognised.
    EXPECT_FALSE(add(extractor, {1, 2, 0xFF}, 0));
    EXPECT_FALSE(add(extractor, {0xD8, 5, 6}, 0));
    EXPECT_EQ(GetCapturedStderr(), "# WARNING: jpegDumpFile == null!\n# WARNING: jpegDumpFile == null!\n");
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(imageExtractorTest, StartAtTheEndOfAPacketOpensWithTheNextPacket) {
    const bytes picture = makeImage(200, 4);
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    CaptureStderr();
    EXPECT_TRUE(add(extractor, {9, 9, 0xFF, 0xD8}, 500));
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_TRUE(add(extractor, slice(picture, 2, 100), 700));
    EXPECT_TRUE(add(extractor, slice(picture, 100, picture.size()), 800));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(add(extractor, {0xFF, 0xD8}, 900));
    EXPECT_EQ(extractor.goodImages, 1);
    EXPECT_EQ(readFile(image("00000000700.jpg")), picture);
}

TEST_F(imageExtractorTest, SmallImageCheckedWhileItsStartIsStillHeld) {
    // The start is held (2 bytes) when the rest of the image and its check segment
    // arrive: the check covers the held bytes too.
    const bytes picture = makeImage(60, 5);
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    CaptureStderr();
    EXPECT_TRUE(add(extractor, {0xFF, 0xD8}, 100));
    EXPECT_TRUE(add(extractor, slice(picture, 2, picture.size()), 200));
    EXPECT_TRUE(add(extractor, {0xFF, 0xD8}, 300));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(extractor.goodImages, 1);
    EXPECT_EQ(readFile(image("00000000200.jpg")), picture);

    // A held image that fails its check is dropped without ever reaching a file.
    const bytes broken = makeImage(60, 6, false);
    imageExtractor other(run);
    other.setImagesDir((dir / "other").string());
    fs::create_directories(dir / "other");
    CaptureStderr();
    EXPECT_TRUE(add(other, {0xFF, 0xD8}, 100));
    EXPECT_FALSE(add(other, slice(broken, 2, broken.size()), 200));
    EXPECT_EQ(GetCapturedStderr(), "# WARNING: JPEG CRC error. Dropping image.\n# WARNING: jpegDumpFile == null!\n");
    EXPECT_EQ(other.badImages, 1);
    EXPECT_TRUE(fs::is_empty(dir / "other"));
}

TEST_F(imageExtractorTest, FileNamesFollowTheBoardTime) {
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string() + "/");
    const bytes start(50, 0x11);
    bytes first = start;
    first[0] = 0xFF;
    first[1] = 0xD8;
    // Before the first main-board packet the time is negative.
    ASSERT_TRUE(extractor.addPacket(packetOf(streamCAMERA, first), 0, -100, 1000));
    EXPECT_TRUE(fs::exists(image("-0000001000.jpg")));

    // Two images that start in the same millisecond share a name; the second wins.
    bytes second = first;
    second[10] = 0x22;
    ASSERT_TRUE(extractor.addPacket(packetOf(streamCAMERA, second), 0, -100, 1000));
    bytes third = first;
    ASSERT_TRUE(extractor.addPacket(packetOf(streamCAMERA, third), 0, 0, 1000));
    EXPECT_EQ(readFile(image("-0000001000.jpg")), second);
    EXPECT_EQ(extractor.goodImages, 2);

    // Session base and file time add up; without an interrupt maximum the time is 0.
    ASSERT_TRUE(extractor.addPacket(packetOf(streamCAMERA, first), 123456, 1, 1000));
    EXPECT_TRUE(fs::exists(image("00001234570.jpg")));
    ASSERT_TRUE(extractor.addPacket(packetOf(streamCAMERA, first), 5, 5, 0));
    EXPECT_TRUE(fs::exists(image("00000000000.jpg")));

    extractor.resetCounts();
    EXPECT_EQ(extractor.goodImages, 0);
}

TEST_F(imageExtractorTest, ImageOpenAtTheEndReachesTheDiskUncounted) {
    const bytes partial = slice(makeImage(300, 7), 0, 120);
    {
        imageExtractor extractor(run);
        extractor.setImagesDir(dir.string());
        ASSERT_TRUE(add(extractor, slice(partial, 0, 60), 0));
        ASSERT_TRUE(add(extractor, slice(partial, 60, 120), 0));
        EXPECT_EQ(extractor.goodImages + extractor.badImages, 0);
        EXPECT_TRUE(extractor.closeUncheckedImage());  // the session counts it unchecked
        EXPECT_FALSE(extractor.closeUncheckedImage());
    }
    EXPECT_EQ(readFile(image("00000000000.jpg")), partial);
}

TEST_F(imageExtractorTest, DirectoryIsCreatedOnceBeforeTheFirstImage) {
    const fs::path images = dir / "part_00" / "images";
    imageExtractor extractor(run);
    extractor.setCreateDirectory(images.string());
    extractor.setImagesDir(images.string());
    bytes start(50, 0x33);
    start[0] = 0xFF;
    start[1] = 0xD8;
    CaptureStderr();
    ASSERT_TRUE(add(extractor, {0xFF, 0xD8}, 0));
    EXPECT_FALSE(fs::exists(images));
    ASSERT_TRUE(add(extractor, start, 0));
    ASSERT_TRUE(add(extractor, start, 10));
    EXPECT_EQ(GetCapturedStderr(), "# INFO: Creating image output directory\n");
    EXPECT_TRUE(fs::exists(images / "00000000000.jpg"));
    EXPECT_TRUE(fs::exists(images / "00000000010.jpg"));
}

// An image file that cannot be written is reported once and counted bad; one that
// cannot be created is dropped. Each counts once in the run's lost output.
TEST_F(imageExtractorTest, ImageFilesThatFailAreReportedOnceAndCountedInTheRun) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs a device that refuses writes";
    fs::create_symlink("/dev/full", image("00000000000.jpg"));
    const bytes picture = makeImage(5000, 8);
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    CaptureStderr();
    add(extractor, slice(picture, 0, 100), 0);
    add(extractor, slice(picture, 100, picture.size()), 0);
    add(extractor, {0xFF, 0xD8}, 10);
    EXPECT_EQ(GetCapturedStderr(), "# ERROR: Unable to write output file " + image("00000000000.jpg").string() +
                                       " (No space left on device)\n");
    EXPECT_EQ(extractor.goodImages, 0);
    EXPECT_EQ(extractor.badImages, 1);
    EXPECT_EQ(run.filesFailed(), 1);

    std::ofstream(dir / "plainFile") << "x";
    const std::string images = (dir / "plainFile" / "images").string();
    imageExtractor blocked(run);
    blocked.setCreateDirectory(images);
    blocked.setImagesDir(images);
    CaptureStderr();
    add(blocked, slice(picture, 0, 100), 0);
    add(blocked, {1, 2, 3}, 0);
    EXPECT_EQ(GetCapturedStderr(), "# INFO: Creating image output directory\n# WARNING: Unable to create directory " +
                                       images + " (Not a directory)\n# WARNING: Unable to create image file " + images +
                                       "/00000000000.jpg (Not a directory)\n# WARNING: jpegDumpFile == null!\n");
    EXPECT_EQ(blocked.goodImages + blocked.badImages, 0);
    EXPECT_EQ(run.filesFailed(), 2);
}

TEST_F(imageExtractorTest, DecoderHandsCameraPacketsOverWithTheMainBoardTime) {
    auto header = headerOf({qor2Stream(1000), streamOf("cams", 17)});
    imageExtractor extractor(run);
    extractor.setImagesDir(dir.string());
    extractor.goodImages = 5;
    carryOver record;
    record.extractor = &extractor;
    sensorDecoder decoder(&header);
    decoder.loadCarryOver(record);
    EXPECT_EQ(extractor.goodImages, 0);

    bytes start(50, 0x55);
    start[0] = 0xFF;
    start[1] = 0xD8;
    for (const bytes& packet : {boardPacketBuilder::qor2Sensor(0, 0, 0, 0, {}), boardPacketBuilder::qor2Sensor(0, 0, 1, 250, {})})
        ASSERT_TRUE(decoder.processPacket(packetOf(streamQOR2, packet)).ok());
    ASSERT_TRUE(decoder.processPacket(packetOf(streamCAMERA, start)).ok());
    ASSERT_TRUE(decoder.processPacket(packetOf(streamCAMERA, start)).ok());
    EXPECT_TRUE(fs::exists(image("00000012500.jpg")));  // 1250 ticks = 12.5 s
    metaList keys;
    metaList values;
    decoder.writeStatistics(keys, values);
    EXPECT_EQ(keys[keys.size() - 2], "camera_numGoodImages");
    EXPECT_EQ(values[values.size() - 2], "1");
}

}  // namespace
}  // namespace sensconv
