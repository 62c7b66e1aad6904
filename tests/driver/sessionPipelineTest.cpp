#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/runStatus.h"
#include "common/userMessages.h"
#include "decode/sampleChannel.h"
#include "driver/sessionPipeline.h"
#include "output/outputChannel.h"
#include "output/wavAudioFile.h"
#include "output/outputTestSupport.h"

namespace sensconv {
namespace {

using outputTest::readWhole;
using outputTest::scratchDirectory;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// A file whose writes take a while and fail: its failure line is due right after the
// block is handed over, long before the session's thread is done with it.
class slowFailingFile final : public handOff::target {
public:
    slowFailingFile(sessionThread& writer, std::string name) : writer_(&writer), name_(std::move(name)) {}

    void handNext() {
        ++handed_;
        writer_->hand(*this, 0);
    }
    void writeHandedBlock(uint32_t) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        writtenOn.push_back(std::this_thread::get_id());
    }
    void retireHandedBlock(uint32_t) override {
        retiredOn.push_back(std::this_thread::get_id());
        printMessage("%s block %d failed\n", name_.c_str(), ++retired_);
    }

    std::vector<std::thread::id> writtenOn;
    std::vector<std::thread::id> retiredOn;

private:
    sessionThread* writer_;
    std::string name_;
    int handed_ = 0;
    int retired_ = 0;
};

TEST(sessionThreadTest, EveryLineComesAfterTheOutcomesOfTheBlocksHandedBeforeIt) {
    sessionThread writer;
    ASSERT_TRUE(writer.threaded());
    setMessageBarrier(&writer);
    slowFailingFile a(writer, "a");
    slowFailingFile b(writer, "b");
    CaptureStderr();
    a.handNext();
    printMessage("after a1\n");
    b.handNext();
    a.handNext();
    putMessage("after b1 and a2\n");
    b.handNext();
    settleMessages();  // as before the process ends: nothing may stay untold
    const std::string printed = GetCapturedStderr();
    setMessageBarrier(nullptr);
    EXPECT_EQ(printed,
              "a block 1 failed\nafter a1\nb block 1 failed\na block 2 failed\nafter b1 and a2\nb block 2 failed\n");
    for (const slowFailingFile* file : {&a, &b}) {
        ASSERT_EQ(file->writtenOn.size(), 2u);
        ASSERT_EQ(file->retiredOn.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            EXPECT_NE(file->writtenOn[i], std::this_thread::get_id());
            EXPECT_EQ(file->retiredOn[i], std::this_thread::get_id());
        }
    }
}

// Work handed over to be started at once (the wear pass's later half) runs while the
// converting thread goes on with its own, before anyone waits for it.
TEST(sessionThreadTest, WorkHandedNowStartsWithoutBeingWaitedFor) {
    class startedWork final : public handOff::target {
    public:
        void writeHandedBlock(uint32_t) override { started.set_value(); }
        void retireHandedBlock(uint32_t) override { ++retired; }
        std::promise<void> started;
        int retired = 0;
    };
    sessionThread thread;
    ASSERT_TRUE(thread.threaded());
    startedWork work;
    std::future<void> started = work.started.get_future();
    const uint64_t ticket = thread.handNow(work, 0);
    EXPECT_EQ(started.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    thread.waitFor(ticket);
    EXPECT_EQ(work.retired, 1);
}

// What a session's writer does, in both ways: channels and audio in blocks, lines of
// the decoder between packets, and a file size limit that makes the blocks fail one
// after the other. The thread changes nothing of what reaches the files or the user.
TEST(sessionThreadTest, WritingOnTheThreadGivesTheFilesAndLinesOfWritingInPlace) {
    constexpr int32_t block = 16384;  // samples of a channel block
    const auto convert = [](sessionThread::mode how, const std::string& directory, runStatus& run) {
        const outputTest::fileSizeLimit limit(5 * 65536 + 100);
        sessionThread writer(how);
        setMessageBarrier(&writer);
        CaptureStderr();
        {
            wavAudioFile audio(run, &writer);
            EXPECT_TRUE(audio.open(directory + "audio.wav", 8000).ok());
            sampleChannel slow(sampleChannel::defaultMaxFill, 10.0, 1000, "qor2/bar_press", "BarPres");
            sampleChannel fast(sampleChannel::defaultMaxFill, 10.0, 1000, "jux/x_gyro", "gyro");
            outputChannel slowFile(run, slow, &writer);
            outputChannel fastFile(run, fast, &writer);
            EXPECT_TRUE(slowFile.open(directory).ok());
            EXPECT_TRUE(fastFile.open(directory).ok());
            std::vector<double> values(3 * block);
            for (int packet = 0; packet < 60; ++packet) {
                for (size_t i = 0; i < values.size(); ++i) values[i] = packet * 1000.0 + static_cast<double>(i % 977);
                // Sizes that end blocks in the middle of a batch and span several blocks.
                const auto fastCount = static_cast<int32_t>(packet % 7 == 3 ? 2 * block + 5 : 3001 + packet);
                outputTest::giveBatch(slow, values.data(), 257 + packet);
                outputTest::giveBatch(fast, values.data(), fastCount);
                slowFile.writeBatch();
                fastFile.writeBatch();
                audio.writeBatch(values.data(), 4099);
                if (packet % 5 == 0) printMessage("# decoder line after packet %d\n", packet);
            }
            slowFile.mergeFileEnd();
            printMessage("# end of the input file\n");
        }
        std::string printed = GetCapturedStderr();
        setMessageBarrier(nullptr);
        for (size_t at = printed.find(directory); at != std::string::npos; at = printed.find(directory, at)) {
            printed.replace(at, directory.size(), "<dir>/");
        }
        return printed;
    };

    scratchDirectory dir;
    runStatus inPlaceRun;
    runStatus threadedRun;
    std::filesystem::create_directories(dir.file("inPlace"));
    std::filesystem::create_directories(dir.file("threaded"));
    const std::string inPlace = convert(sessionThread::mode::inPlace, dir.file("inPlace/"), inPlaceRun);
    const std::string threaded = convert(sessionThread::mode::ownThread, dir.file("threaded/"), threadedRun);

    // The audio and the fast channel fail once their blocks pass the limit: the audio
    // with one line, the channel with a line for every batch that lost samples.
    EXPECT_EQ(inPlaceRun.filesFailed(), 2);
    EXPECT_NE(inPlace.find("<dir>/audio.wav (System error : File too large.)\n"), std::string::npos) << inPlace;
    EXPECT_NE(inPlace.find("# snsr_packetWriter: ERROR, attempted to write "), std::string::npos) << inPlace;
    EXPECT_EQ(threaded, inPlace);
    EXPECT_EQ(threadedRun.filesFailed(), inPlaceRun.filesFailed());
    for (const char* name : {"binaryData_BarPres.bin", "binaryData_BarPres.meta", "binaryData_gyro.bin",
                             "binaryData_gyro.meta", "audio.wav"}) {
        // The WAV file's tags hold the time of day it was opened at.
        const auto withoutDate = [](const std::string& bytes) {
            static const std::regex date("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}");
            return std::regex_replace(bytes, date, "(date)");
        };
        const std::string written = withoutDate(readWhole(dir.file(std::string("inPlace/") + name)));
        EXPECT_FALSE(written.empty()) << name;
        EXPECT_EQ(withoutDate(readWhole(dir.file(std::string("threaded/") + name))), written) << name;
    }
}

}  // namespace
}  // namespace sensconv
