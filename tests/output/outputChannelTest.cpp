#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/outputStatus.h"
#include "decode/sampleChannel.h"
#include "output/binaryDataFile.h"
#include "output/outputChannel.h"
#include "outputTestSupport.h"

namespace sensconv {
namespace {

using outputTest::fileExists;
using outputTest::hexBytes;
using outputTest::readFile;
using outputTest::scratchDirectory;

constexpr int32_t intmax = 1000;  // 100 ticks per second

// A board channel with gap filling, as the decoder builds it.
sampleChannel barometer(double rateTenthsHz) {
    return sampleChannel(true, 1, sampleChannel::defaultMaxFill, rateTenthsHz, intmax, "qor2/bar_press", "BarPres");
}

void deliver(sampleChannel& source, outputChannel& channel, std::vector<double> values, int64_t ticks) {
    ASSERT_TRUE(source.addSamples(values.data(), static_cast<int32_t>(values.size()), ticks, 0));
    channel.writeBatch();
    EXPECT_EQ(source.batchCount, 0) << "the batch is marked consumed";
}

TEST(outputChannelTest, OneFileGivesExactBinMetaAndSparse) {
    scratchDirectory dir;
    sampleChannel source = barometer(40.0);  // 4 Hz
    {
        outputChannel channel(dir.path(), source);
        EXPECT_EQ(channel.longName(), "qor2/bar_press");
        deliver(source, channel, {0.1}, 0);
        // Two samples are due by tick 100 but only one came: one copy of 0.1 is filled in.
        deliver(source, channel, {2.5}, 100);
        // Beyond single precision: infinities; just above the largest float but nearer
        // to it than to 2^128: the largest float.
        deliver(source, channel, {1e300, -1e300, 3.4028235170913126e38}, 125);
        channel.mergeFileEnd();
        EXPECT_FALSE(channel.isBound());
        channel.close();
    }
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.bin")),
              hexBytes("cdcccc3d cdcccc3d 00002040 0000807f 000080ff ffff7f7f"));
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.meta")),
              "\"NumSamples\",6\n"
              "\"SampleRate\",4.000000\n"
              "\"Name\",\"BarPres\"\n"
              "\"DataType\",1\n"
              "\"firstTimestamp\",0.000000\n"
              "\"lastTimestamp\",1.250000\n");
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.sparse")), "1,1\n");
}

TEST(outputChannelTest, SessionOfFilesSharesOneBinAndOffsetsFilledPositions) {
    scratchDirectory dir;
    {
        sampleChannel first = barometer(10.0);  // 1 Hz
        outputChannel channel(dir.path(), first);
        deliver(first, channel, {1}, 50);
        deliver(first, channel, {2}, 150);
        deliver(first, channel, {3}, 250);
        channel.mergeFileEnd();

        // The second file lacks the board: the channel is not bound and keeps its state.
        channel.writeBatch();
        channel.mergeFileEnd();

        sampleChannel third = barometer(10.0);
        channel.bind(third);
        deliver(third, channel, {10}, 0);
        deliver(third, channel, {11}, 100);
        deliver(third, channel, {12}, 200);
        deliver(third, channel, {13}, 600);  // position 3 of this file is filled in
        channel.mergeFileEnd();
        channel.close();
    }
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.bin")),
              hexBytes("0000803f 00000040 00004040 00002041 00003041 00004041 00004041 00005041"));
    // The first time stays the first file's; the last time sums the files' last times.
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.meta")),
              "\"NumSamples\",8\n"
              "\"SampleRate\",1.000000\n"
              "\"Name\",\"BarPres\"\n"
              "\"DataType\",1\n"
              "\"firstTimestamp\",0.500000\n"
              "\"lastTimestamp\",8.500000\n");
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.sparse")), "6,1\n");
}

// More separate gaps than the file keeps in memory: the earlier ones come back from the
// scratch file, in order and whole, and nothing of the scratch file is left.
TEST(outputChannelTest, FilledPositionsBeyondWhatMemoryHoldsComeBackInOrder) {
    scratchDirectory dir;
    std::string expected;
    {
        binaryDataFile file;
        file.open(dir.path(), "accel", 1.0, -1, outputChannel::dataTypeFloat32);
        for (int64_t gap = 0; gap < 10000; ++gap) {
            const int64_t first = 3 * gap + (int64_t{1} << 33);  // beyond 32 bits
            const int64_t count = gap % 3 == 0 ? 2 : 1;
            file.appendFilled(first, count);
            for (int64_t i = 0; i < count; ++i) expected += std::to_string(first + i) + ",1\n";
        }
        EXPECT_EQ(file.filledCount(), 13334);
        file.close();
    }
    EXPECT_EQ(readFile(dir.file("binaryData_accel.sparse")), expected);
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += entry.is_regular_file();
    EXPECT_EQ(entries, 3);
}

TEST(outputChannelTest, ChannelWithoutSamplesHasEmptyBinFourLineMetaAndNoSparse) {
    scratchDirectory dir;
    {
        sampleChannel source(true, 1, sampleChannel::defaultMaxFill, 0.0, intmax, "qor2/power", "power");
        outputChannel channel(dir.path(), source);
        channel.writeBatch();
        channel.mergeFileEnd();
        channel.close();
        channel.close();  // a second close changes nothing
    }
    EXPECT_TRUE(fileExists(dir.file("binaryData_power.bin")));
    EXPECT_EQ(readFile(dir.file("binaryData_power.bin")), "");
    EXPECT_EQ(readFile(dir.file("binaryData_power.meta")),
              "\"NumSamples\",0\n\"SampleRate\",0.000000\n\"Name\",\"power\"\n\"DataType\",1\n");
    EXPECT_FALSE(fileExists(dir.file("binaryData_power.sparse")));
}

TEST(outputChannelTest, LongNamesAndBatchesAcrossBlockBoundariesAreWrittenWhole) {
    scratchDirectory dir;
    const std::string shortName(200, 'n');
    constexpr int32_t block = binaryDataFile::blockBytes / 4;
    // Batches that end one short of a block, exactly on one, span several, and a last
    // partial block that only close writes.
    const std::vector<int32_t> batches = {5000, block - 5001, 1, 7, 3 * block + 11, block - 18, 1, 999};
    int64_t total = 0;
    {
        sampleChannel source(false, 1, 0, 10.0, intmax, "jux/x_gyro", shortName);
        outputChannel channel(dir.path(), source);
        for (int32_t size : batches) {
            std::vector<double> values(static_cast<size_t>(size));
            for (double& value : values) value = static_cast<double>(total++);
            ASSERT_TRUE(source.addSamples(values.data(), size, 0, 0));
            channel.writeBatch();
        }
        channel.close();
    }
    const std::string bin = readFile(dir.file("binaryData_" + shortName + ".bin"));
    ASSERT_EQ(bin.size(), static_cast<size_t>(total) * 4);
    for (int64_t i = 0; i < total; ++i) {
        float sample = 0;
        std::memcpy(&sample, bin.data() + 4 * i, 4);
        ASSERT_EQ(sample, static_cast<float>(i)) << "sample " << i;
    }
    EXPECT_NE(readFile(dir.file("binaryData_" + shortName + ".meta")).find("\"NumSamples\"," + std::to_string(total) + "\n"),
              std::string::npos);
    EXPECT_NE(readFile(dir.file("binaryData_" + shortName + ".meta")).find("\"Name\",\"" + shortName + "\"\n"),
              std::string::npos);
}

TEST(outputChannelDeathTest, BinOrMetaThatCannotBeCreatedEndsTheRun) {
    scratchDirectory dir;
    const std::string missing = dir.path() + "absent/";
    EXPECT_EXIT(
        {
            sampleChannel source = barometer(10.0);
            outputChannel channel(missing, source);
        },
        ::testing::ExitedWithCode(-1 & 255),
        "^# ERROR: Unable to open output file binaryData_BarPres.bin in directory " + missing +
            ", full path:\n# ERROR: " + missing + "binaryData_BarPres.bin\n# ERROR: Exiting\n$");

    // A directory in the way of the .meta file.
    std::filesystem::create_directory(dir.file("binaryData_BarPres.meta"));
    EXPECT_EXIT(
        {
            sampleChannel source = barometer(10.0);
            outputChannel channel(dir.path(), source);
        },
        ::testing::ExitedWithCode(-1 & 255),
        "^# ERROR: Unable to open output file binaryData_BarPres.meta in directory " + dir.path() +
            ", full path:\n# ERROR: " + dir.path() + "binaryData_BarPres.meta\n# ERROR: Exiting\n$");
}

// The child ends with 3 when the run's output is marked lost, 4 when it is not.
[[noreturn]] void exitWithLostState() {
    std::exit(outputWasLost() ? 3 : 4);
}

TEST(outputChannelDeathTest, SparseThatCannotBeCreatedIsReportedAndTheMetaFinished) {
    scratchDirectory dir;
    std::filesystem::create_directory(dir.file("binaryData_BarPres.sparse"));
    EXPECT_EXIT(
        {
            sampleChannel source = barometer(10.0);
            outputChannel channel(dir.path(), source);
            deliver(source, channel, {1}, 0);
            deliver(source, channel, {2}, 500);  // two samples filled in
            channel.mergeFileEnd();
            channel.close();
            exitWithLostState();
        },
        ::testing::ExitedWithCode(3),
        "# ERROR: Unable to open sparse output file binaryData_BarPres.sparse in directory " + dir.path() +
            ", full path:\n# ERROR: " + dir.path() +
            "binaryData_BarPres.sparse\n# ERROR: Unable to write sparse matrix output for missing samples\n$");
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.meta")),
              "\"NumSamples\",4\n\"SampleRate\",1.000000\n\"Name\",\"BarPres\"\n\"DataType\",1\n"
              "\"firstTimestamp\",0.000000\n\"lastTimestamp\",5.000000\n");
}

TEST(outputChannelDeathTest, BinLostWhenFlushedAtCloseIsReportedOnce) {
    scratchDirectory dir;
    EXPECT_EXIT(
        {
            outputTest::limitFileSize(1000);
            sampleChannel source(false, 1, 0, 10.0, intmax, "qor2/bar_press", "BarPres");
            outputChannel channel(dir.path(), source);
            // 2000 bytes in small batches: they sit in the stream buffer until close.
            std::vector<double> values(5, 1.0);
            for (int packet = 0; packet < 100; ++packet) {
                source.addSamples(values.data(), 5, packet, packet);
                channel.writeBatch();
            }
            channel.close();
            exitWithLostState();
        },
        ::testing::ExitedWithCode(3),
        "^# ERROR: Unable to write output file " + dir.path() + "binaryData_BarPres.bin \\(File too large\\)\n$");
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.meta")).substr(0, 17), "\"NumSamples\",500\n");
}

TEST(outputChannelDeathTest, ShortWriteIsReportedPerBatchAndCountsTheWholeBatch) {
    scratchDirectory dir;
    EXPECT_EXIT(
        {
            outputTest::limitFileSize(1000);
            sampleChannel source(false, 1, 0, 10.0, intmax, "qor2/bar_press", "BarPres");
            outputChannel channel(dir.path(), source);
            // More than a block: the block write inside the batch fails.
            std::vector<double> values(20000, 1.0);
            source.addSamples(values.data(), 20000, 0, 0);
            channel.writeBatch();
            channel.close();
            exitWithLostState();
        },
        ::testing::ExitedWithCode(3),
        "^# snsr_packetWriter: ERROR, attempted to write 20000 bytes but only [0-9]+ were written for sensor "
        "qor2/bar_press\n$");
    EXPECT_EQ(readFile(dir.file("binaryData_BarPres.meta")).substr(0, 19), "\"NumSamples\",20000\n");
    EXPECT_LE(outputTest::fileSizeOf(dir.file("binaryData_BarPres.bin")), 1000);
}

}  // namespace
}  // namespace sensconv
