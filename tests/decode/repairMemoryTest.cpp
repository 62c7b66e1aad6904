// Gap repair under the worst a damaged file can ask for: memory stays within the
// repair buffers that the fill limit implies, however many gaps follow one another,
// and a repair buffer that cannot be had ends the run with its own message.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/childMeasure.h"
#include "common/sanitizers.h"
#include "decode/boardPacketBuilder.h"
#include "decode/packetBatch.h"
#include "decode/sampleChannel.h"
#include "decode/sensorDecoder.h"
#include "decodeTestSupport.h"

namespace sensconv {
namespace {

using namespace sensconv::testing;
using testing_support::measureInChild;

constexpr int allChannels = numQor2Channels + numJuxChannels;
constexpr long repairBuffersKiB =
    allChannels * (sampleChannel::defaultMaxFill + packetBatch::maxValuesPerChannel) * long{sizeof(double)} / 1024;
// The repair buffers, with a quarter on top for the allocator and the sanitizers'
// bookkeeping, plus 16 MiB for everything else the decoder holds.
constexpr long repairLimitMemoryKiB = repairBuffersKiB + repairBuffersKiB / 4 + 16 * 1024;

// At 800 Hz and 1000 ticks per 10 s, 8 samples are due per tick: a packet 25,599
// ticks after the previous one leaves 204,797 samples to fill in every channel, just
// under the fill limit. Each board packet feeds every channel of its board.
TEST(repairMemoryTest, RepeatedLargestGapsStayWithinTheRepairBuffers) {
    constexpr int gaps = 12;
    const auto measured = measureInChild([] {
        snsrStream qor2 = qor2Stream(1000, 800, 8000);
        snsrHeader header = headerOf({qor2, juxStream(1000, 8000)});
        sensorDecoder decoder(&header);
        decoder.disableRolloverCheck();
        qor2SensorFields q;
        q.barTemp = 20224;
        q.shtTemp = 6400;
        juxSensorFields j;
        int64_t filled = 0;
        for (int i = 0; i <= gaps; ++i) {
            const int64_t t = int64_t{25599} * i;
            const auto ts = static_cast<uint8_t>(t / 1000 % 256);
            const auto intCount = static_cast<uint16_t>(t % 1000);
            const std::vector<uint8_t> audio = boardPacketBuilder::qor2Audio(ts, intCount, {0x8000});
            const std::vector<uint8_t> sensors = boardPacketBuilder::qor2Sensor(1, 0xFF, ts, intCount, q);
            const std::vector<uint8_t> gyro = boardPacketBuilder::juxSensor(0x0F, ts, intCount, j);
            const bool taken = decoder.processPacket(packetOf(streamQOR2, audio, 3 * i)).ok() &&
                               decoder.processPacket(packetOf(streamQOR2, sensors, 3 * i + 1)).ok() &&
                               decoder.processPacket(packetOf(streamJUX, gyro, 3 * i + 2)).ok();
            if (!taken) return -1L;
        }
        for (const auto& channel : decoder.qor2Channels()) filled += channel->filledInFile();
        for (const auto& channel : decoder.juxChannels()) filled += channel->filledInFile();
        return static_cast<long>(filled);
    });
    ASSERT_TRUE(measured.exited);
    // Every channel that receives readings was filled gap after gap; the two power
    // channels receive nothing.
    EXPECT_GT(measured.result, long{(allChannels - 2) * (gaps - 1)} * 204000);
    if (!testing_support::threadSanitizer) { EXPECT_LT(measured.growthKiB, repairLimitMemoryKiB); }
}

// With too little address space for a repair buffer the channel reports the buffer's
// own message and status -1, instead of an uncaught exception.
TEST(repairMemoryTest, RepairBufferThatCannotBeAllocatedIsFatal) {
    if (testing_support::sanitizedBuild) GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
    const int32_t hugeFill = 1 << 30;  // 8 GiB of repair buffer
    const std::string bytes = std::to_string((int64_t{hugeFill} + packetBatch::maxValuesPerChannel) * 8);
    // Only the soft limit is lowered, for the channel's construction; it is raised again
    // before anything else runs.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t{1} << 31;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
    const sampleChannel channel(hugeFill, 10, 10, "jux/x_mag", "mag");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    const std::string expected = "# ERROR: unable to allocate an internal buffer to store repair data\n"
                                 "# ERROR: malloc failed asking for " + bytes + " bytes\n";
    // The channel prints nothing of it: the lines are its caller's to print.
    EXPECT_EQ(printed, "");
    EXPECT_EQ(processStatus(channel.setUpResult().status()), -1);
    EXPECT_EQ(channel.setUpResult().lines(), expected);
    EXPECT_STREQ(channel.setUpResult().closingLine(), "");
}

}  // namespace
}  // namespace sensconv
