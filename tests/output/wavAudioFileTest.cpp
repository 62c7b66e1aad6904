#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/runStatus.h"
#include "output/wavAudioFile.h"
#include "outputTestSupport.h"

namespace sensconv {
namespace {

using outputTest::fileSizeOf;
using outputTest::scratchDirectory;

std::vector<int16_t> ramp(int32_t n, int16_t start) {
    std::vector<int16_t> samples(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) samples[static_cast<size_t>(i)] = static_cast<int16_t>(start + i % 3000);
    return samples;
}

struct wavContents {
    SF_INFO info{};
    std::vector<int16_t> samples;
    std::string title;
    std::string software;
};

wavContents readWav(const std::string& path) {
    wavContents contents;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &contents.info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read back " << path << ": " << sf_strerror(nullptr);
        return contents;
    }
    contents.samples.resize(static_cast<size_t>(contents.info.frames));
    EXPECT_EQ(sf_read_short(file, contents.samples.data(), contents.info.frames), contents.info.frames);
    if (const char* title = sf_get_string(file, SF_STR_TITLE)) contents.title = title;
    if (const char* software = sf_get_string(file, SF_STR_SOFTWARE)) contents.software = software;
    sf_close(file);
    return contents;
}

std::vector<int16_t> joined(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    std::vector<int16_t> all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

TEST(wavAudioFileTest, SamplesAreTruncatedAndKeepTheirLowSixteenBits) {
    EXPECT_EQ(toPcm16(40000.0), -25536);
    EXPECT_EQ(toPcm16(-1.7), -1);
    EXPECT_EQ(toPcm16(1.9), 1);
    EXPECT_EQ(toPcm16(32767.9), 32767);
    EXPECT_EQ(toPcm16(32768.0), -32768);
    EXPECT_EQ(toPcm16(-32769.0), 32767);
    EXPECT_EQ(toPcm16(65535.5), -1);
    // At the edges of the 32-bit range.
    EXPECT_EQ(toPcm16(2147483647.9), -1);
    EXPECT_EQ(toPcm16(-2147483648.9), 0);
    // Beyond 32 bits the value wraps the same way instead of being undefined.
    EXPECT_EQ(toPcm16(4294967301.0), 5);
    EXPECT_EQ(toPcm16(2147483648.0), 0);
    EXPECT_EQ(toPcm16(-2147483649.0), -1);
    EXPECT_EQ(toPcm16(1e10), -7168);
    EXPECT_EQ(toPcm16(-1e10), 7168);
    EXPECT_EQ(toPcm16(1e300), 0);
    EXPECT_EQ(toPcm16(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(toPcm16(-std::numeric_limits<double>::infinity()), 0);
}

// Batches as doubles, the way the writer hands them over.
std::vector<double> asValues(const std::vector<int16_t>& samples) {
    return std::vector<double>(samples.begin(), samples.end());
}

TEST(wavAudioFileTest, SamplesReachTheFileInWholeBlocksAndTheRestAtClose) {
    scratchDirectory dir;
    runStatus run;
    const std::string path = dir.file("audio.wav");
    constexpr int32_t block = wavAudioFile::blockSamples;
    const auto first = ramp(block - 1, -1000);
    const auto second = ramp(400, 7);
    int64_t afterSecond = 0;
    {
        wavAudioFile wav(run);
        ASSERT_TRUE(wav.open(path, 8000).ok());
        const int64_t opened = fileSizeOf(path);
        wav.writeBatch(asValues(first).data(), block - 1);
        EXPECT_EQ(fileSizeOf(path), opened) << "one sample short of a block: nothing handed over";
        wav.writeBatch(asValues(second).data(), 400);
        afterSecond = fileSizeOf(path);
        EXPECT_GE(afterSecond - opened, 2 * block) << "one full block handed over";
        EXPECT_EQ(wav.samplesWritten(), block + 399);
        wav.close();
    }
    EXPECT_EQ(fileSizeOf(path) - afterSecond, 2 * 399) << "the rest reaches the file at close";
    const wavContents contents = readWav(path);
    EXPECT_EQ(contents.info.samplerate, 8000);
    EXPECT_EQ(contents.info.channels, 1);
    EXPECT_EQ(contents.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(contents.samples, joined(first, second));
    EXPECT_EQ(contents.title, "QOR2 Sensor audio file");
    EXPECT_EQ(contents.software.rfind("Created by sensconv, compiled on ", 0), 0u) << contents.software;
    EXPECT_EQ(run.filesFailed(), 0);
}

// A run that ends in the middle of a session keeps the audio a writer gathering up to
// 20,352 samples before each hand-over had handed on by then, under a finished header:
// batches of 400 are handed on 20,000 at a time, a batch above 20,480 at once.
TEST(wavAudioFileTest, FatalEndKeepsTheAudioHandedOverUpToThere) {
    scratchDirectory dir;
    runStatus run;
    const std::vector<std::pair<std::vector<int32_t>, int64_t>> cases = {
        {std::vector<int32_t>(60, 400), 20000},  // the rest was still gathered
        {std::vector<int32_t>(170, 400), 60000},  // fewer than the file's whole blocks already hold
        {{100, 30000, 50}, 30100},
    };
    for (const auto& [batches, kept] : cases) {
        const std::string path = dir.file("fatal" + std::to_string(kept) + ".wav");
        std::vector<int16_t> all;
        {
            wavAudioFile wav(run);
            ASSERT_TRUE(wav.open(path, 8000).ok());
            for (const int32_t n : batches) {
                const auto batch = ramp(n, static_cast<int16_t>(all.size() % 5000));
                wav.writeBatch(asValues(batch).data(), n);
                all.insert(all.end(), batch.begin(), batch.end());
            }
            wav.closeAtFatalEnd();
            wav.closeAtFatalEnd();
        }
        const wavContents contents = readWav(path);
        EXPECT_EQ(contents.samples, std::vector<int16_t>(all.begin(), all.begin() + kept)) << kept;
        // The header was finished: the RIFF size covers the file, as does the data.
        const std::string bytes = outputTest::readWhole(path);
        ASSERT_GT(bytes.size(), 44u);
        uint32_t riffSize = 0;
        for (int i = 3; i >= 0; --i) riffSize = riffSize << 8 | static_cast<uint8_t>(bytes[static_cast<size_t>(4 + i)]);
        EXPECT_EQ(riffSize + 8, bytes.size());
        EXPECT_EQ(contents.title, "QOR2 Sensor audio file");
    }
    EXPECT_EQ(run.filesFailed(), 0);
}

TEST(wavAudioFileTest, BatchesOfAnySizeArriveInOrder) {
    scratchDirectory dir;
    runStatus run;
    const std::string path = dir.file("batches.wav");
    // Small batches, then one of several blocks (as a long filled gap can give), then
    // small ones again.
    std::vector<double> values;
    std::vector<int32_t> batchSizes = {30, 30, 7, 3 * wavAudioFile::blockSamples + 1000, 12,
                                       wavAudioFile::blockSamples, 1};
    {
        wavAudioFile wav(run);
        ASSERT_TRUE(wav.open(path, 4000).ok());
        double next = -5000.25;
        for (int32_t size : batchSizes) {
            std::vector<double> batch(static_cast<size_t>(size));
            for (double& value : batch) {
                value = next;
                next = next > 5000 ? -5000.25 : next + 1.0;
            }
            wav.writeBatch(batch.data(), size);
            values.insert(values.end(), batch.begin(), batch.end());
        }
        wav.close();
    }
    const wavContents contents = readWav(path);
    ASSERT_EQ(contents.samples.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(contents.samples[i], static_cast<int16_t>(std::trunc(values[i]))) << "sample " << i;
    }
}

TEST(wavAudioFileTest, ExtremeValuesGiveTheirOwnSampleWhereverTheyStandInABatch) {
    // Whole batches are checked for the fast truncation at once: one value that needs
    // the exact way, at any position, must neither spoil nor escape the check.
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const double extremes[] = {std::numeric_limits<double>::quiet_NaN(), infinity, -infinity,
                               std::numeric_limits<double>::max(), -1e300, 4294967301.0, 2147483648.0,
                               -2147483649.0, 2147483647.9, -2147483648.9, -2147483648.0, 1e10};
    constexpr int32_t batchSize = 11;  // a few vector widths and a remainder
    scratchDirectory dir;
    runStatus run;
    const std::string path = dir.file("extremes.wav");
    std::vector<int16_t> expected;
    {
        wavAudioFile wav(run);
        ASSERT_TRUE(wav.open(path, 8000).ok());
        for (const double extreme : extremes) {
            for (int32_t at = 0; at < batchSize; ++at) {
                std::vector<double> batch(static_cast<size_t>(batchSize));
                for (int32_t i = 0; i < batchSize; ++i) batch[static_cast<size_t>(i)] = 1000.75 * i - 4321.5;
                batch[static_cast<size_t>(at)] = extreme;
                wav.writeBatch(batch.data(), batchSize);
                for (const double value : batch) expected.push_back(toPcm16(value));
            }
        }
        wav.close();
    }
    EXPECT_EQ(readWav(path).samples, expected);
}

TEST(wavAudioFileTest, FileThatCannotBeOpenedIsFatal) {
    scratchDirectory dir;
    runStatus run;
    const std::string path = dir.path() + "absent/completeSensorAudio.wav";
    wavAudioFile wav(run);
    ::testing::internal::CaptureStderr();
    const outcome opened = wav.open(path, 8000);
    const std::string lines = "# ERROR: Unable to open the .wav file " + path +
                              "\n# ERROR:  libsndfile: System error : No such file or directory.\n";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(processStatus(opened.status()), -8);
    EXPECT_EQ(opened.lines(), lines);
    EXPECT_STREQ(opened.closingLine(), "# ERROR: Exiting\n");
    EXPECT_FALSE(wav.isOpen());
}

TEST(wavAudioFileTest, SamplesThatCannotBeWrittenAreReportedOnce) {
    scratchDirectory dir;
    runStatus run;
    const std::string path = dir.file("completeSensorAudio.wav");
    std::string printed;
    {
        const outputTest::fileSizeLimit limit(1000);
        wavAudioFile wav(run);
        ASSERT_TRUE(wav.open(path, 8000).ok());
        const auto samples = asValues(ramp(wavAudioFile::blockSamples + 100, 0));
        ::testing::internal::CaptureStderr();
        wav.writeBatch(samples.data(), wavAudioFile::blockSamples + 100);
        wav.writeBatch(samples.data(), 100);
        wav.close();
        printed = ::testing::internal::GetCapturedStderr();
    }
    EXPECT_TRUE(printed.starts_with("# ERROR: Unable to write output file " + path + " (")) << printed;
    EXPECT_NE(printed.find("File too large"), std::string::npos) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_EQ(run.filesFailed(), 1);
}

}  // namespace
}  // namespace sensconv
