#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "container/containerTestFiles.h"
#include "container/snsrHeader.h"
#include "platform/platform.h"

namespace sensconv {
namespace {

using testing_support::memoryStream;
using testing_support::scratchDirectory;
using testing_support::writeBytes;

// Reads a header from bytes through a memory stream (a stream of unknown length).
bool readFromMemory(std::vector<uint8_t> bytes, snsrHeader& header) {
    if (bytes.empty()) return false;
    header.file = memoryStream(bytes);
    const bool ok = readHeader(header);
    std::fclose(header.file);
    header.file = nullptr;
    return ok;
}

// Reads a header from bytes through a real file (a stream whose size is known).
bool readFromFile(const std::vector<uint8_t>& bytes, snsrHeader& header) {
    const scratchDirectory dir;
    const std::string path = dir / "header.snsr";
    if (!writeBytes(path, bytes)) return false;
    header.file = platform::openForReading(path);
    if (header.file == nullptr) return false;
    const bool ok = readHeader(header);
    std::fclose(header.file);
    header.file = nullptr;
    return ok;
}

containerBuilder fullHeader() {
    containerBuilder builder;
    builder.setFileStartTime(1230000000000ULL).addIntAtom("intr", 5).addTextAtom("name", "abc");
    builder.addStream("qor2", 7).intAtom("bar ", 10).intAtom("wd01", 3);
    builder.addStream("cams", 9);
    return builder;
}

TEST(snsrHeaderTest, EmptyHeaderOfTwentyFourBytesIsValid) {
    const std::vector<uint8_t> bytes = containerBuilder().setFileStartTime(0x0807060504030201ULL).bytes();
    ASSERT_EQ(bytes.size(), 24u);
    snsrHeader header;
    ASSERT_TRUE(readFromMemory(bytes, header));
    EXPECT_EQ(header.fileStartTime, 0x0807060504030201ULL);
    EXPECT_EQ(header.num_atoms, 0);
    EXPECT_EQ(header.num_streams, 0);
    EXPECT_EQ(header.headerSize, 24);
}

TEST(snsrHeaderTest, ReadsAtomsAndStreamsInFileOrder) {
    const std::vector<uint8_t> bytes = fullHeader().bytes();
    snsrHeader header;
    ASSERT_TRUE(readFromFile(bytes, header));
    EXPECT_EQ(header.headerSize, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(header.fileStartTime, 1230000000000ULL);
    ASSERT_EQ(header.num_atoms, 2);
    ASSERT_EQ(header.atoms.size(), 2u);
    EXPECT_EQ(header.atoms[1].id, makeTag("name"));
    EXPECT_EQ(header.atoms[1].type, 'c');
    EXPECT_EQ(header.atoms[1].size, 3u);
    EXPECT_EQ(header.atoms[1].data, (std::vector<uint8_t>{'a', 'b', 'c'}));
    ASSERT_EQ(header.num_streams, 2);
    ASSERT_EQ(header.streams.size(), 2u);
    EXPECT_EQ(header.streams[0].type, streamQOR2);
    EXPECT_EQ(header.streams[0].packet_id, 7u);
    EXPECT_EQ(header.streams[0]._active, 1);
    ASSERT_EQ(header.streams[0].atoms.size(), 2u);
    EXPECT_EQ(header.streams[0].atoms[1].id, makeTag("wd01"));
    EXPECT_EQ(header.streams[1].type, streamCAMERA);
    EXPECT_EQ(header.streams[1].num_atoms, 0);
}

TEST(snsrHeaderTest, HeaderCutShortAnywhereIsInvalid) {
    const std::vector<uint8_t> bytes = fullHeader().bytes();
    for (size_t length = 0; length < bytes.size(); ++length) {
        const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        snsrHeader fromMemory;
        snsrHeader fromFile;
        EXPECT_FALSE(length > 0 && readFromMemory(cut, fromMemory)) << "memory, " << length << " bytes";
        EXPECT_FALSE(readFromFile(cut, fromFile)) << "file, " << length << " bytes";
    }
}

TEST(snsrHeaderTest, WrongMagicOrVersionIsInvalid) {
    snsrHeader header;
    EXPECT_FALSE(readFromMemory(containerBuilder().setMagic("SNSX").bytes(), header));
    EXPECT_FALSE(readFromMemory(containerBuilder().setMagic("snsr").bytes(), header));
    EXPECT_FALSE(readFromMemory(containerBuilder().setVersion(1).bytes(), header));
    EXPECT_FALSE(readFromMemory(containerBuilder().setVersion(3).bytes(), header));
    EXPECT_TRUE(readFromMemory(containerBuilder().setVersion(2).bytes(), header));
}

TEST(snsrHeaderTest, NegativeCountsMeanNoEntries) {
    containerBuilder builder;
    builder.declareAtomCount(-5);
    builder.addStream("qor2", 1).declaredAtomCount = -1;
    snsrHeader header;
    ASSERT_TRUE(readFromMemory(builder.bytes(), header));
    EXPECT_EQ(header.num_atoms, -5);
    EXPECT_TRUE(header.atoms.empty());
    ASSERT_EQ(header.streams.size(), 1u);
    EXPECT_TRUE(header.streams[0].atoms.empty());
}

TEST(snsrHeaderTest, TagTableGivesTypesAndFixesLengths) {
    struct expectation {
        const char* tag;
        int32_t type;
        uint32_t len;
    };
    const std::vector<expectation> table = {
        {"qor ", 0, 74}, {"jux ", 1, 100}, {"gps ", 2, 100},  {"sgps", 3, 100}, {"wifi", 4, 100},
        {"ltln", 5, 24}, {"ant8", 6, 5},   {"qor2", 7, 100},  {"mic ", 8, 100}, {"clck", 9, 100},
        {"tag ", 10, 100}, {"cams", 17, 100}, {"camf", 19, 100}, {"xyz1", 16, 100}, {"QOR2", 16, 100},
    };
    containerBuilder builder;
    for (const expectation& e : table) builder.addStream(e.tag, 1, 1, 100);
    snsrHeader header;
    ASSERT_TRUE(readFromMemory(builder.bytes(), header));
    ASSERT_EQ(header.streams.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(header.streams[i].type, table[i].type) << table[i].tag;
        EXPECT_EQ(header.streams[i].len, table[i].len) << table[i].tag;
    }
    EXPECT_STREQ(streamTypeNames[static_cast<size_t>(header.streams[13].type)], "UNKNOWN (RAW)");
    EXPECT_STREQ(streamTypeNames[20], "INVALID");
}

TEST(snsrHeaderTest, AtomsCutShortAreInvalid) {
    const uint8_t two[] = {1, 2};
    {
        containerBuilder builder;
        builder.addRawAtom("wd01", 'i', two, 3);
        snsrHeader header;
        EXPECT_FALSE(readFromMemory(builder.bytes(), header));
        EXPECT_FALSE(readFromFile(builder.bytes(), header));
    }
    {
        // The file ends inside the last stream's atom list.
        containerBuilder builder;
        builder.addStream("qor2", 1).intAtom("intr", 1).declaredAtomCount = 2;
        snsrHeader header;
        EXPECT_FALSE(readFromMemory(builder.bytes(), header));
        EXPECT_FALSE(readFromFile(builder.bytes(), header));
    }
}

snsrHeader headerWithStreams(const containerBuilder& builder) {
    snsrHeader header;
    EXPECT_TRUE(readFromMemory(builder.bytes(), header));
    return header;
}

TEST(snsrHeaderTest, Qor2SettingsComeFromAllBoardStreamsLaterAtomsWinning) {
    containerBuilder builder;
    builder.addIntAtom("bar ", 999).addIntAtom("intr", 999);
    builder.addStream("qor2", 1).intAtom("bar ", 10).intAtom("intr", 32768);
    builder.addStream("jux ", 2).intAtom("bar ", 555);
    builder.addStream("mic ", 3).intAtom("mics", 16000).intAtom("hum ", 7);
    builder.addStream("qor2", 4).intAtom("bar ", 20).intAtom("xxxx", 1);
    snsrHeader header = headerWithStreams(builder);
    header.qor2_settings.acc = 77;     // clearing group: reset
    header.qor2_settings.spare = 77;   // clearing group: reset
    header.qor2_settings.bdnr = 1234;  // board field: kept
    ASSERT_TRUE(loadQor2Settings(header));
    const qor2Settings& s = header.qor2_settings;
    EXPECT_EQ(s.bar, 20);
    EXPECT_EQ(s.intr, 32768);
    EXPECT_EQ(s.mic, 16000);
    EXPECT_EQ(s.hum, 7);
    EXPECT_EQ(s.acc, 0);
    EXPECT_EQ(s.spare, 0);
    EXPECT_EQ(s.bdnr, 1234);
}

TEST(snsrHeaderTest, Qor2SettingsFallBackToHeaderAtomsAndDeriveCalibration) {
    containerBuilder builder;
    builder.addIntAtom("wd01", 0xFFFF).addIntAtom("wd02", 0xFFFF).addIntAtom("wd03", 0x1FFFF).addIntAtom("wd04", -1);
    builder.addStream("qor2", 1).intAtom("other", 5);
    snsrHeader header = headerWithStreams(builder);
    ASSERT_TRUE(loadQor2Settings(header));
    EXPECT_EQ(header.calib_bar.C1, 32767);
    EXPECT_EQ(header.calib_bar.C2, 4095);
    EXPECT_EQ(header.calib_bar.C3, 1023);
    EXPECT_EQ(header.calib_bar.C4, 1023);
    EXPECT_EQ(header.calib_bar.C5, 2047);
    EXPECT_EQ(header.calib_bar.C6, 63);
}

TEST(snsrHeaderTest, CalibrationWordsAreSplitIntoTheirBitFields) {
    // W1 = 0x1235, W2 = 0xABCD, W3 = 0x0F0F, W4 = 0x8421.
    containerBuilder builder;
    builder.addStream("qor2", 1).intAtom("wd01", 0x1235).intAtom("wd02", 0xABCD).intAtom("wd03", 0x0F0F).intAtom(
        "wd04", 0x8421);
    snsrHeader header = headerWithStreams(builder);
    ASSERT_TRUE(loadQor2Settings(header));
    EXPECT_EQ(header.calib_bar.C1, 0x1235 >> 1);
    EXPECT_EQ(header.calib_bar.C2, (0x0F << 6) + 0x21);
    EXPECT_EQ(header.calib_bar.C3, 0x8421 >> 6);
    EXPECT_EQ(header.calib_bar.C4, 0x0F0F >> 6);
    EXPECT_EQ(header.calib_bar.C5, (1 << 10) + (0xABCD >> 6));
    EXPECT_EQ(header.calib_bar.C6, 0xABCD & 63);
}

TEST(snsrHeaderTest, NoSettingsMatchLeavesCalibrationUnchanged) {
    containerBuilder builder;
    builder.addStream("qor2", 1).intAtom("none", 1);
    snsrHeader header = headerWithStreams(builder);
    header.calib_bar.C3 = 42;
    header.qor2_settings.intr = 9;
    EXPECT_FALSE(loadQor2Settings(header));
    EXPECT_EQ(header.calib_bar.C3, 42);
    EXPECT_EQ(header.qor2_settings.intr, 0);
}

TEST(snsrHeaderTest, JuxSettingsComeFromTheFirstSecondBoardStreamOnly) {
    containerBuilder builder;
    builder.addIntAtom("gyro", 999);
    builder.addStream("qor2", 1).intAtom("gyro", 888);
    builder.addStream("jux ", 2).intAtom("gyro", 100).intAtom("mag ", 50).intAtom("gyro", 200).intAtom("wd03", 3);
    builder.addStream("jux ", 3).intAtom("powr", 77);
    snsrHeader header = headerWithStreams(builder);
    header.jux_settings.powr = 5;
    ASSERT_TRUE(loadJuxSettings(header));
    EXPECT_EQ(header.jux_settings.gyro, 200);
    EXPECT_EQ(header.jux_settings.mag, 50);
    EXPECT_EQ(header.jux_settings.wd03, 3);
    EXPECT_EQ(header.jux_settings.powr, 0);

    snsrHeader withoutBoard = headerWithStreams(containerBuilder().addIntAtom("gyro", 1));
    EXPECT_FALSE(loadJuxSettings(withoutBoard));
}

TEST(snsrHeaderTest, SettingAtomsShorterThanFourBytesCountTheirBytes) {
    const uint8_t two[] = {0x34, 0x12};
    containerBuilder builder;
    builder.addStream("qor2", 1).rawAtom("bar ", 'i', two).rawAtom("acc ", 'i', {}).intAtom("amb ", -3);
    snsrHeader header = headerWithStreams(builder);
    ASSERT_TRUE(loadQor2Settings(header));
    EXPECT_EQ(header.qor2_settings.bar, 0x1234);
    EXPECT_EQ(header.qor2_settings.acc, 0);
    EXPECT_EQ(header.qor2_settings.amb, -3);
}

}  // namespace
}  // namespace sensconv
