// The receiver protocol decoder on hand-built frames: fields of both navigation
// messages, frames split anywhere, damage of every kind, and GPS week roll-overs.

#include "decode/sirfDecoder.h"

#include <gtest/gtest.h>

#include <span>
#include <vector>

#include "decode/gpsTime.h"
#include "decode/sirfTestFrames.h"

namespace sensconv {
namespace {

using namespace sirfTest;

struct collector final : sirfNavigationSink {
    std::vector<gpsNavigation> messages;
    void navigation(const gpsNavigation& m) override { messages.push_back(m); }
};

struct decoderRun {
    collector sink;
    sirfDecoder decoder{sink};
    void feed(const bytes& b, int64_t record = 0) {
        decoder.feed(std::span<const uint8_t>(b), sirfRecordTag{record, static_cast<int32_t>(record * 10), 0});
    }
};

// 2025-03-14T09:30:01.150Z: GPS week 2357 (309 modulo 1024), 466,219,150 ms into it.
constexpr int64_t utc2025 = 1741944601150;

TEST(sirfDecoderTest, GeodeticMessageSplitAcrossRecordsGivesEveryField) {
    const geodetic g = geodeticAt(1);
    const bytes whole = bytes{0x13, 0x55} + frame(geodeticPayload(g));
    decoderRun run;
    // One byte per record: the message belongs to the record of its first byte.
    for (size_t i = 0; i < whole.size(); ++i) run.feed(bytes{whole[i]}, static_cast<int64_t>(i));
    run.decoder.finish();

    ASSERT_EQ(run.sink.messages.size(), 1u);
    const gpsNavigation& m = run.sink.messages[0];
    EXPECT_EQ(m.message, 41);
    EXPECT_EQ(m.tag.record, 2);
    EXPECT_EQ(m.tag.sessionMs, 20);
    EXPECT_TRUE(m.fix);
    EXPECT_EQ(m.utcMs, utc2025);
    EXPECT_EQ(m.gpsMs, gpsTime::gpsMs(2357, 466219150));
    EXPECT_DOUBLE_EQ(m.latitudeDeg, 46.1559758);
    EXPECT_DOUBLE_EQ(m.longitudeDeg, -8.9542213);
    EXPECT_DOUBLE_EQ(m.heightEllipsoidM, 474.40);
    EXPECT_DOUBLE_EQ(*m.altitudeMslM, 426.40);
    EXPECT_DOUBLE_EQ(m.speedMps, 1.41);
    EXPECT_DOUBLE_EQ(m.courseDeg, 258.01);
    EXPECT_DOUBLE_EQ(m.climbMps, -0.35);
    EXPECT_DOUBLE_EQ(*m.horizontalErrorM, 5.12);
    EXPECT_DOUBLE_EQ(*m.verticalErrorM, 7.68);
    EXPECT_EQ(m.fixType, 4);
    EXPECT_EQ(m.satellites, 7);
    EXPECT_DOUBLE_EQ(*m.hdop, 2.4);
    EXPECT_EQ(run.decoder.counters().frames, 1);
    EXPECT_EQ(run.decoder.counters().skippedBytes, 2);
}

TEST(sirfDecoderTest, MeasuredMessageGivesTheWgs84PointAndUtcOfItsWeekAndTime) {
    double x = 0, y = 0, z = 0;
    ecefOf(46.1559758, 8.9542213, 474.4, x, y, z);
    measured m;
    m.x = static_cast<int32_t>(std::lround(x));
    m.y = static_cast<int32_t>(std::lround(y));
    m.z = static_cast<int32_t>(std::lround(z));
    m.week = 309;
    m.tow10ms = 46621915;
    m.satellites = 8;
    m.hdop5 = 12;
    // 2 m/s due east at longitude 8.954...: the east axis is (-sin lon, cos lon, 0).
    const double lon = 8.9542213 * std::numbers::pi / 180.0;
    m.vx = static_cast<int16_t>(std::lround(-std::sin(lon) * 16.0));
    m.vy = static_cast<int16_t>(std::lround(std::cos(lon) * 16.0));
    measured lost = m;
    lost.mode1 = 0;
    lost.x = lost.y = lost.z = 0;

    decoderRun run;
    run.decoder.setReferenceTime(utc2025 - 3 * 86400000LL);
    run.feed(frame(measuredPayload(m)) + frame(measuredPayload(lost)));
    ASSERT_EQ(run.sink.messages.size(), 2u);
    const gpsNavigation& fix = run.sink.messages[0];
    EXPECT_TRUE(fix.fix);
    EXPECT_EQ(fix.message, 2);
    EXPECT_EQ(fix.utcMs, utc2025);
    EXPECT_NEAR(fix.latitudeDeg, 46.1559758, 1e-5);
    EXPECT_NEAR(fix.longitudeDeg, 8.9542213, 1e-5);
    // The decoded point maps back onto the message's whole metres within a millimetre.
    double bx = 0, by = 0, bz = 0;
    ecefOf(fix.latitudeDeg, fix.longitudeDeg, fix.heightEllipsoidM, bx, by, bz);
    EXPECT_NEAR(bx, m.x, 1e-3);
    EXPECT_NEAR(by, m.y, 1e-3);
    EXPECT_NEAR(bz, m.z, 1e-3);
    EXPECT_FALSE(fix.altitudeMslM);
    EXPECT_NEAR(fix.speedMps, 2.0, 0.1);
    EXPECT_NEAR(fix.courseDeg, 90.0, 3.0);
    EXPECT_EQ(fix.satellites, 8);
    EXPECT_DOUBLE_EQ(*fix.hdop, 2.4);
    // Without a solution the message still tells the time, but no fix.
    EXPECT_FALSE(run.sink.messages[1].fix);
    EXPECT_EQ(run.sink.messages[1].utcMs, utc2025);
}

TEST(sirfDecoderTest, DamageIsCountedAndEveryIntactFrameAroundItIsFound) {
    const geodetic g = geodeticAt(1);
    const bytes good = frame(geodeticPayload(g));
    bytes badSum = good;
    badSum[30] ^= 0x01;
    bytes badEnd = good;
    badEnd.back() = 0xB4;
    const bytes cut(good.begin(), good.begin() + 40);  // a lost packet took the rest
    const bytes tooLong = {0xA0, 0xA2, 0x7F, 0xFF};   // a length no message has
    bytes shortGeodetic = geodeticPayload(g);
    shortGeodetic.resize(60);

    const bytes stream = bytes{0xA0, 0x13, 0xA0} + good + badSum + good + badEnd + good + cut + good + tooLong + good +
                         frame(shortGeodetic) + frame({9, 0, 1, 0, 2, 0, 3, 0, 4}) + frame({99, 1, 2}) + good +
                         bytes{0xA0, 0xA2, 0x00, 0x5B, 41, 0, 0};  // ends inside a frame
    // Records of any size give the same messages, each tagged with the record of its
    // first byte, and the same counts: byte by byte first, where the tag is the offset.
    std::vector<int64_t> firstBytes;
    sirfCounters byteByByte;
    for (const size_t recordSize : {size_t{1}, stream.size(), size_t{7}, size_t{64}}) {
        SCOPED_TRACE(recordSize);
        decoderRun run;
        for (size_t at = 0; at < stream.size(); at += recordSize) {
            run.feed(bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(std::min(at + recordSize, stream.size()))),
                     static_cast<int64_t>(at));
        }
        run.decoder.finish();

        const sirfCounters& c = run.decoder.counters();
        ASSERT_EQ(run.sink.messages.size(), 6u);  // every intact message 41
        EXPECT_EQ(c.badChecksumFrames, 1);
        // Wrong end bytes, the cut frame, the impossible length, the short message 41 and
        // the frame open at the end.
        EXPECT_EQ(c.badFrames, 5);
        EXPECT_EQ(c.unknownMessages, 1);  // 99; the throughput message 9 is known
        EXPECT_EQ(c.frames, 8);
        if (recordSize == 1) {
            byteByByte = c;
            for (const gpsNavigation& m : run.sink.messages) firstBytes.push_back(m.tag.record);
            continue;
        }
        EXPECT_EQ(c.skippedBytes, byteByByte.skippedBytes);
        for (size_t i = 0; i < firstBytes.size(); ++i) {
            const int64_t size = static_cast<int64_t>(recordSize);
            EXPECT_EQ(run.sink.messages[i].tag.record, firstBytes[i] - firstBytes[i] % size) << i;
        }
    }
}

TEST(sirfDecoderTest, ReceiverWithoutFixGivesNoFix) {
    geodetic g = geodeticAt(1);
    g.navValid = 1;
    g.navType = 0;
    decoderRun run;
    for (int i = 0; i < 3; ++i) run.feed(frame(geodeticPayload(g)));
    run.decoder.finish();
    ASSERT_EQ(run.sink.messages.size(), 3u);
    for (const gpsNavigation& m : run.sink.messages) EXPECT_FALSE(m.fix);
    EXPECT_EQ(run.decoder.counters().badFrames, 0);
}

TEST(sirfDecoderTest, WeekModulo1024IsPlacedNearTheReferenceOrTheReceiversFullWeek) {
    // The roll-over of April 2019: week 1023 ends at 2019-04-06T23:59:42Z (GPS 18 s ahead).
    measured before;
    before.week = 1023;
    before.tow10ms = 60479900;
    measured after;
    after.week = 0;
    after.tow10ms = 50;
    const int64_t endOfEra = 1554595182000;  // 2019-04-06T23:59:42Z
    for (const int64_t reference : {endOfEra - 86400000LL, endOfEra + 5 * 365 * 86400000LL, endOfEra - 5 * 365 * 86400000LL}) {
        decoderRun run;
        run.decoder.setReferenceTime(reference);
        run.feed(frame(measuredPayload(before)) + frame(measuredPayload(after)));
        ASSERT_EQ(run.sink.messages.size(), 2u);
        EXPECT_EQ(run.sink.messages[0].utcMs, endOfEra - 1000) << reference;
        EXPECT_EQ(run.sink.messages[1].utcMs, endOfEra + 500) << reference;
    }
    // A recorder clock that was never set (1970) leaves weeks 2048 to 3071: 2025 is found.
    measured in2025;
    in2025.week = 309;
    in2025.tow10ms = 46621915;
    decoderRun unset;
    unset.feed(frame(measuredPayload(in2025)));
    ASSERT_EQ(unset.sink.messages.size(), 1u);
    EXPECT_EQ(unset.sink.messages[0].utcMs, utc2025);

    // November 2038: week 3072 is 0 again. A recorder clock far off (here in 2010) is
    // overruled by the full week of a message 41.
    geodetic g = geodeticAt(1);
    g.week = 3071;
    decoderRun run;
    run.decoder.setReferenceTime(1262304000000);
    run.feed(frame(geodeticPayload(g)) + frame(measuredPayload(after)));
    ASSERT_EQ(run.sink.messages.size(), 2u);
    EXPECT_EQ(run.sink.messages[1].gpsMs, gpsTime::gpsMs(3072, 500));
    EXPECT_EQ(run.sink.messages[1].utcMs, 2173910382000 + 500);  // 2038-11-20T23:59:42.500Z
}

TEST(gpsTimeTest, LeapSecondsTakeEffectAtTheirInstant) {
    const int64_t newYear2017 = 1483228800000;
    EXPECT_EQ(gpsTime::gpsMinusUtcAtUtc(newYear2017 - 1), 17);
    EXPECT_EQ(gpsTime::gpsMinusUtcAtUtc(newYear2017), 18);
    EXPECT_EQ(gpsTime::gpsMinusUtcAtUtc(315964800000), 0);
    // GPS to UTC and back around the leap second, and on the first day of 1999.
    for (const int64_t utc : {newYear2017 - 1500, newYear2017, newYear2017 + 999, int64_t{915148800000}, utc2025}) {
        EXPECT_EQ(gpsTime::utcFromGps(gpsTime::gpsFromUtc(utc)), utc) << utc;
    }
    EXPECT_EQ(gpsTime::gpsFromUtc(utc2025), gpsTime::gpsMs(2357, 466219150));
    EXPECT_EQ(gpsTime::leapSeconds().back().gpsMinusUtc, 18);
}

}  // namespace
}  // namespace sensconv
