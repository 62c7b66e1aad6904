#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/runStatus.h"
#include "decode/sampleChannel.h"
#include "output/binaryDataFile.h"
#include "output/outputChannel.h"
#include "outputTestSupport.h"

namespace sensconv {
namespace {

using outputTest::fileExists;
using outputTest::hexBytes;
using outputTest::readWhole;
using outputTest::scratchDirectory;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

constexpr int32_t intmax = 1000;  // 100 ticks per second

// A board channel with gap filling, as the decoder builds it.
sampleChannel barometer(double rateTenthsHz) {
    return sampleChannel(sampleChannel::defaultMaxFill, rateTenthsHz, intmax, "qor2/bar_press", "BarPres");
}

void deliver(sampleChannel& source, outputChannel& channel, std::vector<double> values, int64_t ticks) {
    // As the decoder does when a packet begins: the last packet's values were taken.
    source.emptyBatch();
    ASSERT_TRUE(source.addSamples(values.data(), static_cast<int32_t>(values.size()), ticks, 0).ok());
    channel.writeBatch();
}

TEST(outputChannelTest, OneFileGivesExactBinMetaAndSparse) {
    scratchDirectory dir;
    runStatus run;
    sampleChannel source = barometer(40.0);  // 4 Hz
    {
        outputChannel channel(run, source);
        ASSERT_TRUE(channel.open(dir.path()).ok());
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
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.bin")),
              hexBytes("cdcccc3d cdcccc3d 00002040 0000807f 000080ff ffff7f7f"));
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.meta")),
              "\"NumSamples\",6\n"
              "\"SampleRate\",4.000000\n"
              "\"Name\",\"BarPres\"\n"
              "\"DataType\",1\n"
              "\"firstTimestamp\",0.000000\n"
              "\"lastTimestamp\",1.250000\n");
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.sparse")), "1,1\n");
}

TEST(outputChannelTest, SessionOfFilesSharesOneBinAndOffsetsFilledPositions) {
    scratchDirectory dir;
    runStatus run;
    {
        sampleChannel first = barometer(10.0);  // 1 Hz
        outputChannel channel(run, first);
        ASSERT_TRUE(channel.open(dir.path()).ok());
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
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.bin")),
              hexBytes("0000803f 00000040 00004040 00002041 00003041 00004041 00004041 00005041"));
    // The first time stays the first file's; the last time sums the files' last times.
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.meta")),
              "\"NumSamples\",8\n"
              "\"SampleRate\",1.000000\n"
              "\"Name\",\"BarPres\"\n"
              "\"DataType\",1\n"
              "\"firstTimestamp\",0.500000\n"
              "\"lastTimestamp\",8.500000\n");
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.sparse")), "6,1\n");
}

// More separate gaps than the file keeps in memory: the earlier ones come back from the
// scratch file, in order and whole, and nothing of the scratch file is left.
TEST(outputChannelTest, FilledPositionsBeyondWhatMemoryHoldsComeBackInOrder) {
    scratchDirectory dir;
    std::string expected;
    runStatus run;
    {
        binaryDataFile file(run);
        ASSERT_TRUE(file.open(dir.path(), "accel", 1.0, outputChannel::dataTypeFloat32).ok());
        for (int64_t gap = 0; gap < 10000; ++gap) {
            const int64_t first = 3 * gap + (int64_t{1} << 33);  // beyond 32 bits
            const int64_t count = gap % 3 == 0 ? 2 : 1;
            file.appendFilled(first, count);
            for (int64_t i = 0; i < count; ++i) expected += std::to_string(first + i) + ",1\n";
        }
        EXPECT_EQ(file.filledCount(), 13334);
        file.close();
    }
    EXPECT_EQ(readWhole(dir.file("binaryData_accel.sparse")), expected);
    EXPECT_FALSE(run.outputLost());
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += entry.is_regular_file();
    EXPECT_EQ(entries, 3);
}

TEST(outputChannelTest, ChannelWithoutSamplesHasEmptyBinFourLineMetaAndNoSparse) {
    scratchDirectory dir;
    runStatus run;
    {
        sampleChannel source(sampleChannel::defaultMaxFill, 0.0, intmax, "qor2/power", "power");
        outputChannel channel(run, source);
        ASSERT_TRUE(channel.open(dir.path()).ok());
        channel.writeBatch();
        channel.mergeFileEnd();
        channel.close();
        channel.close();  // a second close changes nothing
    }
    EXPECT_TRUE(fileExists(dir.file("binaryData_power.bin")));
    EXPECT_EQ(readWhole(dir.file("binaryData_power.bin")), "");
    EXPECT_EQ(readWhole(dir.file("binaryData_power.meta")),
              "\"NumSamples\",0\n\"SampleRate\",0.000000\n\"Name\",\"power\"\n\"DataType\",1\n");
    EXPECT_FALSE(fileExists(dir.file("binaryData_power.sparse")));
}

TEST(outputChannelTest, LongNamesAndBatchesAcrossBlockBoundariesAreWrittenWhole) {
    scratchDirectory dir;
    runStatus run;
    const std::string shortName(200, 'n');
    constexpr int32_t block = binaryDataFile::blockBytes / 4;
    // Batches that end one short of a block, exactly on one, span several, and a last
    // partial block that only close writes.
    const std::vector<int32_t> batches = {5000, block - 5001, 1, 7, 3 * block + 11, block - 18, 1, 999};
    int64_t total = 0;
    {
        sampleChannel source(sampleChannel::defaultMaxFill, 10.0, intmax, "jux/x_gyro", shortName);
        outputChannel channel(run, source);
        ASSERT_TRUE(channel.open(dir.path()).ok());
        for (int32_t size : batches) {
            std::vector<double> values(static_cast<size_t>(size));
            for (double& value : values) value = static_cast<double>(total++);
            outputTest::giveBatch(source, values.data(), size);
            channel.writeBatch();
        }
        channel.close();
    }
    const std::string bin = readWhole(dir.file("binaryData_" + shortName + ".bin"));
    ASSERT_EQ(bin.size(), static_cast<size_t>(total) * 4);
    for (int64_t i = 0; i < total; ++i) {
        float sample = 0;
        std::memcpy(&sample, bin.data() + 4 * i, 4);
        ASSERT_EQ(sample, static_cast<float>(i)) << "sample " << i;
    }
    const std::string meta = readWhole(dir.file("binaryData_" + shortName + ".meta"));
    EXPECT_NE(meta.find("\"NumSamples\"," + std::to_string(total) + "\n"), std::string::npos);
    EXPECT_NE(meta.find("\"Name\",\"" + shortName + "\"\n"), std::string::npos);
    EXPECT_EQ(run.filesFailed(), 0);
}

TEST(outputChannelTest, BinOrMetaThatCannotBeCreatedIsFatal) {
    scratchDirectory dir;
    runStatus run;
    const std::string missing = dir.path() + "absent/";
    sampleChannel source = barometer(10.0);
    const auto expectFatal = [&](const std::string& directory, const char* extension) {
        outputChannel channel(run, source);
        CaptureStderr();
        const outcome opened = channel.open(directory);
        const std::string lines = "# ERROR: Unable to open output file binaryData_BarPres" + std::string(extension) +
                                  " in directory " + directory + ", full path:\n# ERROR: " + directory +
                                  "binaryData_BarPres" + extension + "\n";
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(processStatus(opened.status()), -1);
        EXPECT_EQ(opened.lines(), lines);
        EXPECT_STREQ(opened.closingLine(), "# ERROR: Exiting\n");
    };
    expectFatal(missing, ".bin");
    // A directory in the way of the .meta file.
    std::filesystem::create_directory(dir.file("binaryData_BarPres.meta"));
    expectFatal(dir.path(), ".meta");
    // A run that ends there has lost nothing it wrote.
    EXPECT_FALSE(run.outputLost());
}

TEST(outputChannelTest, SparseThatCannotBeCreatedIsReportedAndTheMetaFinished) {
    scratchDirectory dir;
    runStatus run;
    std::filesystem::create_directory(dir.file("binaryData_BarPres.sparse"));
    sampleChannel source = barometer(10.0);
    outputChannel channel(run, source);
    ASSERT_TRUE(channel.open(dir.path()).ok());
    CaptureStderr();
    deliver(source, channel, {1}, 0);
    deliver(source, channel, {2}, 500);  // two samples filled in
    channel.mergeFileEnd();
    channel.close();
    const std::string printed = GetCapturedStderr();
    EXPECT_TRUE(printed.ends_with("# ERROR: Unable to open sparse output file binaryData_BarPres.sparse in directory " +
                                  dir.path() + ", full path:\n# ERROR: " + dir.path() +
                                  "binaryData_BarPres.sparse\n# ERROR: Unable to write sparse matrix output for "
                                  "missing samples\n"))
        << printed;
    EXPECT_EQ(run.filesFailed(), 1);
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.meta")),
              "\"NumSamples\",4\n\"SampleRate\",1.000000\n\"Name\",\"BarPres\"\n\"DataType\",1\n"
              "\"firstTimestamp\",0.000000\n\"lastTimestamp\",5.000000\n");
}

// With every file limited to 1000 bytes: small batches are lost when the last block
// is written at close (one line), a batch larger than a block at once (the channel's
// own line); the
// .meta counts every sample the decoder delivered either way.
TEST(outputChannelTest, SamplesThatCannotBeWrittenAreReportedOnceAndCounted) {
    scratchDirectory dir;
    runStatus run;
    const outputTest::fileSizeLimit limit(1000);
    const auto writeInBatches = [&](const std::string& name, int32_t batches, int32_t perBatch) {
        sampleChannel source(sampleChannel::defaultMaxFill, 10.0, intmax, "qor2/bar_press", name);
        outputChannel channel(run, source);
        EXPECT_TRUE(channel.open(dir.path()).ok());
        std::vector<double> values(static_cast<size_t>(perBatch), 1.0);
        CaptureStderr();
        for (int packet = 0; packet < batches; ++packet) {
            outputTest::giveBatch(source, values.data(), perBatch);
            channel.writeBatch();
        }
        channel.close();
        return GetCapturedStderr();
    };
    EXPECT_EQ(writeInBatches("small", 100, 5),
              "# ERROR: Unable to write output file " + dir.path() + "binaryData_small.bin (File too large)\n");
    EXPECT_EQ(readWhole(dir.file("binaryData_small.meta")).substr(0, 17), "\"NumSamples\",500\n");
    const std::string printed = writeInBatches("large", 1, 20000);
    EXPECT_TRUE(printed.starts_with("# snsr_packetWriter: ERROR, attempted to write 20000 bytes but only ")) << printed;
    EXPECT_TRUE(printed.ends_with(" were written for sensor qor2/bar_press\n")) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
    EXPECT_EQ(readWhole(dir.file("binaryData_large.meta")).substr(0, 19), "\"NumSamples\",20000\n");
    EXPECT_LE(outputTest::fileSizeOf(dir.file("binaryData_large.bin")), 1000);
    EXPECT_EQ(run.filesFailed(), 2);
}

}  // namespace
}  // namespace sensconv
