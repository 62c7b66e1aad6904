#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "container/containerBuilder.h"
#include "container/snsrHeader.h"

namespace sensconv {
namespace {

// The byte layout written by hand, so that a fault in the builder cannot hide behind
// the same fault in the header reader.
TEST(containerBuilderTest, WritesTheContainerLayoutByteForByte) {
    containerBuilder builder;
    builder.setFileStartTime(0x0102030405060708ULL).addIntAtom("intr", -2);
    builder.addStream("mic", 0x0203, 7, 0x0405).textAtom("name", "ab");
    const uint8_t payload[] = {0xAA, 0xBB};
    builder.addFrame(3, 0x11223344, payload);
    const uint8_t garbage[] = {0x99};
    builder.addRawBytes(garbage);

    const std::vector<uint8_t> expected = {
        'S', 'N', 'S', 'R', 2, 0, 0, 0,                          // magic, version
        8, 7, 6, 5, 4, 3, 2, 1,                                  // fileStartTime
        1, 0, 0, 0,                                              // num_atoms
        'i', 'n', 't', 'r', 'i', 4, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF,  // atom intr = -2
        1, 0, 0, 0,                                              // num_streams
        'm', 'i', 'c', ' ', 7, 0, 0, 0, 0x05, 0x04, 0x03, 0x02,  // tag, ver, len, packet_id
        1, 0, 0, 0,                                              // stream num_atoms
        'n', 'a', 'm', 'e', 'c', 2, 0, 0, 0, 'a', 'b',           // atom name = "ab"
        3, 0, 0x44, 0x33, 0x22, 0x11, 2, 0, 0, 0, 0xAA, 0xBB,    // frame
        0x99,                                                    // garbage
    };
    EXPECT_EQ(builder.bytes(), expected);
    EXPECT_EQ(builder.size(), expected.size());
    EXPECT_EQ(builder.headerBytes().size(), expected.size() - 13);
}

TEST(containerBuilderTest, DeclaredCountsSizesAndLengthsOverrideTheRealOnes) {
    containerBuilder builder;
    builder.setMagic("SNS").setVersion(3).declareAtomCount(5).declareStreamCount(-1);
    const uint8_t one[] = {1};
    builder.addRawAtom("blob", 'x', one, 1000);
    builder.addFrameWithLength(1, 2, 4097, one);
    const std::vector<uint8_t> bytes = builder.bytes();
    const std::vector<uint8_t> expected = {
        'S', 'N', 'S', 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        5, 0, 0, 0, 'b', 'l', 'o', 'b', 'x', 0xE8, 0x03, 0, 0, 1,
        0xFF, 0xFF, 0xFF, 0xFF,
        1, 0, 2, 0, 0, 0, 0x01, 0x10, 0, 0, 1,
    };
    EXPECT_EQ(bytes, expected);
}

TEST(containerBuilderTest, SettingsStreamsReadBackThroughTheHeaderModel) {
    qor2Settings qor2;
    qor2.intr = 32768;
    qor2.mic = 8000;
    qor2.bar = 120;
    qor2.wd04 = 0x1234;
    juxSettings jux;
    jux.intr = 1000;
    jux.mag = 55;
    jux.swmi = 9;

    containerBuilder builder;
    builder.addQor2Stream(1, qor2);
    builder.addJuxStream(2, jux);
    builder.addSirfGpsStream(3);
    builder.addCameraStream(4);
    std::vector<uint8_t> bytes = builder.bytes();

    snsrHeader header;
    header.file = fmemopen(bytes.data(), bytes.size(), "rb");
    ASSERT_NE(header.file, nullptr);
    ASSERT_TRUE(readHeader(header));
    std::fclose(header.file);
    ASSERT_EQ(header.streams.size(), 4u);
    EXPECT_EQ(header.streams[0].type, streamQOR2);
    EXPECT_EQ(header.streams[1].type, streamJUX);
    EXPECT_EQ(header.streams[2].type, streamSIRF_GPS);
    EXPECT_EQ(header.streams[3].type, streamCAMERA);
    EXPECT_EQ(header.streams[3].packet_id, 4u);

    ASSERT_TRUE(loadQor2Settings(header));
    EXPECT_EQ(header.qor2_settings.intr, 32768);
    EXPECT_EQ(header.qor2_settings.mic, 8000);
    EXPECT_EQ(header.qor2_settings.bar, 120);
    EXPECT_EQ(header.qor2_settings.wd04, 0x1234);
    ASSERT_TRUE(loadJuxSettings(header));
    EXPECT_EQ(header.jux_settings.intr, 1000);
    EXPECT_EQ(header.jux_settings.mag, 55);
    EXPECT_EQ(header.jux_settings.swmi, 9);
}

}  // namespace
}  // namespace sensconv
