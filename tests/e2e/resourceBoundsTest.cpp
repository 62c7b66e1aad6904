// The real program's peak memory on inputs built to make it large: a recording whose
// every channel has the largest gap that may be filled, and thousands of files to
// describe. (A header that promises gigabytes: conversionE2eTest.) Resource bounds,
// generous on purpose, not timings.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/sanitizers.h"
#include "common/textFormat.h"
#include "hardeningSupport.h"

namespace sensconv::hardening {
namespace {

using testing_support::sanitizerAllowanceKiB;
using testing_support::threadSanitizer;

// The repair buffers of all 25 channels: 204,800 values to fill plus one packet's 256,
// eight bytes each.
constexpr long repairBuffersKiB = 25L * (204800 + 256) * 8 / 1024;

// 800 samples a second in every channel, 1000 ticks per 10-second period: a packet
// 25,599 ticks after the first leaves 204,797 samples to fill in each channel that
// it feeds, just under the limit of 204,800.
TEST(resourceBoundsTest, LargestGapsStayWithinTheRepairBuffers) {
    scratchDirectory dir;
    containerBuilder builder;
    qor2Settings q;
    q.intr = 1000;
    q.mic = 800;
    q.acc = q.amb = q.bar = q.comp = q.dals = q.hum = 8000;
    builder.addQor2Stream(1, q);
    juxSettings j;
    j.intr = 1000;
    j.gyro = j.mag = 8000;
    builder.addJuxStream(2, j);
    qor2SensorFields fields;
    fields.barTemp = 20224;
    fields.shtTemp = 6400;
    for (const int64_t t : {int64_t{0}, int64_t{25599}}) {
        const auto ts = static_cast<uint8_t>(t / 1000);
        const auto intCount = static_cast<uint16_t>(t % 1000);
        const auto ms = static_cast<uint32_t>(t / 100);
        builder.addFrame(1, ms, boardPacketBuilder::qor2Audio(ts, intCount, std::vector<uint16_t>(63, 0x8000)));
        builder.addFrame(1, ms, boardPacketBuilder::qor2Sensor(1, 0xFF, ts, intCount, fields));
        builder.addFrame(2, ms, boardPacketBuilder::juxSensor(0x0F, ts, intCount, {}));
    }
    builder.addRawBytes(std::vector<uint8_t>(1024, 0));  // screening wants 1024 bytes
    ASSERT_TRUE(builder.writeFile(dir / "gaps.snsr"));

    const programRun run = runProgram({dir / "gaps.snsr"});
    EXPECT_EQ(run.status, 0) << run.problemLines();
    // Every filled position is listed: the first packet already finds six samples
    // missing, the second 204,791 more.
    const std::string sparse = readWhole(dir / "part_00/binaryData_accel.sparse");
    EXPECT_EQ(std::count(sparse.begin(), sparse.end(), '\n'), 204797);
    EXPECT_TRUE(sparse.starts_with("0,1\n1,1\n2,1\n3,1\n4,1\n5,1\n7,1\n8,1\n")) << sparse.substr(0, 40);
    EXPECT_TRUE(sparse.ends_with("204796,1\n204797,1\n"));
    EXPECT_EQ(fileSizeOf(dir / "part_00/binaryData_accel.bin"), (204797 + 2) * 4);
    if (!threadSanitizer) { EXPECT_LT(run.peakResidentKiB, repairBuffersKiB + 48 * 1024 + sanitizerAllowanceKiB); }
}

// -info describes every file of a scan; what it keeps of one must not stay with it
// for the rest of the run. 4,000 copies of a recording of every board stream, in one
// session: at 30 KB a file the description alone would pass the bound.
TEST(resourceBoundsTest, InfoOnManyFilesStaysWithinTheConversionBound) {
    scratchDirectory dir;
    testing_support::recordingPlan plan;
    plan.everySensor = true;
    plan.jux = true;
    const containerBuilder builder = testing_support::buildRecording(plan);
    constexpr int files = 4000;
    std::string lastFiles;
    std::filesystem::create_directory(dir / "rec");
    for (int i = 0; i < files; ++i) {
        ASSERT_TRUE(builder.writeFile(dir / formatText("rec/f%04d.snsr", i))) << i;
        lastFiles += formatText(" %d", i + 1);
    }
    for (const bool json : {false, true}) {
        std::vector<std::string> arguments = {"-info", "-scandir", dir / "rec"};
        if (json) arguments.push_back("-json");
        // A sanitizer's build describes the 4,000 files ten to twenty times more slowly
        // than the program a study runs: the alarm that catches a hung run waits longer.
        runOptions options;
        if (testing_support::sanitizedBuild) options.timeoutSeconds = 900;
        const programRun run = runProgram(arguments, "", options);
        ASSERT_FALSE(run.out.empty()) << run.problemLines();
        EXPECT_EQ(run.status, 0) << run.problemLines();
        if (json) {
            EXPECT_NE(run.out.find("\n      \"index\": 3999,\n"), std::string::npos);
            // One session, listing every file.
            EXPECT_NE(run.out.find("\n        3999\n      ],\n      \"start\": {\n"), std::string::npos);
            EXPECT_EQ(run.out.find("\"part_01\""), std::string::npos);
            EXPECT_TRUE(run.out.ends_with("\n  ]\n}\n"));
        } else {
            EXPECT_NE(run.out.find("\nFile 4000: " + (dir / "rec/f3999.snsr") + "\n"), std::string::npos);
            EXPECT_TRUE(run.out.ends_with(", files" + lastFiles + "\n")) << run.out.substr(run.out.size() - 200);
        }
        // The address sanitizer's quarantine keeps what every file's description freed,
        // so a peak there says nothing about the descriptions being let go.
        if (!testing_support::sanitizedBuild) { EXPECT_LT(run.peakResidentKiB, 64 * 1024) << (json ? "-json" : "table"); }
    }
}

}  // namespace
}  // namespace sensconv::hardening
