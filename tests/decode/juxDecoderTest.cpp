#include "decode/juxDecoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "decode/boardPacketBuilder.h"
#include "decode/channelTable.h"

namespace sensconv {
namespace {

class juxDecoderTest : public ::testing::Test {
protected:
    void decode(const std::vector<uint8_t>& packet, int32_t length = -1) {
        if (length < 0) length = static_cast<int32_t>(packet.size());
        std::vector<uint8_t> exact(packet.begin(), packet.begin() + length);
        batch.clear();
        juxDecoder::decode(exact.data(), length, batch, intmax, state);
    }
    std::vector<double> values(int channel) const {
        return {batch.values(channel), batch.values(channel) + batch.counts[static_cast<size_t>(channel)]};
    }

    packetBatch batch{numJuxChannels};
    int32_t intmax = 1000;
    boardState state{numJuxChannels};
};

TEST_F(juxDecoderTest, FullMaskGivesEveryGyroAndMagnetometerChannel) {
    juxSensorFields f;
    f.gyro = {-1, 2, 32767};
    f.gyroTemp = {0, 110, -32768};
    f.mag = {-300, 0, 1234};
    const auto packet = boardPacketBuilder::juxSensor(0x0F, 5, 999, f);
    ASSERT_EQ(packet.size(), 26u);  // L = 25
    decode(packet);
    ASSERT_EQ(state.result, boardResult::valid);
    EXPECT_EQ(state.pair, (timePair{5, 999}));
    EXPECT_EQ(values(juxXGyro), std::vector<double>{-1.0});
    EXPECT_EQ(values(juxYGyro), std::vector<double>{2.0});
    EXPECT_EQ(values(juxZGyro), std::vector<double>{32767.0});
    // 298 K is 76.73 degrees Fahrenheit; each 110 raw units add one kelvin.
    EXPECT_NEAR(values(juxXGyroTemp).at(0), 76.73, 1e-9);
    EXPECT_NEAR(values(juxYGyroTemp).at(0), 76.73 + 1.8, 1e-9);
    EXPECT_NEAR(values(juxZGyroTemp).at(0), (-32768.0 / 110.0 + 298.0) * 1.8 - 459.67, 1e-9);
    EXPECT_EQ(values(juxXMag), std::vector<double>{-300.0});
    EXPECT_EQ(values(juxYMag), std::vector<double>{0.0});
    EXPECT_EQ(values(juxZMag), std::vector<double>{1234.0});
    EXPECT_TRUE(values(juxPower).empty());
    EXPECT_EQ(batch.total, 9);
    for (int channel = 0; channel < numJuxChannels; ++channel) {
        EXPECT_EQ(state.received[static_cast<size_t>(channel)], channel == juxPower ? 0 : 1);
    }
}

TEST_F(juxDecoderTest, MagnetometerAxesFollowTheMaskBits) {
    juxSensorFields f;
    f.mag = {11, 22, 33};
    decode(boardPacketBuilder::juxSensor(0x0A, 0, 0, f, 1));  // x and z only
    ASSERT_EQ(state.result, boardResult::valid);
    EXPECT_EQ(values(juxXMag), std::vector<double>{11.0});
    EXPECT_TRUE(values(juxYMag).empty());
    EXPECT_EQ(values(juxZMag), std::vector<double>{33.0});
    EXPECT_TRUE(values(juxXGyro).empty());
}

TEST_F(juxDecoderTest, PacketsWithoutReadingsCheckTheirFixedChecksum) {
    for (uint8_t kind : {2, 3, 4, 5, 128, 129}) {
        state = boardState{numJuxChannels};
        state.pair = {1, 2};
        const auto packet = boardPacketBuilder::juxWithoutReadings(kind);
        decode(packet);
        EXPECT_EQ(state.result, boardResult::valid) << int(kind);
        EXPECT_EQ(state.unhandledPackets, 1);
        EXPECT_EQ(state.validPackets, 0);
        EXPECT_EQ(state.pair, (timePair{1, 2}));  // no time pair of its own

        auto spoilt = packet;
        boardPacketBuilder::spoilChecksum(spoilt);
        decode(spoilt);
        EXPECT_EQ(state.result, boardResult::rejected);
        EXPECT_EQ(state.unhandledPackets, 2);
        EXPECT_EQ(state.crcErrors, 1);

        decode(packet, static_cast<int32_t>(packet.size()) - 1);  // cut before the checksum
        EXPECT_EQ(state.result, boardResult::rejected);
        EXPECT_EQ(state.unhandledPackets, 3);
        EXPECT_EQ(state.crcErrors, 2);
    }
    // Kind 4 has its checksum at byte 5: the sum of bytes 2 to 4.
    EXPECT_EQ(boardPacketBuilder::juxWithoutReadings(4).size(), 6u);
}

TEST_F(juxDecoderTest, InvalidPackets) {
    decode(boardPacketBuilder::juxSensor(0, 0, 1001, {}));
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 1);
    intmax = 0;
    decode(boardPacketBuilder::juxSensor(0, 0, 1001, {}));
    EXPECT_EQ(state.result, boardResult::valid);

    const auto full = boardPacketBuilder::juxSensor(0x0F, 0, 0, {});
    decode(full, 25);
    EXPECT_EQ(state.result, boardResult::rejected);
    decode(full, 3);
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 3);
    decode(full, 2);
    EXPECT_EQ(state.result, boardResult::notDecodable);
    EXPECT_EQ(state.crcErrors, 3);

    decode(boardPacketBuilder::frame(6, 0, 0, 0, {}));
    EXPECT_EQ(state.result, boardResult::notDecodable);
    EXPECT_EQ(state.unhandledPackets, 1);
    EXPECT_EQ(state.crcErrors, 3);
}

}  // namespace
}  // namespace sensconv
