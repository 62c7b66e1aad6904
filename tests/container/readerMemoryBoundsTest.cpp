// Hostile headers (counts and sizes that promise gigabytes) must cost the reader no
// more memory than the bytes that really arrive. Each case runs the reader in a child
// process and measures how far the child's peak resident size grew.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/childMeasure.h"
#include "common/sanitizers.h"
#include "container/containerBuilder.h"
#include "container/containerTestFiles.h"
#include "container/packetReader.h"
#include "container/snsrHeader.h"
#include "platform/platform.h"

namespace sensconv {
namespace {

using testing_support::measureInChild;
using testing_support::scratchDirectory;
using testing_support::writeBytes;

// A resource bound, not a timing: far below what any of the promised sizes would take.
constexpr long peakGrowthLimitKiB = 64 * 1024;

// Headers whose counts or sizes promise far more than the 100-byte file holds.
std::vector<std::vector<uint8_t>> hostileHeaders() {
    std::vector<std::vector<uint8_t>> headers;
    const uint8_t some[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const uint32_t size : {0xFFFFFFF0u, UINT32_MAX}) {
        containerBuilder builder;
        builder.addRawAtom("blob", 'c', some, size);
        headers.push_back(builder.bytes());
    }
    {
        containerBuilder builder;
        builder.declareAtomCount(INT32_MAX).addIntAtom("intr", 1);
        headers.push_back(builder.bytes());
    }
    {
        containerBuilder builder;
        builder.declareStreamCount(INT32_MAX).addStream("qor2", 1);
        headers.push_back(builder.bytes());
    }
    {
        containerBuilder builder;
        builder.addStream("qor2", 1).intAtom("intr", 1).declaredAtomCount = INT32_MAX;
        headers.push_back(builder.bytes());
    }
    {
        containerBuilder builder;
        builder.addStream("jux ", 2).rawAtom("gyro", 'i', some, 0xF0000000u);
        headers.push_back(builder.bytes());
    }
    for (std::vector<uint8_t>& bytes : headers) bytes.resize(100, 0);
    return headers;
}

bool readWholeFile(const std::string& path) {
    packetReader reader(path);
    snsrPacket packet;
    while (reader.hasData()) reader.readPacket(packet);
    return reader.fileOk();
}

// Standard input from a pipe cannot tell its size; a writer process feeds it bytes.
bool readThroughPipe(const std::vector<uint8_t>& bytes) {
    int ends[2];
    if (::pipe(ends) != 0) return false;
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(ends[0]);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(ends[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) std::_Exit(1);
            done += static_cast<size_t>(n);
        }
        std::_Exit(0);
    }
    ::close(ends[1]);
    if (::dup2(ends[0], 0) != 0) return false;
    ::close(ends[0]);
    std::clearerr(stdin);
    const bool ok = readWholeFile("-");
    ::waitpid(writer, nullptr, 0);
    return ok;
}

TEST(readerMemoryBoundsTest, HostileHeaderFilesAreInvalidWithoutLargeAllocations) {
    const scratchDirectory dir;
    const std::vector<std::vector<uint8_t>> headers = hostileHeaders();
    for (size_t i = 0; i < headers.size(); ++i) {
        SCOPED_TRACE("hostile header " + std::to_string(i));
        const std::string path = dir / ("hostile" + std::to_string(i) + ".snsr");
        ASSERT_TRUE(writeBytes(path, headers[i]));
        const auto result = measureInChild([&path] { return long{readWholeFile(path)}; });
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.result, 0);
        if (!testing_support::threadSanitizer) { EXPECT_LT(result.growthKiB, peakGrowthLimitKiB); }
        // The header model holds no more entries than the 100 bytes carried.
        snsrHeader header;
        header.file = platform::openForReading(path);
        ASSERT_NE(header.file, nullptr);
        EXPECT_FALSE(readHeader(header));
        std::fclose(header.file);
        header.file = nullptr;
        EXPECT_LE(header.atoms.size() + header.streams.size(), 20u);
    }
}

TEST(readerMemoryBoundsTest, HostileHeadersOnStandardInputAreInvalidWithoutLargeAllocations) {
    for (const std::vector<uint8_t>& bytes : hostileHeaders()) {
        const auto result = measureInChild([&bytes] { return long{readThroughPipe(bytes)}; });
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.result, 0);
        if (!testing_support::threadSanitizer) { EXPECT_LT(result.growthKiB, peakGrowthLimitKiB); }
    }
}

// An atom that announces almost 4 GiB and really delivers 8 MiB through a pipe before
// the data ends: memory follows the bytes that arrived, and the header is invalid.
TEST(readerMemoryBoundsTest, StandardInputMemoryFollowsTheBytesThatArrive) {
    containerBuilder builder;
    const std::vector<uint8_t> data(8u << 20, 0x5A);
    builder.addRawAtom("blob", 'c', data, 0xFFFFFFF0u);
    const std::vector<uint8_t> bytes = builder.bytes();
    const auto result = measureInChild([&bytes] { return long{readThroughPipe(bytes)}; });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.result, 0);
    if (!testing_support::threadSanitizer) { EXPECT_LT(result.growthKiB, peakGrowthLimitKiB); }
}

}  // namespace
}  // namespace sensconv
