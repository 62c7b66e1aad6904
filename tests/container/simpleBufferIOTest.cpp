#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "container/containerTestFiles.h"
#include "container/simpleBufferIO.h"
#include "platform/platform.h"

namespace sensconv {
namespace {

using testing_support::appendBytes;
using testing_support::scratchDirectory;
using testing_support::writeBytes;

// Bytes whose value tells their offset (modulo a prime, so runs do not line up with
// powers of two).
std::vector<uint8_t> countingBytes(size_t count, size_t from = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((from + i) % 251);
    return bytes;
}

uint8_t byteAt(int64_t offset) {
    return static_cast<uint8_t>(offset % 251);
}

class simpleBufferIOTest : public ::testing::Test {
protected:
    void open(size_t bytes) {
        path_ = dir_ / "data.bin";
        ASSERT_TRUE(writeBytes(path_, countingBytes(bytes)));
        file_ = platform::openForReading(path_);
        ASSERT_NE(file_, nullptr);
        buffer_.setup(file_, 8192);
    }
    // More data arrives behind what was read (the file was still growing).
    void grow(size_t from, size_t bytes) {
        ASSERT_TRUE(appendBytes(path_, countingBytes(bytes, from)));
        std::clearerr(file_);
    }
    void TearDown() override {
        buffer_.release();
        if (file_ != nullptr) std::fclose(file_);
    }

    scratchDirectory dir_;
    std::string path_;
    std::FILE* file_ = nullptr;
    simpleBufferIO buffer_;
};

TEST_F(simpleBufferIOTest, ShortRemainderRefusesLargerRequestButServesSmallerOne) {
    open(5);
    EXPECT_EQ(buffer_.ensureAvailable(10), nullptr);
    const uint8_t* p = buffer_.ensureAvailable(5);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 5), countingBytes(5));
    EXPECT_EQ(buffer_.filled(), 5);
}

TEST_F(simpleBufferIOTest, RequestsAboveCapacityAreRefusedFullOrNot) {
    open(20000);
    EXPECT_EQ(buffer_.ensureAvailable(8193), nullptr);
    ASSERT_NE(buffer_.ensureAvailable(8192), nullptr);
    EXPECT_EQ(buffer_.filled(), 8192);
    // The area is full now; a larger request still cannot be served.
    EXPECT_EQ(buffer_.ensureAvailable(8193), nullptr);
}

TEST_F(simpleBufferIOTest, CompactsWhenMoreThanHalfIsConsumed) {
    open(20000);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    ASSERT_EQ(buffer_.filled(), 8192);
    ASSERT_TRUE(buffer_.consume(5000));
    const uint8_t* p = buffer_.ensureAvailable(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buffer_.consumed(), 0);
    EXPECT_EQ(buffer_.bufferFileOffset(), 5000);
    EXPECT_EQ(buffer_.filled(), 8192);  // 3192 kept, 5000 read
    EXPECT_EQ(buffer_.position(), 5000);
    EXPECT_EQ(p[0], byteAt(5000));
    EXPECT_EQ(p[8191], byteAt(5000 + 8191));
}

TEST_F(simpleBufferIOTest, ConsumingExactlyHalfDoesNotCompact) {
    open(20000);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    ASSERT_TRUE(buffer_.consume(4096));
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    EXPECT_EQ(buffer_.consumed(), 4096);
    EXPECT_EQ(buffer_.bufferFileOffset(), 0);
    ASSERT_TRUE(buffer_.consume(1));
    const uint8_t* p = buffer_.ensureAvailable(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buffer_.consumed(), 0);
    EXPECT_EQ(buffer_.bufferFileOffset(), 4097);
    EXPECT_EQ(p[0], byteAt(4097));
}

TEST_F(simpleBufferIOTest, CompactsWhenTheRemainderDoesNotCoverTheRequest) {
    open(20000);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    ASSERT_TRUE(buffer_.consume(8182));  // exactly 10 left: not more than the request
    const uint8_t* p = buffer_.ensureAvailable(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buffer_.bufferFileOffset(), 8182);
    EXPECT_EQ(buffer_.consumed(), 0);
    EXPECT_EQ(p[0], byteAt(8182));
}

TEST_F(simpleBufferIOTest, ReadsWithoutCopyingWhileLessThanHalfIsFilled) {
    open(3000);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    ASSERT_EQ(buffer_.filled(), 3000);
    ASSERT_TRUE(buffer_.consume(100));
    grow(3000, 10000);
    const uint8_t* p = buffer_.ensureAvailable(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buffer_.consumed(), 100);
    EXPECT_EQ(buffer_.bufferFileOffset(), 0);
    EXPECT_EQ(buffer_.filled(), 8192);  // 3000 + 5192 more
    EXPECT_EQ(p[0], byteAt(100));
}

TEST_F(simpleBufferIOTest, NeitherCopiesNorReadsWhileMoreThanHalfIsFilled) {
    open(5000);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    ASSERT_EQ(buffer_.filled(), 5000);
    ASSERT_TRUE(buffer_.consume(100));
    grow(5000, 10000);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    EXPECT_EQ(buffer_.consumed(), 100);
    EXPECT_EQ(buffer_.filled(), 5000);
    EXPECT_EQ(buffer_.bufferFileOffset(), 0);
}

TEST_F(simpleBufferIOTest, ConsumingPastTheFilledBytesIsRepairedWithOneMessage) {
    open(100);
    ASSERT_NE(buffer_.ensureAvailable(10), nullptr);
    ASSERT_TRUE(buffer_.consume(106));
    EXPECT_FALSE(buffer_.consume(-1));
    EXPECT_EQ(buffer_.consumed(), 106);
    grow(100, 50);
    ::testing::internal::CaptureStderr();
    const uint8_t* p = buffer_.ensureAvailable(10);
    const uint8_t* q = buffer_.ensureAvailable(10);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "simpleBufferIO: Buffer error more bytes consumed than were available!\n");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, q);
    // Reading goes on from the end of the bytes that had been filled.
    EXPECT_EQ(buffer_.position(), 100);
    EXPECT_EQ(p[0], byteAt(100));
}

TEST(simpleBufferIOStandaloneTest, MissingFileHandleIsReportedWhenAReadIsNeeded) {
    simpleBufferIO buffer;
    buffer.setup(nullptr, 1024);
    EXPECT_EQ(buffer.capacity(), 1024);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(buffer.ensureAvailable(10), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "simpleBufferIO: Error during read, file pointer is invalid!\n");
}

TEST(simpleBufferIOStandaloneTest, PositionStartsWhereTheHeaderEnded) {
    containerBuilder builder;
    builder.addIntAtom("intr", 1).addQor2Stream(3, qor2Settings{});
    const uint8_t payload[] = {1, 2, 3};
    builder.addFrame(3, 0, payload);
    std::vector<uint8_t> bytes = builder.bytes();
    snsrHeader header;
    header.file = testing_support::memoryStream(bytes);
    ASSERT_TRUE(readHeader(header));
    simpleBufferIO buffer;
    buffer.setup(header.file, 8192);
    const uint8_t* p = buffer.ensureAvailable(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buffer.position(), static_cast<int64_t>(builder.headerBytes().size()));
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    buffer.release();
    std::fclose(header.file);
}

TEST(simpleBufferIOStandaloneTest, OffsetsBeyondFourGibibytesAreKept) {
    const scratchDirectory dir;
    // A sparse file: 5 GiB of hole, then a few bytes.
    const std::string path = dir / "sparse.bin";
    const int64_t start = int64_t{5} << 30;
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(platform::seekTo(file, start));
        const std::vector<uint8_t> tail = countingBytes(9000);
        ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), file), tail.size());
        ASSERT_EQ(std::fclose(file), 0);
    }
    std::FILE* file = platform::openForReading(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform::fileSize(file).value_or(0), start + 9000);
    ASSERT_TRUE(platform::seekTo(file, start + 10));
    simpleBufferIO buffer;
    buffer.setup(file, 8192);
    ASSERT_NE(buffer.ensureAvailable(10), nullptr);
    EXPECT_EQ(buffer.position(), start + 10);
    ASSERT_TRUE(buffer.consume(5000));
    const uint8_t* p = buffer.ensureAvailable(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(buffer.bufferFileOffset(), start + 5010);
    EXPECT_EQ(p[0], byteAt(5010));
    buffer.release();
    std::fclose(file);
}

TEST(openInputFileTest, StandardInputNamesInAnyLetterCase) {
    for (const char* name : {"-", "stdin", "STDIN", "/Dev/StdIn", "/dev/stdin"}) {
        snsrHeader header;
        header.num_streams = 3;
        header.atoms.resize(2);
        ASSERT_TRUE(openInputFile(header, name)) << name;
        EXPECT_EQ(header.file, stdin) << name;
        EXPECT_EQ(header.file_name, "stdin");
        EXPECT_EQ(header.num_streams, 0);
        EXPECT_TRUE(header.atoms.empty());
        closeInputFile(header);
        EXPECT_EQ(header.file, nullptr);
    }
    // Standard input stays usable after the close.
    EXPECT_EQ(std::ferror(stdin), 0);
    EXPECT_NE(fileno(stdin), -1);
}

TEST(openInputFileTest, UnopenablePathsAndDirectoriesAreReported) {
    const std::string directory = ::testing::TempDir();
    for (const std::string& path : {std::string("stdin.snsr"), std::string("/nonexistent/dir/x.snsr"), directory}) {
        snsrHeader header;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(openInputFile(header, path));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ERROR: can't open file " + path + "\n");
        EXPECT_EQ(header.file, nullptr);
    }
}

TEST(openInputFileTest, RegularFileIsOpenedUnderItsOwnName) {
    const scratchDirectory dir;
    const std::string path = dir / "stdin";
    ASSERT_TRUE(writeBytes(path, countingBytes(3)));
    snsrHeader header;
    ASSERT_TRUE(openInputFile(header, path));
    EXPECT_NE(header.file, stdin);
    EXPECT_EQ(header.file_name, path);
    uint8_t first = 9;
    EXPECT_EQ(std::fread(&first, 1, 1, header.file), 1u);
    EXPECT_EQ(first, 0);
    closeInputFile(header);
}

}  // namespace
}  // namespace sensconv
