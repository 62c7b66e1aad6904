#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "container/containerBuilder.h"
#include "container/containerTestFiles.h"
#include "container/packetReader.h"
#include "platform/platform.h"

namespace sensconv {
namespace {

using testing_support::fileExists;
using testing_support::memoryStream;
using testing_support::scratchDirectory;
using testing_support::writeBytes;

// What one readPacket call gave.
struct delivery {
    packetReader::readResult result = packetReader::readResult::endOfData;
    bool hasData = false;
    int32_t type = 0;
    int32_t id = 0;
    uint32_t timestamp = 0;
    int32_t length = 0;
    int32_t index = 0;
    std::vector<uint8_t> payload;
};

// Reads until hasData is false, as the driver does, collecting every record and
// everything printed on the way.
struct readLog {
    std::vector<delivery> calls;
    std::string messages;

    std::vector<delivery> packets() const {
        std::vector<delivery> out;
        for (const delivery& d : calls) {
            if (d.result == packetReader::readResult::delivered) out.push_back(d);
        }
        return out;
    }
};

readLog readAll(packetReader& reader, size_t maxCalls = 1000000) {
    readLog log;
    snsrPacket packet;
    ::testing::internal::CaptureStderr();
    while (reader.hasData() && log.calls.size() < maxCalls) {
        delivery d;
        d.result = reader.readPacket(packet);
        d.hasData = reader.hasData();
        d.type = packet.type;
        d.id = packet.id;
        d.timestamp = packet.timestamp;
        d.length = packet.length;
        d.index = packet.index;
        if (packet.data != nullptr) d.payload.assign(packet.data, packet.data + packet.length);
        log.calls.push_back(std::move(d));
    }
    log.messages = ::testing::internal::GetCapturedStderr();
    return log;
}

std::vector<uint8_t> payloadOf(size_t length, uint8_t first = 1) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

std::string text(const std::string& format, int64_t a, int64_t b = 0) {
    std::string out(format.size() + 64, '\0');
    const int n = std::snprintf(out.data(), out.size(), format.c_str(), static_cast<long long>(a), static_cast<long long>(b));
    out.resize(static_cast<size_t>(n));
    return out;
}

const std::string badIdLine = "# snsr_packetReader: WARNING - file index %lld, SNSR Packet's ID is invalid\n";
const std::string badTimestampLine = "# snsr_packetReader: WARNING - file index %lld, SNSR Packet's timestamp is invalid\n";
const std::string badLengthLine = "# snsr_packetReader: WARNING - file index %lld, SNSR Packet's length is invalid\n";
const std::string searchLine = "# snsr_packetReader: SNSR Error mode, looking for new snsr packet, start pos: %lld packet:\n";
const std::string foundLine = "# snsr_packetReader: SNSR Error mode, found new snsr packet, at pos: %lld (%lld bytes skipped)\n";
const std::string cutOffLine = "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n";
const std::string badHeaderLine = "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n";

// A reader over the bytes of a builder, through a memory stream.
class packetReaderTest : public ::testing::Test {
protected:
    packetReader& open(const containerBuilder& builder) {
        bytes_ = builder.bytes();
        headerSize_ = static_cast<int64_t>(builder.headerBytes().size());
        reader_ = std::make_unique<packetReader>(memoryStream(bytes_), "memory");
        return *reader_;
    }
    static containerBuilder twoStreams() {
        containerBuilder builder;
        builder.setFileStartTime(1230000000000ULL);
        builder.addQor2Stream(7, qor2Settings{});
        builder.addSirfGpsStream(2);
        return builder;
    }

    std::vector<uint8_t> bytes_;
    int64_t headerSize_ = 0;
    std::unique_ptr<packetReader> reader_;
};

TEST_F(packetReaderTest, DeliversFramesWithTypeIndexAndPayloadThenEndsWithAnEmptyRecord) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 0, payloadOf(74)).addFrame(2, 0, payloadOf(5, 100)).addFrame(7, 30, payloadOf(74, 3));
    builder.addFrame(2, 40, payloadOf(4096, 9));
    packetReader& reader = open(builder);
    ASSERT_TRUE(reader.fileOk());
    EXPECT_EQ(reader.numStreams(), 2);
    EXPECT_EQ(reader.fileStartTime(), 1230000000000ULL);

    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, "");
    ASSERT_EQ(log.calls.size(), 5u);
    const int32_t types[] = {streamQOR2, streamSIRF_GPS, streamQOR2, streamSIRF_GPS};
    const uint32_t timestamps[] = {0, 0, 30, 40};
    for (int i = 0; i < 4; ++i) {
        const delivery& d = log.calls[static_cast<size_t>(i)];
        EXPECT_EQ(d.result, packetReader::readResult::delivered);
        EXPECT_TRUE(d.hasData);
        EXPECT_EQ(d.type, types[i]);
        EXPECT_EQ(d.timestamp, timestamps[i]);
        EXPECT_EQ(d.index, i);
    }
    EXPECT_EQ(log.calls[1].payload, payloadOf(5, 100));
    EXPECT_EQ(log.calls[3].payload, payloadOf(4096, 9));
    EXPECT_EQ(log.calls[3].length, 4096);

    const delivery& last = log.calls[4];
    EXPECT_EQ(last.result, packetReader::readResult::endOfData);
    EXPECT_FALSE(last.hasData);
    EXPECT_EQ(last.type, streamINVALID);
    EXPECT_EQ(last.id, -1);
    EXPECT_EQ(last.index, -1);
    EXPECT_EQ(last.length, 0);

    EXPECT_EQ(reader.numParsedPackets(), 4);
    EXPECT_EQ(reader.numCorruptSections(), 0);
    // The first timestamp comes from the packet before the first one that follows a
    // non-zero timestamp: 0, 0, 30, 40 gives 30.
    EXPECT_EQ(reader.firstSNSRTimestamp(), 30u);
    EXPECT_EQ(reader.lastSNSRTimestamp(), 40u);
    EXPECT_EQ(reader.streamCounts(), (std::map<int32_t, int64_t>{{streamSIRF_GPS, 2}, {streamQOR2, 2}}));
}

TEST_F(packetReaderTest, SinglePacketLeavesTheFirstTimestampZero) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 5000, payloadOf(3));
    packetReader& reader = open(builder);
    readAll(reader);
    EXPECT_EQ(reader.numParsedPackets(), 1);
    EXPECT_EQ(reader.firstSNSRTimestamp(), 0u);
    EXPECT_EQ(reader.lastSNSRTimestamp(), 5000u);
}

TEST_F(packetReaderTest, GarbageBetweenFramesIsSkippedAndReportedByteForByte) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 10, payloadOf(4));
    const uint8_t garbage[] = {255, 255, 255};
    builder.addRawBytes(garbage).addFrame(7, 20, payloadOf(4, 50));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);

    const int64_t bad = headerSize_ + 14;
    EXPECT_EQ(log.messages, text(badIdLine, bad) + text(searchLine, bad + 1) + text(foundLine, bad + 3, 2));
    const std::vector<delivery> packets = log.packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(log.calls.size(), 3u);  // the second frame came with the call that met the garbage
    EXPECT_EQ(packets[1].payload, payloadOf(4, 50));
    EXPECT_EQ(packets[1].index, 1);
    EXPECT_EQ(reader.numCorruptSections(), 1);
    EXPECT_EQ(reader.numCorruptBytesSkipped(), 2);
}

TEST_F(packetReaderTest, TimestampGoingBackIsACorruptFrame) {
    containerBuilder builder = twoStreams();
    const std::vector<uint8_t> filler(6, 0xEE);
    builder.addFrame(7, 10, filler).addFrame(7, 20, filler).addFrame(7, 15, filler).addFrame(7, 30, filler);
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);

    const int64_t third = headerSize_ + 2 * 16;
    const int64_t fourth = third + 16;
    EXPECT_EQ(log.messages,
              text(badTimestampLine, third) + text(searchLine, third + 1) + text(foundLine, fourth, fourth - third - 1));
    const std::vector<delivery> packets = log.packets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[2].timestamp, 30u);
    EXPECT_EQ(reader.numCorruptBytesSkipped(), fourth - third - 1);
}

TEST_F(packetReaderTest, TimestampJumpLimitIsInclusive) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 100000, payloadOf(2)).addFrame(7, 200000, payloadOf(2)).addFrame(7, 300001, payloadOf(2));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.packets().size(), 2u);
    EXPECT_EQ(log.messages.rfind(text(badTimestampLine, headerSize_ + 24), 0), 0u) << log.messages;
    EXPECT_EQ(reader.lastSNSRTimestamp(), 200000u);
}

TEST_F(packetReaderTest, FirstFrameBeyondTheJumpLimitLeavesNoPacket) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 150000, payloadOf(20));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, text(badTimestampLine, headerSize_) + text(searchLine, headerSize_ + 1));
    ASSERT_EQ(log.calls.size(), 2u);
    // The search meets the end with hasData still set; the next call ends the data.
    EXPECT_EQ(log.calls[0].result, packetReader::readResult::endOfData);
    EXPECT_TRUE(log.calls[0].hasData);
    EXPECT_EQ(log.calls[1].result, packetReader::readResult::endOfData);
    EXPECT_FALSE(log.calls[1].hasData);
    EXPECT_EQ(reader.numParsedPackets(), 0);
    EXPECT_EQ(reader.numCorruptSections(), 1);
    EXPECT_EQ(reader.numCorruptBytesSkipped(), 0);
}

TEST_F(packetReaderTest, IdAndLengthLimits) {
    containerBuilder builder = twoStreams();
    builder.addFrame(18, 1, payloadOf(1));
    builder.addFrameWithLength(7, 3, 4097, payloadOf(1));
    const uint8_t resume[] = {0xFF};
    builder.addRawBytes(resume).addFrame(7, 4, {});
    builder.addFrame(19, 5, payloadOf(1));
    builder.addFrame(2, 6, payloadOf(2, 77));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);

    const int64_t h = headerSize_;
    EXPECT_EQ(log.messages, text(badLengthLine, h + 11) + text(searchLine, h + 12) + text(foundLine, h + 23, 11) +
                                text(badIdLine, h + 33) + text(searchLine, h + 34) + text(foundLine, h + 44, 10));
    const std::vector<delivery> packets = log.packets();
    ASSERT_EQ(packets.size(), 3u);
    // An ID that no stream declares is type 0.
    EXPECT_EQ(packets[0].id, 18);
    EXPECT_EQ(packets[0].type, streamQOR);
    EXPECT_EQ(packets[1].length, 0);
    EXPECT_EQ(packets[2].payload, payloadOf(2, 77));
    EXPECT_EQ(reader.streamCounts(), (std::map<int32_t, int64_t>{{0, 1}, {streamSIRF_GPS, 1}, {streamQOR2, 1}}));
    EXPECT_EQ(reader.numCorruptSections(), 2);
    EXPECT_EQ(reader.numCorruptBytesSkipped(), 21);
}

// Inside a search, frame headers that fail any check are passed over without
// messages or new sections.
TEST_F(packetReaderTest, SearchPassesOverFurtherBadFrameHeadersQuietly) {
    containerBuilder builder = twoStreams();
    builder.addFrame(19, 1, payloadOf(1));
    builder.addFrameWithLength(7, 3, 4097, payloadOf(1));
    builder.addFrame(7, 200000, payloadOf(1));
    builder.addFrame(7, 4, payloadOf(1));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, text(badIdLine, headerSize_) + text(searchLine, headerSize_ + 1) +
                                text(foundLine, headerSize_ + 33, 32));
    EXPECT_EQ(reader.numParsedPackets(), 1);
    EXPECT_EQ(reader.numCorruptSections(), 1);
}

TEST_F(packetReaderTest, EmptyPayloadPointsAtTheNextFrame) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 1, {}).addFrame(2, 2, payloadOf(1));
    packetReader& reader = open(builder);
    snsrPacket packet;
    ASSERT_EQ(reader.readPacket(packet), packetReader::readResult::delivered);
    ASSERT_NE(packet.data, nullptr);
    EXPECT_EQ(packet.length, 0);
    EXPECT_EQ(packet.data[0], 2);  // low byte of the next frame's ID
    EXPECT_EQ(packet.data[2], 2);  // low byte of its timestamp
}

TEST_F(packetReaderTest, FrameCutOffByTheEndOfTheFile) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 1, payloadOf(10));
    builder.addFrameWithLength(7, 2, 20, payloadOf(4));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, cutOffLine);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[1].result, packetReader::readResult::cutOff);
    EXPECT_FALSE(log.calls[1].hasData);
    EXPECT_EQ(log.calls[1].type, streamINVALID);
    EXPECT_EQ(reader.numParsedPackets(), 1);
}

TEST_F(packetReaderTest, CutOffFrameFoundWhileSearchingEndsTheDataOnTheNextCall) {
    containerBuilder builder = twoStreams();
    const uint8_t garbage[] = {200};
    builder.addRawBytes(garbage).addFrameWithLength(7, 2, 20, payloadOf(4));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, text(badIdLine, headerSize_) + text(searchLine, headerSize_ + 1) + cutOffLine);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[0].result, packetReader::readResult::cutOff);
    EXPECT_TRUE(log.calls[0].hasData);
    EXPECT_EQ(log.calls[1].result, packetReader::readResult::cutOff);
    EXPECT_FALSE(log.calls[1].hasData);
}

TEST_F(packetReaderTest, TrailingBytesShorterThanAFrameHeaderEndTheDataQuietly) {
    containerBuilder builder = twoStreams();
    builder.addFrame(7, 1, payloadOf(3));
    builder.addRawBytes(payloadOf(9));
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, "");
    EXPECT_EQ(reader.numParsedPackets(), 1);
}

// Timestamps climb in steps of 100000 past the top of the 32-bit counter; after the
// wrap the reader keeps the last timestamp before it.
TEST_F(packetReaderTest, TimestampWrapIsHeldAtThePreviousValue) {
    containerBuilder builder = twoStreams();
    uint32_t timestamp = 0;
    uint32_t beforeWrap = 0;
    for (;;) {
        builder.addFrame(7, timestamp, {});
        beforeWrap = timestamp;
        const uint32_t next = timestamp + 100000;
        if (next < timestamp) break;
        timestamp = next;
    }
    const uint32_t afterWrap = beforeWrap + 90000;  // wraps to a small value
    builder.addFrame(7, afterWrap, payloadOf(1)).addFrame(7, afterWrap + 5, {});
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);

    const int64_t frames = reader.numParsedPackets();
    const int64_t wrappedPayload = headerSize_ + (frames - 2) * 10 + 10;
    const int64_t lastPayload = wrappedPayload + 1 + 10;
    const std::string line =
        "# WARNING: file index %lld, SNSR Packet's timestamp has moved backwards, discarding read timestamp %lld, "
        "and using previous timestamp " +
        std::to_string(beforeWrap) + "\n";
    EXPECT_EQ(log.messages, text(line, wrappedPayload, afterWrap) + text(line, lastPayload, afterWrap + 5));
    const std::vector<delivery> packets = log.packets();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[packets.size() - 2].timestamp, beforeWrap);
    EXPECT_EQ(packets.back().timestamp, beforeWrap);
    EXPECT_EQ(reader.lastSNSRTimestamp(), beforeWrap);
    EXPECT_GT(beforeWrap, 3000000000u);
    EXPECT_LT(afterWrap, 100000u);

    metaList keys;
    metaList values;
    reader.writeStatistics(keys, values);
    ASSERT_GE(values.size(), 7u);
    EXPECT_EQ(keys[5], "snsr_lastSNSRTimestamp");
    EXPECT_EQ(values[5], std::to_string(beforeWrap));
}

TEST_F(packetReaderTest, MoreThanNineteenStreamsAreKeptWithAWarning) {
    containerBuilder builder;
    for (uint16_t i = 0; i < 25; ++i) builder.addStream(i % 2 == 0 ? "qor2" : "camf", i);
    builder.addFrame(3, 1, payloadOf(1)).addFrame(4, 2, payloadOf(1));
    ::testing::internal::CaptureStderr();
    packetReader& reader = open(builder);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "# snsr_packetReader: WARNING, snsr header contains more streams, 25, than allowed, 19\n");
    ASSERT_TRUE(reader.fileOk());
    EXPECT_EQ(reader.numStreams(), 25);
    EXPECT_EQ(reader.header()->streams.size(), 25u);
    const std::vector<delivery> packets = readAll(reader).packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].type, streamCAMERA_FILES);
    EXPECT_EQ(packets[1].type, streamQOR2);
}

TEST_F(packetReaderTest, LaterStreamWithTheSameIdWins) {
    containerBuilder builder;
    builder.addSirfGpsStream(5);
    builder.addCameraStream(5);
    builder.addFrame(5, 1, payloadOf(1));
    packetReader& reader = open(builder);
    const std::vector<delivery> packets = readAll(reader).packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].type, streamCAMERA);
    EXPECT_EQ(reader.streamCounts(), (std::map<int32_t, int64_t>{{streamSIRF_GPS, 0}, {streamCAMERA, 1}}));
}

// The entries a normal recording gives are the golden test's; here the counters of
// damage, streams without packets and packets of no declared stream.
TEST_F(packetReaderTest, StatisticsOfDamageAndUnusualStreams) {
    containerBuilder builder;
    builder.setFileStartTime(1230000000000ULL);
    builder.addQor2Stream(1, qor2Settings{});
    builder.addSirfGpsStream(2);
    builder.addStream("camf", 3);
    builder.addStream("mic ", 4);
    builder.addStream("qor2", 5);
    builder.addFrame(1, 10, payloadOf(2)).addFrame(9, 20, payloadOf(2)).addFrame(1, 30, payloadOf(2));
    const uint8_t garbage[] = {0xFF, 0xFF, 0xFF, 0xFF};
    builder.addRawBytes(garbage).addFrame(2, 40, {});
    packetReader& reader = open(builder);
    readAll(reader);

    metaList keys = {"before"};
    metaList values = {"kept"};
    reader.writeStatistics(keys, values);
    ASSERT_EQ(keys.size(), 13u);
    EXPECT_EQ(keys[0] + values[0], "beforekept");
    EXPECT_EQ(values[2], "4");  // parsed packets
    EXPECT_EQ(values[3], "1");  // corrupt sections
    EXPECT_EQ(values[4], "3");  // corrupt bytes skipped
    const metaList streamKeys(keys.begin() + 8, keys.end());
    const metaList streamValues(values.begin() + 8, values.end());
    EXPECT_EQ(streamKeys, (metaList{"snsr_streamCounts_QOR", "snsr_streamCounts_SIRF_GPS", "snsr_streamCounts_QOR2",
                                    "snsr_streamCounts_MIC", "snsr_streamCounts_unkown_19"}));
    EXPECT_EQ(streamValues, (metaList{"1", "1", "2", "0", "0"}));
}

TEST_F(packetReaderTest, TwentyFourByteFileYieldsNoPacketsAndZeroStatistics) {
    containerBuilder builder;
    builder.addStream("xyz1", 1);
    builder.addStream("xyz2", 2);
    packetReader& reader = open(builder);
    const readLog log = readAll(reader);
    EXPECT_EQ(log.messages, "");
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].result, packetReader::readResult::endOfData);
    metaList keys;
    metaList values;
    reader.writeStatistics(keys, values);
    EXPECT_EQ(keys, (metaList{"snsr_numStreams", "snsr_numParsedPackets", "snsr_numCorruptSections",
                              "snsr_numCorruptBytesSkipped", "snsr_firstSNSRTimestamp", "snsr_lastSNSRTimestamp",
                              "snsr_fileStartTime", "snsr_streamCounts_UNKNOWN (RAW)"}));
    EXPECT_EQ(values, (metaList{"2", "0", "0", "0", "0", "0", "0", "0"}));
}

TEST(packetReaderFileTest, HeaderOnlyFileOfTwentyFourBytesIsReadable) {
    const scratchDirectory dir;
    const std::string path = dir / "empty.snsr";
    ASSERT_TRUE(writeBytes(path, containerBuilder().bytes()));
    packetReader reader(path);
    ASSERT_TRUE(reader.fileOk());
    EXPECT_EQ(reader.header()->file_name, path);
    snsrPacket packet;
    EXPECT_EQ(reader.readPacket(packet), packetReader::readResult::endOfData);
    EXPECT_FALSE(reader.hasData());
}

TEST(packetReaderFileTest, UnopenableOrInvalidFilesAreBad) {
    const scratchDirectory dir;
    const std::string empty = dir / "empty.snsr";
    const std::string badVersion = dir / "version3.snsr";
    ASSERT_TRUE(writeBytes(empty, {}));
    ASSERT_TRUE(writeBytes(badVersion, containerBuilder().setVersion(3).bytes()));
    const std::string missing = dir / "missing.snsr";
    const std::string directory = ::testing::TempDir();
    const std::string cannotOpen = "ERROR: can't open file %s\n# snsr_packetReader: ERROR, unable to open snsr file: %s\n";

    struct expectation {
        std::string path;
        std::string messages;
    };
    const std::vector<expectation> cases = {
        {missing, "ERROR: can't open file " + missing + "\n# snsr_packetReader: ERROR, unable to open snsr file: " + missing + "\n"},
        {directory, "ERROR: can't open file " + directory + "\n# snsr_packetReader: ERROR, unable to open snsr file: " +
                        directory + "\n"},
        {empty, badHeaderLine},
        {badVersion, badHeaderLine},
    };
    for (const expectation& e : cases) {
        ::testing::internal::CaptureStderr();
        packetReader reader(e.path, false);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), e.messages);
        EXPECT_FALSE(reader.fileOk());
        EXPECT_FALSE(reader.hasData());
        EXPECT_EQ(reader.header(), nullptr);
        snsrPacket packet;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(reader.readPacket(packet), packetReader::readResult::endOfData);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "# snsr_packetReader: ERROR snsr file is bad, unable to proceed\n");
        EXPECT_EQ(packet.type, streamINVALID);
    }
}

TEST(packetReaderFileTest, TraceFileMarksTheFileWhileTheReaderLives) {
    const scratchDirectory dir;
    const std::string good = dir / "good.snsr";
    const std::string bad = dir / "bad.snsr";
    containerBuilder builder;
    builder.addStream("qor2", 1);
    builder.addFrame(1, 1, payloadOf(2));
    ASSERT_TRUE(writeBytes(good, builder.bytes()));
    ASSERT_TRUE(writeBytes(bad, {'S', 'N', 'S', 'R', 1}));

    for (const std::string& path : {good, bad}) {
        const std::string mark = path + ".processing";
        {
            ::testing::internal::CaptureStderr();
            packetReader reader(path, true);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), path == good ? "" : badHeaderLine);
            EXPECT_EQ(reader.fileOk(), path == good);
            ASSERT_TRUE(fileExists(mark)) << mark;
            EXPECT_TRUE(platform::isRegularFile(mark));
            std::FILE* file = std::fopen(mark.c_str(), "rb");
            ASSERT_NE(file, nullptr);
            EXPECT_EQ(std::fgetc(file), EOF);
            std::fclose(file);
            readAll(reader);
            EXPECT_TRUE(fileExists(mark)) << mark;
        }
        EXPECT_FALSE(fileExists(mark)) << mark;
    }

    // Without the flag no mark is made.
    {
        packetReader reader(good, false);
        EXPECT_FALSE(fileExists(good + ".processing"));
    }
}

TEST(packetReaderFileTest, TraceFileInTheWayIsReportedAndReadingGoesOn) {
    const scratchDirectory dir;
    const std::string path = dir / "marked.snsr";
    containerBuilder builder;
    builder.addStream("qor2", 1);
    builder.addFrame(1, 1, payloadOf(2));
    ASSERT_TRUE(writeBytes(path, builder.bytes()));
    // Something else already stands where the mark would go.
    const std::string mark = path + ".processing";
    ASSERT_EQ(::mkdir(mark.c_str(), 0700), 0);
    {
        ::testing::internal::CaptureStderr();
        packetReader reader(path, true);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "# WARNING: Trace file " + mark + " already exists or is a link, going on without it\n");
        EXPECT_TRUE(reader.fileOk());
        snsrPacket packet;
        EXPECT_EQ(reader.readPacket(packet), packetReader::readResult::delivered);
    }
    // The reader removes only a mark it made itself.
    struct stat info {};
    EXPECT_EQ(::stat(mark.c_str(), &info), 0);
    ::rmdir(mark.c_str());
}

// Reading from standard input happens in a child process, whose standard input is
// replaced by a fixture file or a pipe. The child's exit status is the number of
// packets it read; the checks on stderr look at its messages.
containerBuilder standardInputFixture() {
    containerBuilder builder;
    builder.addQor2Stream(1, qor2Settings{});
    builder.addFrame(1, 10, payloadOf(30));
    const uint8_t garbage[] = {0xFF, 0xFF};
    builder.addRawBytes(garbage).addFrame(1, 20, payloadOf(30)).addFrame(1, 30, payloadOf(30));
    return builder;
}

[[noreturn]] void readStandardInputAndExit(const char* name) {
    packetReader reader(name);
    if (!reader.fileOk() || reader.header()->file_name != "stdin") std::_Exit(100);
    snsrPacket packet;
    int count = 0;
    while (reader.hasData()) {
        if (reader.readPacket(packet) == packetReader::readResult::delivered) ++count;
    }
    std::fflush(stderr);
    std::_Exit(count);
}

std::string expectedStandardInputMessages() {
    const int64_t bad = static_cast<int64_t>(standardInputFixture().headerBytes().size()) + 40;
    return text(badIdLine, bad) + text(searchLine, bad + 1) + text(foundLine, bad + 2, 1);
}

std::string exactly(const std::string& textToMatch) {
    std::string pattern = "^";
    for (char c : textToMatch) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

TEST(packetReaderStandardInputTest, ReadsARedirectedFile) {
    const scratchDirectory dir;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = dir / "input.snsr";
    ASSERT_TRUE(writeBytes(path, standardInputFixture().bytes()));
    EXPECT_EXIT(
        {
            if (std::freopen(path.c_str(), "rb", stdin) == nullptr) std::_Exit(101);
            readStandardInputAndExit("StdIn");
        },
        ::testing::ExitedWithCode(3), exactly(expectedStandardInputMessages()));
}

// A pipe cannot tell its offset; the reader still counts its messages' offsets from
// the start of the data.
TEST(packetReaderStandardInputTest, ReadsAPipeWithOffsetsFromTheStartOfTheData) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<uint8_t> bytes = standardInputFixture().bytes();
    ASSERT_LT(bytes.size(), 4096u);
    EXPECT_EXIT(
        {
            int ends[2];
            if (::pipe(ends) != 0) std::_Exit(101);
            if (::write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::_Exit(102);
            ::close(ends[1]);
            if (::dup2(ends[0], 0) != 0) std::_Exit(103);
            std::clearerr(stdin);
            readStandardInputAndExit("-");
        },
        ::testing::ExitedWithCode(3), exactly(expectedStandardInputMessages()));
}

// A container that starts 5 GiB into a sparse file: every offset in the messages and
// the skipped-byte count keep their full 64-bit value.
TEST(packetReaderFileTest, OffsetsBeyondFourGibibytesArePrintedInFull) {
    const scratchDirectory dir;
    const std::string path = dir / "far.bin";
    const int64_t start = int64_t{5} << 30;
    containerBuilder builder;
    builder.addStream("qor2", 1);
    builder.addFrame(1, 1, payloadOf(8));
    const std::vector<uint8_t> garbage(3000, 0xFF);
    builder.addRawBytes(garbage).addFrame(1, 2, payloadOf(8));
    const std::vector<uint8_t> bytes = builder.bytes();
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(platform::seekTo(file, start));
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        ASSERT_EQ(std::fclose(file), 0);
    }
    std::FILE* file = platform::openForReading(path);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(platform::seekTo(file, start));
    {
        packetReader reader(file, path);
        ASSERT_TRUE(reader.fileOk());
        const readLog log = readAll(reader);
        const int64_t bad = start + static_cast<int64_t>(builder.headerBytes().size()) + 18;
        EXPECT_EQ(log.messages, text(badIdLine, bad) + text(searchLine, bad + 1) + text(foundLine, bad + 3000, 2999));
        EXPECT_EQ(reader.numParsedPackets(), 2);
        EXPECT_EQ(reader.numCorruptBytesSkipped(), 2999);
    }
}

}  // namespace
}  // namespace sensconv
