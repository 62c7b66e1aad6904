// gps.csv, gps.gpx and the clock check from a sirfGPSOutput.bin built record by record:
// messages split across records and input files, one row per navigation epoch.

#include "output/gpsTrackFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/littleEndian.h"
#include "decode/sirfTestFrames.h"
#include "output/outputTestSupport.h"

namespace sensconv {
namespace {

using namespace sirfTest;
using outputTest::readWhole;
using outputTest::scratchDirectory;

constexpr int64_t t0 = 1741944600000;  // 2025-03-14T09:30:00Z

// One record: session ms, container timestamp, file start, byte count, the bytes.
bytes record(int32_t sessionMs, uint64_t fileStartMs, const bytes& receiver) {
    bytes out(20);
    writeLE32(out.data(), static_cast<uint32_t>(sessionMs));
    writeLE32(out.data() + 4, 0);
    writeLE64(out.data() + 8, fileStartMs);
    writeLE32(out.data() + 16, static_cast<uint32_t>(receiver.size()));
    return out + receiver;
}

void writeRecords(const scratchDirectory& dir, const bytes& records) {
    std::FILE* file = std::fopen(dir.file("sirfGPSOutput.bin").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(records.data(), 1, records.size(), file);
    std::fclose(file);
}

// Message 2 of the epoch of geodeticAt(s).
measured measuredAt(int s) {
    // gpsd gives this point as 46.155970290, 8.954222816, 426.3212 m above the ellipsoid.
    measured m{4372187, 688906, 4577581};
    m.week = 309;
    m.tow10ms = (466218000 + static_cast<uint32_t>(s) * 1000 + 150) / 10;
    m.satellites = 9;
    return m;
}

TEST(gpsTrackFilesTest, OneRowPerEpochFromMessage41WhereSentAndAClockCheckPerFile) {
    scratchDirectory dir;
    const uint64_t start0 = t0;
    const uint64_t start1 = t0 + 60000;
    // Epoch 1: both messages, split over three records; message 41 starts in the
    // second, whose session time its row takes. Epoch 2: message 2 only, its height
    // above sea level from message 41's geoid height (48 m).
    // Epoch 3: message 41 without fix replaces message 2's fix. The second file
    // continues 94 s later: a new track segment.
    const bytes epoch1 = frame(measuredPayload(measuredAt(1))) + frame(geodeticPayload(geodeticAt(1)));
    geodetic noFix = geodeticAt(3);
    noFix.navType = 0;
    const bytes file0 = record(1150, start0, bytes(epoch1.begin(), epoch1.begin() + 30)) +
                        record(1158, start0, bytes(epoch1.begin() + 30, epoch1.begin() + 70)) +
                        record(1166, start0, bytes(epoch1.begin() + 70, epoch1.end())) +
                        record(2150, start0, frame(measuredPayload(measuredAt(2)))) +
                        record(3150, start0, frame(measuredPayload(measuredAt(3))) + frame(geodeticPayload(noFix)));
    const bytes epoch4 = frame(geodeticPayload(geodeticAt(4 + 94)));
    const bytes file1 = record(3170, start1, bytes(epoch4.begin(), epoch4.begin() + 50)) +
                        record(3180, start1, bytes(epoch4.begin() + 50, epoch4.end())) +
                        record(4170, start1, frame(geodeticPayload(geodeticAt(5 + 94))));
    writeRecords(dir, file0 + file1);

    runStatus run;
    gpsTrackFiles tracks(dir.path(), run);
    tracks.fileDone(5);
    tracks.fileDone(8);
    // The converter's time: the first file runs 250 ms behind the receiver, the
    // second 2.5 s ahead of it plus a drift of 10 ms between its two fixes.
    const recordUtcFunction recordUtc = [](int32_t file, int32_t sessionMs) -> std::optional<double> {
        if (file == 0) return static_cast<double>(t0 + sessionMs) - 250.0;
        return static_cast<double>(t0 + 94980 + sessionMs) + 2500.0 + (sessionMs - 3170) / 100.0;
    };
    const gpsSessionSummary summary = tracks.finish(recordUtc);

    EXPECT_EQ(readWhole(dir.file("gps.csv")),
              "utc,session_ms,latitude_deg,longitude_deg,altitude_m,speed_mps,course_deg,fix_type,satellites,hdop,source\n"
              "2025-03-14T09:30:01.150Z,1158,46.1559758,-8.9542213,426.40,1.41,258.01,4,7,2.4,41\n"
              "2025-03-14T09:30:02.150Z,2150,46.1559703,8.9542228,378.32,0.00,0.00,4,9,,2\n"
              "2025-03-14T09:31:38.150Z,3170,46.1559758,-8.9542213,426.40,1.41,258.01,4,7,2.4,41\n"
              "2025-03-14T09:31:39.150Z,4170,46.1559758,-8.9542213,426.40,1.41,258.01,4,7,2.4,41\n");
    const std::string gpx = readWhole(dir.file("gps.gpx"));
    EXPECT_EQ(gpx.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\"", 0), 0u);
    EXPECT_NE(gpx.find("    <trkseg>\n"
                       "      <trkpt lat=\"46.1559758\" lon=\"-8.9542213\"><ele>426.40</ele>"
                       "<time>2025-03-14T09:30:01.150Z</time><geoidheight>48.00</geoidheight><fix>3d</fix>"
                       "<sat>7</sat><hdop>2.4</hdop></trkpt>\n"
                       "      <trkpt lat=\"46.1559703\" lon=\"8.9542228\"><ele>378.32</ele>"
                       "<time>2025-03-14T09:30:02.150Z</time><geoidheight>48.00</geoidheight><fix>3d</fix><sat>9</sat>"
                       "</trkpt>\n"
                       "    </trkseg>\n"
                       "    <trkseg>\n"),
              std::string::npos)
        << gpx;
    const std::string tail = "</trkpt>\n    </trkseg>\n  </trk>\n</gpx>\n";
    EXPECT_EQ(gpx.substr(gpx.size() - tail.size()), tail);

    EXPECT_TRUE(summary.tracksWritten);
    EXPECT_EQ(summary.records, 8);
    EXPECT_EQ(summary.fixes, 4);
    EXPECT_EQ(summary.counters.frames, 7);
    EXPECT_EQ(*summary.firstFixMs, t0 + 1150);
    EXPECT_EQ(*summary.lastFixMs, t0 + 99150);
    ASSERT_EQ(summary.clockChecks.size(), 2u);
    ASSERT_TRUE(summary.clockChecks[0] && summary.clockChecks[1]);
    EXPECT_EQ(summary.clockChecks[0]->fixes, 2);
    EXPECT_DOUBLE_EQ(summary.clockChecks[0]->medianOffsetMs, 246.0);
    EXPECT_DOUBLE_EQ(summary.clockChecks[0]->minOffsetMs, 242.0);
    EXPECT_DOUBLE_EQ(summary.clockChecks[0]->maxOffsetMs, 250.0);
    EXPECT_EQ(summary.clockChecks[1]->fixes, 2);
    EXPECT_DOUBLE_EQ(summary.clockChecks[1]->minOffsetMs, -2510.0);
    EXPECT_DOUBLE_EQ(summary.clockChecks[1]->maxOffsetMs, -2500.0);
    EXPECT_DOUBLE_EQ(summary.clockChecks[1]->medianOffsetMs, -2505.0);
}

// The receiver's stream cut into records of 1 to 7 bytes, several megabytes of them:
// record heads and frames fall across the reads of the file. The stream ends inside a
// frame.
TEST(gpsTrackFilesTest, TinyRecordsAcrossManyReadsAndACutOffLastRecord) {
    constexpr int fixes = 1800;
    bytes tracker(200, 0);
    tracker[0] = 4;
    bytes stream;
    for (int s = 0; s <= fixes; ++s) {
        const bytes next = frame(geodeticPayload(geodeticAt(s))) + frame(tracker);
        stream.insert(stream.end(), next.begin(), next.end());
    }
    stream.resize(stream.size() - 250);  // inside the last fix's frame
    bytes records;
    int64_t count = 0;
    for (size_t at = 0; at < stream.size(); ++count) {
        const size_t n = std::min<size_t>(1 + count % 7, stream.size() - at);
        const bytes next = record(static_cast<int32_t>(at), t0, bytes(stream.begin() + at, stream.begin() + at + n));
        records.insert(records.end(), next.begin(), next.end());
        at += n;
    }
    ASSERT_GT(records.size(), 2u * 1024 * 1024);
    scratchDirectory dir;
    writeRecords(dir, records);
    runStatus run;
    gpsTrackFiles tracks(dir.path(), run);
    tracks.fileDone(count);
    const gpsSessionSummary summary = tracks.finish(nullptr);
    EXPECT_EQ(summary.records, count);
    EXPECT_EQ(summary.fixes, fixes);
    EXPECT_EQ(summary.counters.frames, 2 * fixes);
    EXPECT_EQ(summary.counters.badFrames, 1);
    const std::string csv = readWhole(dir.file("gps.csv"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), fixes + 1);
    EXPECT_NE(csv.find("\n2025-03-14T09:59:59.150Z,"), std::string::npos);
}

TEST(gpsTrackFilesTest, NoFixGivesEmptyTracksAndGarbageGivesNone) {
    scratchDirectory silent;
    geodetic noFix = geodeticAt(1);
    noFix.navType = 0;
    writeRecords(silent, record(1150, t0, frame(geodeticPayload(noFix))) + record(2150, t0, bytes{0xA0, 0xA2, 0x00}));
    runStatus run;
    gpsTrackFiles tracks(silent.path(), run);
    tracks.fileDone(2);
    const gpsSessionSummary summary = tracks.finish([](int32_t, int32_t) { return std::optional<double>(0.0); });
    EXPECT_TRUE(summary.tracksWritten);
    EXPECT_EQ(summary.fixes, 0);
    EXPECT_EQ(summary.counters.badFrames, 1);  // cut off at the end
    EXPECT_FALSE(summary.firstFixMs);
    ASSERT_EQ(summary.clockChecks.size(), 1u);
    EXPECT_FALSE(summary.clockChecks[0]);
    EXPECT_EQ(readWhole(silent.file("gps.csv")),
              "utc,session_ms,latitude_deg,longitude_deg,altitude_m,speed_mps,course_deg,fix_type,satellites,hdop,source\n");
    EXPECT_EQ(readWhole(silent.file("gps.gpx")).find("<trkseg>"), std::string::npos);

    // Bytes that never form a frame of the receiver's protocol: no track at all.
    scratchDirectory garbage;
    writeRecords(garbage, record(5, t0, bytes{0x40, 0x41, 0xA0, 0x42}));
    const gpsSessionSummary none = gpsTrackFiles(garbage.path(), run).finish(nullptr);
    EXPECT_FALSE(none.tracksWritten);
    EXPECT_FALSE(run.outputLost());
    EXPECT_EQ(none.records, 1);
    EXPECT_EQ(none.counters.skippedBytes, 4);
    EXPECT_FALSE(outputTest::fileExists(garbage.file("gps.csv")));
    EXPECT_FALSE(outputTest::fileExists(garbage.file("gps.gpx")));
}

}  // namespace
}  // namespace sensconv
