#include "decode/qor2Decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decode/boardPacketBuilder.h"
#include "decode/channelTable.h"

namespace sensconv {
namespace {

class qor2DecoderTest : public ::testing::Test {
protected:
    // The packet is decoded from an exactly sized copy, so that a read beyond its
    // length is caught by the address sanitizer.
    void decode(const std::vector<uint8_t>& packet) { decodeBytes(packet, static_cast<int32_t>(packet.size())); }
    void decodeBytes(const std::vector<uint8_t>& packet, int32_t length) {
        std::vector<uint8_t> exact(packet.begin(), packet.begin() + length);
        batch.clear();
        qor2Decoder::decode(exact.data(), length, batch, cal, state);
    }
    std::vector<double> values(int channel) const {
        return {batch.values(channel), batch.values(channel) + batch.counts[static_cast<size_t>(channel)]};
    }

    packetBatch batch{numQor2Channels};
    qor2Calibration cal;
    boardState state{numQor2Channels};
};

TEST_F(qor2DecoderTest, AudioWordsAreOffsetToSignedValues) {
    decode(boardPacketBuilder::qor2Audio(7, 321, {0x0000, 0x8000, 0xFFFF}));
    ASSERT_EQ(state.result, boardResult::valid);
    EXPECT_EQ(values(qor2Audio), (std::vector<double>{-32768.0, 0.0, 32767.0}));
    // The same values as the WAV file's 16-bit samples; none once a value came without one.
    ASSERT_NE(batch.valuesAs16Bit(qor2Audio), nullptr);
    EXPECT_EQ(std::vector<int16_t>(batch.valuesAs16Bit(qor2Audio), batch.valuesAs16Bit(qor2Audio) + 3),
              (std::vector<int16_t>{-32768, 0, 32767}));
    packetBatch mixed = batch;
    mixed.append(qor2Audio, 1.0);
    EXPECT_EQ(mixed.valuesAs16Bit(qor2Audio), nullptr);
    EXPECT_EQ(batch.valuesAs16Bit(qor2Compass), nullptr);
    EXPECT_EQ(state.pair, (timePair{7, 321}));
    EXPECT_EQ(state.received[qor2Audio], 3);
    EXPECT_EQ(state.validPackets, 1);
    EXPECT_EQ(batch.total, 3);

    decode(boardPacketBuilder::qor2Audio(8, 0, {0x1234}, 9));
    EXPECT_EQ(state.result, boardResult::valid);
    EXPECT_EQ(state.received[qor2Audio], 4);
}

TEST_F(qor2DecoderTest, AudioSampleCountLimit) {
    decode(boardPacketBuilder::qor2Audio(0, 0, std::vector<uint16_t>(63, 0x8001)));
    EXPECT_EQ(state.result, boardResult::valid);
    EXPECT_EQ(values(qor2Audio).size(), 63u);

    // 64 samples are out of range even with a correct checksum.
    decode(boardPacketBuilder::qor2Audio(0, 0, std::vector<uint16_t>(64, 0x8001)));
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 1);
    EXPECT_EQ(state.validPackets, 1);
    EXPECT_EQ(batch.total, 0);
}

TEST_F(qor2DecoderTest, AudioBeyondTheBatchCapacityIsDropped) {
    // Packets decoded into one batch without emptying it: the channel takes its 256
    // values in order and drops the rest of the packet that overflows it.
    std::vector<double> expected;
    for (int k = 0; k < 5; ++k) {
        std::vector<uint16_t> words;
        for (int i = 0; i < 63; ++i) words.push_back(static_cast<uint16_t>(0x8000 + 63 * k + i));
        const auto packet = boardPacketBuilder::qor2Audio(0, static_cast<uint16_t>(k), words);
        qor2Decoder::decode(packet.data(), static_cast<int32_t>(packet.size()), batch, cal, state);
        ASSERT_EQ(state.result, boardResult::valid);
        for (int i = 0; i < 63 && expected.size() < 256; ++i) expected.push_back(63.0 * k + i);
    }
    EXPECT_EQ(values(qor2Audio), expected);
    ASSERT_NE(batch.valuesAs16Bit(qor2Audio), nullptr);
    EXPECT_EQ(std::vector<double>(batch.valuesAs16Bit(qor2Audio), batch.valuesAs16Bit(qor2Audio) + 256), expected);
    EXPECT_EQ(state.received[qor2Audio], 5 * 63);
}

TEST_F(qor2DecoderTest, InterruptCountRangeTest) {
    cal.intmax = 1000;
    decode(boardPacketBuilder::qor2Audio(0, 1000, {1}));
    EXPECT_EQ(state.result, boardResult::valid);
    decode(boardPacketBuilder::qor2Sensor(0, 0, 0, 1001, {}));
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 1);
    EXPECT_EQ(state.pair, (timePair{0, 1000}));  // a failed packet leaves the pair alone

    cal.intmax = 0;
    decode(boardPacketBuilder::qor2Sensor(0, 0, 0, 65535, {}));
    EXPECT_EQ(state.result, boardResult::valid);
}

TEST_F(qor2DecoderTest, ChecksumCoversKindToLastPayloadByte) {
    auto packet = boardPacketBuilder::qor2Sensor(0, 0, 3, 4, {});
    ASSERT_EQ(packet.size(), 8u);  // mask 0, kind 0: L = 7, checksum at byte 7
    EXPECT_EQ(packet[7], static_cast<uint8_t>(0 + 0 + 3 + 4 + 0));
    decode(packet);
    EXPECT_EQ(state.result, boardResult::valid);
    EXPECT_EQ(state.pair, (timePair{3, 4}));
    EXPECT_EQ(batch.total, 0);

    boardPacketBuilder::spoilChecksum(packet);
    decode(packet);
    EXPECT_EQ(state.result, boardResult::rejected);

    // The sync bytes are not part of the sum.
    auto audio = boardPacketBuilder::qor2Audio(1, 2, {0x0102});
    audio[0] = 0x23;
    decode(audio);
    EXPECT_EQ(state.result, boardResult::valid);
}

TEST_F(qor2DecoderTest, MalformedAndShortPackets) {
    const auto sensor = boardPacketBuilder::qor2Sensor(0, 0x01, 0, 0, {});  // L = 13
    decodeBytes(sensor, 2);
    EXPECT_EQ(state.result, boardResult::notDecodable);
    EXPECT_EQ(state.crcErrors + state.unhandledPackets + state.validPackets, 0);

    decodeBytes(sensor, 3);  // no byte 3: the length cannot even be computed
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 1);

    decodeBytes(sensor, 13);  // ends right before the checksum byte
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 2);

    const auto audio = boardPacketBuilder::qor2Audio(0, 0, {1, 2, 3});
    decodeBytes(audio, static_cast<int32_t>(audio.size()) - 1);
    EXPECT_EQ(state.result, boardResult::rejected);
    EXPECT_EQ(state.crcErrors, 3);

    auto badSync = boardPacketBuilder::qor2Audio(0, 0, {1});
    badSync[1] = 0x7D;
    decode(badSync);
    EXPECT_EQ(state.result, boardResult::notDecodable);
    EXPECT_EQ(state.crcErrors, 3);
    EXPECT_EQ(state.unhandledPackets, 0);

    decode(boardPacketBuilder::frame(2, 0, 0, 0, {}));
    EXPECT_EQ(state.result, boardResult::notDecodable);
    EXPECT_EQ(state.unhandledPackets, 1);
    EXPECT_EQ(state.validPackets, 0);
}

TEST_F(qor2DecoderTest, SensorFieldsInPayloadOrder) {
    cal.C5 = 0;
    cal.C6 = 0;
    qor2SensorFields f;
    f.accelX = 16383;
    f.accelY = 0;
    f.accelZ = 32766;
    f.lightDivider = 128;
    f.lightCount = 32768;
    f.barTemp = 20224;
    f.pressure = 8192;
    f.compass = 3600;
    f.visLight = 0x35;
    f.irLight = 0x00;
    f.shtTemp = 6400;
    f.humidity = 1000;
    const auto packet = boardPacketBuilder::qor2Sensor(1, 0xFF, 9, 10, f);
    ASSERT_EQ(packet.size(), 29u);  // L = 28
    decode(packet);
    ASSERT_EQ(state.result, boardResult::valid);

    EXPECT_EQ(values(qor2XAccel), std::vector<double>{1.0});
    EXPECT_EQ(values(qor2YAccel), std::vector<double>{0.0});
    EXPECT_EQ(values(qor2ZAccel), std::vector<double>{2.0});
    EXPECT_DOUBLE_EQ(values(qor2MagAccel).at(0), std::sqrt(5.0));
    EXPECT_NEAR(values(qor2HfVisLight).at(0), 100100.0 / 1996.0, 1e-9);
    EXPECT_EQ(values(qor2Temp), std::vector<double>{20.0});
    // dT 0: SENS 24576, OFF 0, X = 1024 * 1.5 = 1536, value 1536 / 32 + 250.
    EXPECT_EQ(values(qor2BarPress), std::vector<double>{298.0});
    EXPECT_EQ(values(qor2Compass), std::vector<double>{360.0});
    EXPECT_EQ(values(qor2VisLight), std::vector<double>{515.5});
    EXPECT_EQ(values(qor2IrLight), std::vector<double>{0.0});
    EXPECT_NEAR(values(qor2AmbLight).at(0), 515.5 * 0.46, 1e-9);
    EXPECT_NEAR(values(qor2TempSensiron).at(0), 24.366, 1e-12);
    // linear = 40.5 - 4 - 2.8 = 33.7 in single precision; (24.366 - 25) * 0.09 = -0.05706.
    EXPECT_NEAR(values(qor2Humidity).at(0), 33.70000076293945 - 0.05706, 1e-9);
    EXPECT_TRUE(values(qor2Power).empty());

    for (int channel = 0; channel < numQor2Channels; ++channel) {
        const int64_t expected = (channel == qor2Audio || channel == qor2Power) ? 0 : 1;
        EXPECT_EQ(state.received[static_cast<size_t>(channel)], expected)
            << qor2ChannelTable[static_cast<size_t>(channel)].longName;
    }
    EXPECT_EQ(batch.total, 13);
    EXPECT_EQ(cal.lastD2, 20224);
    EXPECT_FALSE(cal.visPresent);
    EXPECT_FALSE(cal.irPresent);
}

TEST_F(qor2DecoderTest, LightByteChordAndStep) {
    qor2SensorFields f;
    for (uint8_t byte : {uint8_t{0x35}, uint8_t{0xB5}}) {
        f.visLight = byte;
        decode(boardPacketBuilder::qor2Sensor(0, 0x02, 0, 0, f));
        EXPECT_EQ(values(qor2VisLight), std::vector<double>{515.5});
    }
    f.irLight = 0x7F;  // chord 7, step 15: 127 * 16.5 + 10 * 128 * 15
    decode(boardPacketBuilder::qor2Sensor(0, 0x04, 0, 0, f));
    EXPECT_EQ(values(qor2IrLight), std::vector<double>{2095.5 + 19200.0});
}

TEST_F(qor2DecoderTest, AmbientLightPairsReadingsAcrossPackets) {
    qor2SensorFields f;
    f.visLight = 0x35;
    f.irLight = 0x10;  // chord 1, step 0: 16.5
    decode(boardPacketBuilder::qor2Sensor(0, 0x02, 0, 0, f));
    EXPECT_TRUE(values(qor2AmbLight).empty());
    decode(boardPacketBuilder::qor2Sensor(0, 0x02, 0, 0, f));  // a newer visible reading replaces the first
    EXPECT_TRUE(values(qor2AmbLight).empty());
    decode(boardPacketBuilder::qor2Sensor(0, 0x04, 0, 0, f));
    ASSERT_EQ(values(qor2AmbLight).size(), 1u);
    EXPECT_NEAR(values(qor2AmbLight)[0], 515.5 * 0.46 * std::exp(-3.13 * 16.5 / 515.500001), 1e-9);
    EXPECT_EQ(state.received[qor2AmbLight], 1);
    decode(boardPacketBuilder::qor2Sensor(0, 0x04, 0, 0, f));  // the pair was used up
    EXPECT_TRUE(values(qor2AmbLight).empty());
}

TEST_F(qor2DecoderTest, BarometerTemperaturePlausibility) {
    qor2SensorFields f;
    // T = ((D2 - 20224) * 50) / 102 + 2000 must lie strictly between -1000 and 10000.
    f.barTemp = 20224 + 16319;  // T = 9999
    decode(boardPacketBuilder::qor2Sensor(0, 0x20, 0, 0, f));
    EXPECT_EQ(values(qor2Temp).size(), 1u);
    EXPECT_EQ(cal.lastD2, 36543);

    f.barTemp = 20224 + 16320;  // T = 10000
    decode(boardPacketBuilder::qor2Sensor(0, 0x20, 0, 0, f));
    EXPECT_TRUE(values(qor2Temp).empty());
    EXPECT_EQ(cal.lastD2, 36543);

    f.barTemp = 20224 - 6120;  // T = -1000
    decode(boardPacketBuilder::qor2Sensor(0, 0x20, 0, 0, f));
    EXPECT_TRUE(values(qor2Temp).empty());
    EXPECT_EQ(state.received[qor2Temp], 3);
    EXPECT_EQ(cal.lastD2, 36543);

    // The integer test truncates toward zero: (-6119 * 50) / 102 = -2999.
    f.barTemp = 20224 - 6119;
    decode(boardPacketBuilder::qor2Sensor(0, 0x20, 0, 0, f));
    EXPECT_EQ(values(qor2Temp).size(), 1u);
}

TEST_F(qor2DecoderTest, PressureNeedsAnAcceptedTemperature) {
    qor2SensorFields f;
    f.pressure = 8192;
    decode(boardPacketBuilder::qor2Sensor(0, 0x10, 0, 0, f));
    EXPECT_EQ(state.result, boardResult::valid);
    EXPECT_TRUE(values(qor2BarPress).empty());
    EXPECT_EQ(state.received[qor2BarPress], 1);

    // dT = 1024: SENS = 100 + 1024 + 24576 = 25700, OFF = 40 + 256 = 296,
    // X = 1024 * 25700 / 16384 - 296 = 1310.25.
    cal.C1 = 100;
    cal.C2 = 10;
    cal.C3 = 1024;
    cal.C4 = 1536;
    cal.lastD2 = 20224 + 1024;
    decode(boardPacketBuilder::qor2Sensor(0, 0x10, 0, 0, f));
    EXPECT_EQ(values(qor2BarPress), std::vector<double>{1310.25 / 32.0 + 250.0});
}

TEST_F(qor2DecoderTest, HumidityNeedsTheSensorTemperature) {
    qor2SensorFields f;
    f.humidity = 1000;
    decode(boardPacketBuilder::qor2Sensor(0, 0x40, 0, 0, f));
    EXPECT_TRUE(values(qor2Humidity).empty());
    EXPECT_EQ(state.received[qor2Humidity], 1);

    // A temperature from an earlier packet (or file) serves.
    cal.shtTempPresent = true;
    cal.shtTempValue = 25.0;
    decode(boardPacketBuilder::qor2Sensor(0, 0x40, 0, 0, f));
    EXPECT_NEAR(values(qor2Humidity).at(0), 33.70000076293945, 1e-9);
}

}  // namespace
}  // namespace sensconv
