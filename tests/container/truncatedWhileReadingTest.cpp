// A recording that shrinks while it is being read (a copy overwritten, a card pulled)
// ends where its data ends: the packets still there are delivered, the cut one is
// reported, nothing is read from beyond the end.

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "container/containerTestFiles.h"
#include "container/packetReader.h"

namespace sensconv {
namespace {

using testing_support::scratchDirectory;

TEST(truncatedWhileReadingTest, ReadingEndsAtTheNewEndWithTheCutPacketReported) {
    const scratchDirectory dir;
    const std::string path = dir / "shrinking.snsr";
    containerBuilder builder;
    builder.addStream("qor2", 1);
    const std::vector<uint8_t> payload(100, 0x5A);
    // Larger than the quarter megabyte the reader reads ahead.
    for (uint32_t i = 0; i < 4000; ++i) builder.addFrame(1, i, payload);
    ASSERT_TRUE(builder.writeFile(path));
    const auto headerSize = static_cast<off_t>(builder.headerBytes().size());

    packetReader reader(path);
    ASSERT_TRUE(reader.fileOk());
    snsrPacket packet;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(reader.readPacket(packet), packetReader::readResult::delivered);
    // Cut the file in the middle of packet 3000, well beyond what has been read so far.
    ASSERT_EQ(::truncate(path.c_str(), headerSize + 3000 * 110 + 50), 0);

    ::testing::internal::CaptureStderr();
    packetReader::readResult last = packetReader::readResult::delivered;
    while (reader.hasData()) last = reader.readPacket(packet);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n");
    EXPECT_EQ(last, packetReader::readResult::cutOff);
    EXPECT_EQ(reader.numParsedPackets(), 3000);
    EXPECT_EQ(reader.lastSNSRTimestamp(), 2999u);
}

}  // namespace
}  // namespace sensconv
