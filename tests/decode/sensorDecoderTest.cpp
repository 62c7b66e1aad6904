#include "decode/sensorDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/littleEndian.h"
#include "common/testFiles.h"
#include "container/containerBuilder.h"
#include "decode/boardPacketBuilder.h"
#include "decodeTestSupport.h"

namespace sensconv {
namespace {

using namespace sensconv::testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

std::vector<uint8_t> compassPacket(uint8_t ts, uint16_t intCount, uint16_t heading = 900) {
    qor2SensorFields f;
    f.compass = heading;
    return boardPacketBuilder::qor2Sensor(0, 0x08, ts, intCount, f);
}

std::vector<uint8_t> gpsPacket(const std::vector<uint8_t>& receiverBytes) {
    std::vector<uint8_t> packet(7 + receiverBytes.size(), 0);
    packet[0] = 0xA0;
    packet[1] = 0xA2;
    packet[3] = static_cast<uint8_t>(receiverBytes.size());
    std::copy(receiverBytes.begin(), receiverBytes.end(), packet.begin() + 7);
    return packet;
}

class sensorDecoderTest : public ::testing::Test {
protected:
    // One packet that the decoder must take without a fatal outcome.
    void feed(sensorDecoder& decoder, int32_t type, const std::vector<uint8_t>& bytes, uint32_t timestamp = 0) {
        const outcome result = decoder.processPacket(packetOf(type, bytes, index++, timestamp));
        EXPECT_TRUE(result.ok()) << result.lines();
    }
    int32_t index = 0;
};

TEST_F(sensorDecoderTest, SetUpFromTheHeader) {
    auto header = headerOf({qor2Stream(1000, 8, 40), streamOf("sgps", 3), streamOf("cams", 17)}, 1234);
    sensorDecoder decoder(&header);
    EXPECT_TRUE(decoder.qor2Active());
    EXPECT_FALSE(decoder.juxActive());
    EXPECT_TRUE(decoder.gpsActive());
    EXPECT_TRUE(decoder.cameraActive());
    EXPECT_EQ(decoder.fileStartTime(), 1234u);
    EXPECT_EQ(decoder.qor2Clock().intmax, 1000);
    EXPECT_EQ(decoder.gpsRecord().bytes.size(), 81920u);
    for (size_t i = 0; i < decoder.qor2Channels().size(); ++i) {
        ASSERT_NE(decoder.qor2Channels()[i], nullptr);
        EXPECT_EQ(decoder.qor2Channels()[i]->longName, qor2ChannelTable[i].longName);
    }
    // The microphone rate comes in hertz; channels carry tenths of a hertz.
    EXPECT_EQ(decoder.qor2Channels()[qor2Audio]->rate, 80.0);
    EXPECT_EQ(decoder.qor2Channels()[qor2Compass]->rate, 40.0);
    for (const auto& channel : decoder.juxChannels()) EXPECT_EQ(channel, nullptr);

    auto juxOnly = headerOf({juxStream(500, 20)});
    sensorDecoder second(&juxOnly);
    EXPECT_FALSE(second.qor2Active());
    EXPECT_TRUE(second.juxActive());
    EXPECT_FALSE(second.gpsActive());
    EXPECT_TRUE(second.gpsRecord().bytes.empty());
    EXPECT_EQ(second.juxChannels()[juxXMag]->shortName, "mag");
    EXPECT_EQ(second.juxChannels()[juxXMag]->intmax, 500);
}

TEST_F(sensorDecoderTest, TooManyStreamsOnlyWarn) {
    std::vector<snsrStream> streams(19, streamOf("tag ", 10));
    streams.push_back(qor2Stream());
    auto header = headerOf(streams);
    CaptureStderr();
    sensorDecoder decoder(&header);
    EXPECT_EQ(GetCapturedStderr(), "# WARNING: snsr header contains more streams, 20, than allowed, 19\n");
    EXPECT_TRUE(decoder.qor2Active());
}

TEST_F(sensorDecoderTest, NoHeaderLeavesTheDecoderInactive) {
    CaptureStderr();
    sensorDecoder decoder(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n");
    EXPECT_FALSE(decoder.qor2Active() || decoder.juxActive() || decoder.gpsActive() || decoder.cameraActive());
    CaptureStderr();
    feed(decoder, streamQOR2, compassPacket(0, 0));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(decoder.qor2Clock().fileTime, -1);
}

TEST_F(sensorDecoderTest, PacketTimestampsSkipEmptyRecords) {
    auto header = headerOf({qor2Stream()});
    sensorDecoder decoder(&header);
    feed(decoder, streamINVALID, {}, 5);
    EXPECT_EQ(decoder.firstPacketTimestamp(), 0xFFFFFFFFu);
    feed(decoder, 16, {1, 2, 3}, 10);  // unknown types count
    feed(decoder, streamQOR2, compassPacket(0, 0), 20);
    feed(decoder, streamINVALID, {}, 30);
    EXPECT_EQ(decoder.firstPacketTimestamp(), 10u);
    EXPECT_EQ(decoder.lastPacketTimestamp(), 20u);
}

TEST_F(sensorDecoderTest, ClockStartsAtZeroAndFollowsTicks) {
    auto header = headerOf({qor2Stream(1000)});
    sensorDecoder decoder(&header);
    feed(decoder, streamQOR2, compassPacket(10, 500));
    EXPECT_EQ(decoder.qor2Clock().fileTime, 0);
    EXPECT_EQ(decoder.qor2Clock().sessionBase, 0);
    feed(decoder, streamMIC, boardPacketBuilder::qor2Audio(11, 400, {0x8000}));
    EXPECT_EQ(decoder.qor2Clock().fileTime, 900);
    EXPECT_EQ(decoder.qor2Channels()[qor2Audio]->lastTimestamp(), 9.0);

    // A failed packet leaves the time base alone and only warns.
    auto bad = compassPacket(50, 0);
    boardPacketBuilder::spoilChecksum(bad);
    CaptureStderr();
    feed(decoder, streamQOR2, bad);
    feed(decoder, streamQOR2, boardPacketBuilder::frame(2, 0, 60, 0, {}));
    EXPECT_EQ(GetCapturedStderr(),
              "# WARNING: QOR2 packet 2, Packet CRC invalid\n"
              "# WARNING: QOR2 packet 3, unknown parser error\n");
    EXPECT_EQ(decoder.qor2Clock().fileTime, 900);
    EXPECT_EQ(decoder.qor2Clock().previous, (timePair{11, 400}));
    EXPECT_EQ(decoder.qor2State().crcErrors, 1);
    EXPECT_EQ(decoder.qor2State().unhandledPackets, 1);
}

TEST_F(sensorDecoderTest, RollOverAdvancesByOneTick) {
    auto header = headerOf({qor2Stream(1000)});
    sensorDecoder decoder(&header);
    feed(decoder, streamQOR2, compassPacket(255, 998));
    feed(decoder, streamQOR2, compassPacket(255, 999));
    CaptureStderr();
    feed(decoder, streamQOR2, compassPacket(0, 0));
    EXPECT_EQ(GetCapturedStderr(),
              "# INFO: ---------------------\n"
              "# INFO: QOR, SNSR Packet      2, possible wrap around detected in timestamps, timeElapsed -255999\n"
              "# INFO: Interrupt max:    1000. Previous:  255 ts,   999 int, current:    0 ts,     0 int\n"
              "# INFO: ---------------------\n");
    EXPECT_EQ(decoder.qor2Clock().fileTime, 2);
    feed(decoder, streamQOR2, compassPacket(1, 0));
    EXPECT_EQ(decoder.qor2Clock().fileTime, 1002);
}

TEST_F(sensorDecoderTest, RollOverKeepsTheTimeOfPacketsAwayFromThePeriodEndAndWithoutAnIntmax) {
    // The board counts on from (255, 900) to (0, 50): 100 ticks to the end of period
    // 255 and 50 into the next one.
    auto header = headerOf({qor2Stream(1000), juxStream(1000)});
    sensorDecoder decoder(&header);
    decoder.disableRolloverCheck();  // a true roll-over is placed the same either way
    feed(decoder, streamQOR2, compassPacket(254, 500));
    feed(decoder, streamQOR2, compassPacket(255, 900));
    CaptureStderr();
    feed(decoder, streamQOR2, compassPacket(0, 50));
    GetCapturedStderr();
    EXPECT_EQ(decoder.qor2Clock().fileTime, 1400 + 150);
    feed(decoder, streamQOR2, compassPacket(1, 50));
    EXPECT_EQ(decoder.qor2Clock().fileTime, 2550);

    // Without an interrupt maximum the interrupt count is the board's only time: a
    // roll-over to a smaller count goes on from the previous packet, as other wraps do,
    // and never back before the file's first packet (which would end the run).
    auto noMaximum = headerOf({qor2Stream(0)});
    sensorDecoder counting(&noMaximum);
    feed(counting, streamQOR2, compassPacket(255, 300));
    CaptureStderr();
    feed(counting, streamQOR2, compassPacket(0, 194));
    GetCapturedStderr();
    EXPECT_EQ(counting.qor2Clock().fileTime, 195);
    feed(counting, streamQOR2, compassPacket(0, 200));
    EXPECT_EQ(counting.qor2Clock().fileTime, 201);
}

TEST_F(sensorDecoderTest, WrapThatIsNotARollOverEndsTheRun) {
    auto header = headerOf({qor2Stream(1000)});
    sensorDecoder decoder(&header);
    feed(decoder, streamQOR2, compassPacket(200, 10));
    CaptureStderr();
    const outcome wrapped = decoder.processPacket(packetOf(streamQOR2, compassPacket(3, 20), 1));
    EXPECT_EQ(processStatus(wrapped.status()), -11);
    EXPECT_EQ(wrapped.lines(), "# ERROR: This wrap around was not a 255->0 roll over event\n"
                               "# ERROR: If you want to ignore this use -ignoreRollover, this may result in corrupt files\n");
    EXPECT_EQ(GetCapturedStderr(),
              "# INFO: ---------------------\n"
              "# INFO: QOR, SNSR Packet      1, possible wrap around detected in timestamps, timeElapsed -196990\n"
              "# INFO: Interrupt max:    1000. Previous:  200 ts,    10 int, current:    3 ts,    20 int\n");
    EXPECT_STREQ(wrapped.closingLine(), "# ERROR: Exiting\n");
    // Nothing of the packet was taken.
    EXPECT_EQ(decoder.qor2Channels()[qor2Compass]->batchCount(), 0);
}

TEST_F(sensorDecoderTest, IgnoredWrapContinuesPastTheCounter) {
    auto header = headerOf({qor2Stream(1000), juxStream(1000)});
    sensorDecoder decoder(&header);
    decoder.disableRolloverCheck();
    feed(decoder, streamQOR2, compassPacket(200, 10));
    CaptureStderr();
    feed(decoder, streamQOR2, compassPacket(3, 20));
    GetCapturedStderr();
    // The time goes on by 3 * intmax + 20 + 1 ticks.
    EXPECT_EQ(decoder.qor2Clock().fileTime, 3021);
    EXPECT_EQ(decoder.qor2Clock().wrapOffset, 200011);
    EXPECT_FALSE(decoder.juxClock().rolloverCheck);
}

TEST_F(sensorDecoderTest, BoardTimeBeforeTheFirstEndsTheRun) {
    auto header = headerOf({juxStream(1000)});
    sensorDecoder decoder(&header);
    feed(decoder, streamJUX, boardPacketBuilder::juxSensor(0, 5, 0, {}));
    // A clock whose first time lies later than any time it can reach.
    sensorDecoderTestDoor::juxClock(decoder).firstFileTime = 50;
    CaptureStderr();
    const outcome backwards = decoder.processPacket(packetOf(streamJUX, boardPacketBuilder::juxSensor(0, 5, 40, {}), 1));
    EXPECT_EQ(processStatus(backwards.status()), -11);
    EXPECT_EQ(backwards.lines(), "# ERROR: QOR, SNSR Packet      1, computed jux timestamps moved backwards, went from 50 to 40\n"
                                 "# ERROR: File is likely corrupt, use the blacklist feature to remove damaged packets\n");
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(sensorDecoderTest, JuxPacketsWithoutReadingsBeforeTheFirstPairLeaveTheClockAlone) {
    auto header = headerOf({juxStream(1000, 10)});
    sensorDecoder decoder(&header);
    CaptureStderr();
    feed(decoder, streamJUX, boardPacketBuilder::juxWithoutReadings(4));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(decoder.juxClock().first, timePair{});
    EXPECT_EQ(decoder.juxClock().fileTime, -1);

    juxSensorFields f;
    f.mag = {1, 2, 3};
    feed(decoder, streamJUX, boardPacketBuilder::juxSensor(0x0E, 7, 100, f));
    EXPECT_EQ(decoder.juxClock().first, (timePair{7, 100}));
    EXPECT_EQ(decoder.juxClock().fileTime, 0);
    EXPECT_EQ(decoder.juxChannels()[juxYMag]->batchCount(), 1);
    EXPECT_EQ(decoder.juxChannels()[juxYMag]->batch()[0], 2.0);

    // Later such packets repeat the last pair: the time stays, nothing is added.
    feed(decoder, streamJUX, boardPacketBuilder::juxWithoutReadings(128));
    EXPECT_EQ(decoder.juxClock().fileTime, 0);
    EXPECT_EQ(decoder.juxChannels()[juxYMag]->batchCount(), 0);

    auto bad = boardPacketBuilder::juxWithoutReadings(4);
    boardPacketBuilder::spoilChecksum(bad);
    CaptureStderr();
    feed(decoder, streamJUX, bad);
    EXPECT_EQ(GetCapturedStderr(), "# WARNING: JUX packet 3, Packet CRC invalid\n");
    EXPECT_EQ(decoder.juxState().unhandledPackets, 3);
}

TEST_F(sensorDecoderTest, GpsRecords) {
    auto header = headerOf({qor2Stream(1000), streamOf("sgps", 3)}, 0x0102030405060708ULL);
    sensorDecoder decoder(&header);

    // Before the first main-board packet the session time is -1 + -1 ticks: -20 ms.
    feed(decoder, streamSIRF_GPS, gpsPacket({0xAA}), 77);
    ASSERT_EQ(decoder.gpsRecord().length, 21);
    EXPECT_EQ(static_cast<int32_t>(readLE32(decoder.gpsRecord().bytes.data())), -20);

    feed(decoder, streamQOR2, compassPacket(0, 0));
    feed(decoder, streamQOR2, compassPacket(50, 0));  // 50,000 ticks = 500 s
    feed(decoder, streamSIRF_GPS, gpsPacket({0x10, 0x20, 0x30}), 0xDEADBEEF);
    const std::vector<uint8_t> expected = {0x20, 0xA1, 0x07, 0x00,                          // 500,000 ms
                                           0xEF, 0xBE, 0xAD, 0xDE,                          // container timestamp
                                           0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // file start
                                           0x03, 0x00, 0x00, 0x00,                          // n
                                           0x10, 0x20, 0x30};
    ASSERT_EQ(decoder.gpsRecord().length, 23);
    EXPECT_EQ(std::vector<uint8_t>(decoder.gpsRecord().bytes.begin(), decoder.gpsRecord().bytes.begin() + 23), expected);
    EXPECT_EQ(decoder.gpsBytes(), 4);
}

TEST_F(sensorDecoderTest, GpsPacketsThatCarryNoRecord) {
    auto header = headerOf({qor2Stream(1000), streamOf("sgps", 3)});
    sensorDecoder decoder(&header);
    auto noData = gpsPacket({});
    noData[3] = 255;
    auto cut = gpsPacket({1, 2, 3, 4});
    cut.pop_back();
    CaptureStderr();
    feed(decoder, streamSIRF_GPS, noData);
    feed(decoder, streamSIRF_GPS, {0xA0, 0xA2, 0x00});
    feed(decoder, streamSIRF_GPS, cut);
    EXPECT_EQ(GetCapturedStderr(),
              "# WARNING: SIRF_GPS packet 1 too short, skipped\n"
              "# WARNING: SIRF_GPS packet 2 too short, skipped\n");
    EXPECT_EQ(decoder.gpsRecord().length, 0);
    EXPECT_EQ(decoder.gpsBytes(), 0);

    // Without an interrupt maximum there is no time base: the time is 0 ms.
    auto noIntmax = headerOf({qor2Stream(0), streamOf("sgps", 3)});
    sensorDecoder other(&noIntmax);
    feed(other, streamSIRF_GPS, gpsPacket({1}));
    ASSERT_EQ(other.gpsRecord().length, 21);
    EXPECT_EQ(readLE32(other.gpsRecord().bytes.data()), 0u);
}

TEST_F(sensorDecoderTest, SessionTimeAndCalibrationCarryToTheNextFile) {
    carryOver record;
    auto header = headerOf({qor2Stream(1000), streamOf("sgps", 3)});
    {
        sensorDecoder first(&header);
        EXPECT_FALSE(first.loadCarryOver(record));
        qor2SensorFields f;
        f.barTemp = 20224;
        f.shtTemp = 6400;
        feed(first, streamQOR2, boardPacketBuilder::qor2Sensor(0, 0xA0, 4, 0, f), 100);
        feed(first, streamQOR2, compassPacket(6, 500), 200);
        first.saveCarryOver(record);
    }
    EXPECT_TRUE(record.valid);
    EXPECT_EQ(record.qor2SessionTime, 2500);
    EXPECT_EQ(record.juxSessionTime, -2);  // a board that never ran: -1 + -1
    EXPECT_EQ(record.lastD2, 20224);
    EXPECT_EQ(record.firstPacketTimestamp, 100u);

    sensorDecoder second(&header);
    ASSERT_TRUE(second.loadCarryOver(record));
    EXPECT_EQ(second.firstPacketTimestamp(), 100u);
    // The first packet of the new file stands where the last one of the old file did,
    // and the barometer and humidity readings of the old file still serve.
    qor2SensorFields f;
    f.pressure = 8192;
    f.humidity = 1000;
    feed(second, streamQOR2, boardPacketBuilder::qor2Sensor(0, 0x50, 200, 0, f), 300);
    EXPECT_EQ(second.qor2Clock().fileTime, 0);
    EXPECT_EQ(second.qor2Channels()[qor2BarPress]->batchCount(), 1);
    EXPECT_EQ(second.qor2Channels()[qor2Humidity]->batchCount(), 1);
    feed(second, streamSIRF_GPS, gpsPacket({9}));
    EXPECT_EQ(readLE32(second.gpsRecord().bytes.data()), 25000u);  // 2500 ticks = 25 s
    EXPECT_EQ(second.lastPacketTimestamp(), 0u);
}

// The entries of a recording with audio are the golden test's; without an audio rate
// the audio lines say so and the audio timestamps are left out.
TEST_F(sensorDecoderTest, StatisticsWithoutAudio) {
    auto qor2 = qor2Stream(1000, 0, 40);
    qor2.atoms.push_back(intAtom("wd01", 3));       // C1 = 1, C5 = 1024
    qor2.atoms.push_back(intAtom("wd02", 0x0047));  // C5 += 1, C6 = 7
    auto header = headerOf({qor2, juxStream(2000, 20), streamOf("sgps", 3), streamOf("cams", 17)}, 99);
    sensorDecoder decoder(&header);
    feed(decoder, streamINVALID, {}, 1);
    feed(decoder, streamQOR2, compassPacket(0, 0), 10);
    feed(decoder, streamQOR2, compassPacket(2, 500), 20);
    auto bad = compassPacket(3, 0);
    boardPacketBuilder::spoilChecksum(bad);
    CaptureStderr();
    feed(decoder, streamQOR2, bad, 30);
    GetCapturedStderr();
    feed(decoder, streamSIRF_GPS, gpsPacket({1, 2}), 40);
    juxSensorFields f;
    feed(decoder, streamJUX, boardPacketBuilder::juxSensor(0x01, 0, 0, f), 50);
    feed(decoder, streamJUX, boardPacketBuilder::juxSensor(0x01, 1, 0, f), 50);

    metaList keys;
    metaList values;
    decoder.writeStatistics(keys, values);
    ASSERT_EQ(keys.size(), values.size());
    std::vector<std::string> lines;
    for (size_t i = 0; i < keys.size(); ++i) lines.push_back(keys[i] + "=" + values[i]);

    const auto calibration = std::find(lines.begin(), lines.end(), "qor2_calib_bar_C6=7");
    ASSERT_NE(calibration, lines.end());
    EXPECT_EQ(std::vector<std::string>(calibration + 1, calibration + 4),
              (std::vector<std::string>{"qor2_recvieved_audio=0", "qor2_expected_audio=0.000000",
                                        "qor2_schedule_audio=0.000000"}));
    EXPECT_EQ(calibration - lines.begin(), 14);
    // 15 main-board channels, then the second board, GPS and camera.
    EXPECT_EQ(lines.size(), 15 + 15 * 3 + 5 + 10 * 3 + 2 + 3);
}

TEST_F(sensorDecoderTest, StatisticsOfAnEmptyFile) {
    auto header = headerOf({qor2Stream(1000, 8, 40)});
    sensorDecoder decoder(&header);
    metaList keys;
    metaList values;
    decoder.writeStatistics(keys, values);
    EXPECT_EQ(values[0], "4294967295");
    EXPECT_EQ(values[1], "4294967295");
    EXPECT_EQ(keys[15], "qor2_audioFirstTimestamp");
    EXPECT_EQ(values[15], "-1.000000");
    EXPECT_EQ(keys[17], "qor2_recvieved_audio");
    EXPECT_EQ(values[18], "-0.080000");  // fileTime -1 / 1000 * 80
}

TEST_F(sensorDecoderTest, DecodesWhatTheReaderDelivers) {
    qor2Settings qor2;
    qor2.intr = 1000;
    qor2.mic = 8;
    qor2.comp = 40;
    juxSettings jux;
    jux.intr = 1000;
    jux.mag = 40;
    containerBuilder builder;
    builder.setFileStartTime(5000);
    builder.addQor2Stream(3, qor2);
    builder.addJuxStream(4, jux);
    builder.addSirfGpsStream(5);
    const auto audio = boardPacketBuilder::qor2Audio(0, 0, {0x8000, 0x8001});
    juxSensorFields f;
    f.mag = {7, 8, 9};
    const auto magnetometer = boardPacketBuilder::juxSensor(0x0E, 0, 300, f);
    auto spoilt = compassPacket(0, 100);
    boardPacketBuilder::spoilChecksum(spoilt);
    const auto compass = compassPacket(0, 250, 1800);
    const auto gps = gpsPacket({0x42});
    builder.addFrame(3, 10, audio).addFrame(4, 20, magnetometer).addFrame(3, 30, spoilt).addFrame(3, 40, compass);
    builder.addFrame(5, 50, gps);

    const testing_support::scratchDirectory dir;
    const std::string path = dir / "decodeReader.snsr";
    ASSERT_TRUE(builder.writeFile(path));
    {
        packetReader reader(path);
        ASSERT_TRUE(reader.fileOk());
        sensorDecoder decoder(reader.header());
        snsrPacket packet;
        CaptureStderr();
        while (reader.hasData()) {
            reader.readPacket(packet);
            EXPECT_TRUE(decoder.processPacket(packet).ok());
        }
        EXPECT_EQ(GetCapturedStderr(),
                  "# WARNING: QOR2 packet 2, Packet CRC invalid\n"
                  "# WARNING: Packet      3, Filling   8 missing samples for field qor2/compass\n");
        EXPECT_EQ(decoder.qor2State().validPackets, 2);
        EXPECT_EQ(decoder.qor2State().received[qor2Audio], 2);
        EXPECT_EQ(decoder.qor2Clock().fileTime, 250);
        EXPECT_EQ(decoder.qor2Channels()[qor2Compass]->lastTimestamp(), 2.5);
        EXPECT_EQ(decoder.juxState().received[juxZMag], 1);
        EXPECT_EQ(decoder.gpsBytes(), 1);
        EXPECT_EQ(readLE32(decoder.gpsRecord().bytes.data()), 2500u);
        EXPECT_EQ(readLE64(decoder.gpsRecord().bytes.data() + 8), 5000u);
        EXPECT_EQ(decoder.firstPacketTimestamp(), 10u);
        EXPECT_EQ(decoder.lastPacketTimestamp(), 50u);
    }
}

}  // namespace
}  // namespace sensconv
