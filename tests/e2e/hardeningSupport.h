#pragma once
// For the tests of damaged, hostile and unusual inputs and outputs: runs the real
// program with a time limit, an optional file size limit and its peak memory
// measured, on recordings of every stream kind.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "decode/boardPacketBuilder.h"
#include "e2e/e2eSupport.h"

namespace sensconv::hardening {

using runResult = testing_support::programRun;

struct runOptions {
    std::string workingDirectory;             // empty: the test's own
    std::optional<rlim_t> fileSizeLimit;      // RLIMIT_FSIZE, with SIGXFSZ ignored
    unsigned timeoutSeconds = 120;            // a hung program is killed (status -SIGALRM)
    std::vector<std::string> wrapper;         // a program that runs the converter (a fault injector)
    bool closedOutputStreams = false;         // started with descriptors 1 and 2 closed
    // Called with the program's id and its standard error so far, after each piece of it.
    std::function<void(pid_t, const std::string&)> watchStandardError;
};

using testing_support::fileSizeOf;
using testing_support::readWhole;
using testing_support::scratchDirectory;

// The converter through the suite's one process runner.
inline runResult runProgram(const std::vector<std::string>& arguments, const runOptions& options = {}) {
    testing_support::runLimits limits;
    limits.fileSizeLimit = options.fileSizeLimit;
    limits.timeoutSeconds = options.timeoutSeconds;
    limits.wrapper = options.wrapper;
    limits.closedOutputStreams = options.closedOutputStreams;
    limits.watchStandardError = options.watchStandardError;
    return testing_support::runBinary(SENSCONV_BINARY, arguments, options.workingDirectory, limits);
}

inline bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}


// What a recording holds: which boards and streams, and how many seconds of packets.
struct recordingOf {
    int seconds = 4;
    int32_t micHz = 630;   // audio rate in hertz (63 samples a packet); 0 for none
    int32_t rate = 100;    // tenths of a hertz for every other channel
    bool jux = true;
    bool gps = true;
    bool camera = true;
    uint64_t fileStartTime = 1230000000000ULL;
};

// A recording the converter turns into every kind of output: main-board audio and
// sensor packets, second-board packets, GPS records and one camera image, ten board
// packets a second, at 1000 ticks per 10-second period.
inline containerBuilder recording(const recordingOf& plan = {}) {
    containerBuilder builder;
    builder.setFileStartTime(plan.fileStartTime);
    qor2Settings q;
    q.intr = 1000;
    q.mic = plan.micHz;
    q.acc = q.amb = q.bar = q.comp = q.dals = q.hum = plan.rate;
    q.bdnr = 42;
    q.wd01 = 0x9000;
    q.wd02 = 0x4321;
    q.wd03 = 0x1234;
    q.wd04 = 0x5678;
    builder.addQor2Stream(1, q);
    if (plan.jux) {
        juxSettings j;
        j.intr = 1000;
        j.gyro = j.mag = plan.rate;
        builder.addJuxStream(2, j);
    }
    if (plan.gps) builder.addSirfGpsStream(3);
    if (plan.camera) builder.addCameraStream(4);

    qor2SensorFields fields;
    fields.accelX = 16383;
    fields.barTemp = 20224 + 300;
    fields.pressure = 30000;
    fields.compass = 900;
    fields.visLight = 0x35;
    fields.irLight = 0x12;
    fields.shtTemp = 6400;
    fields.humidity = 1200;
    juxSensorFields gyro;
    gyro.gyro = {1, 2, 3};
    gyro.mag = {4, 5, 6};
    const int audioPerPacket = plan.micHz / 10;
    uint32_t ms = 0;
    for (int step = 0; step < plan.seconds * 10; ++step) {
        ms = static_cast<uint32_t>(step * 100);
        const int64_t ticks = int64_t{step} * 10;  // 1000 ticks per 10 s
        const auto ts = static_cast<uint8_t>(ticks / 1000 % 256);
        const auto intCount = static_cast<uint16_t>(ticks % 1000);
        if (audioPerPacket > 0) {
            std::vector<uint16_t> words(static_cast<size_t>(std::min(audioPerPacket, 63)));
            for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(0x8000 + 100 * i);
            builder.addFrame(1, ms, boardPacketBuilder::qor2Audio(ts, intCount, words));
        }
        builder.addFrame(1, ms, boardPacketBuilder::qor2Sensor(1, 0xFF, ts, intCount, fields));
        if (plan.jux) builder.addFrame(2, ms, boardPacketBuilder::juxSensor(0x0F, ts, intCount, gyro));
        if (plan.gps) builder.addFrame(3, ms, std::vector<uint8_t>{0xA0, 0xA2, 0x00, 4, 0, 0, 0, 1, 2, 3, 4});
    }
    if (plan.camera) {
        std::vector<uint8_t> image = {0xFF, 0xD8};
        for (int i = 0; i < 100; ++i) image.push_back(static_cast<uint8_t>(i));
        builder.addFrame(4, ms, image);
        builder.addFrame(4, ms, std::vector<uint8_t>{0xFF, 0xD8, 1, 2, 3});
    }
    return builder;
}

}  // namespace sensconv::hardening
