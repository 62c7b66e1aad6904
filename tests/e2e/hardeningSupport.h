#pragma once
// For the tests of damaged, hostile and unusual inputs and outputs: recordings of
// every stream kind, and the suite's runner and files.

#include "e2e/e2eSupport.h"

namespace sensconv::hardening {

using testing_support::programRun;
using testing_support::fileExists;
using testing_support::fileSizeOf;
using testing_support::readWhole;
using testing_support::runBinary;
using testing_support::runOptions;
using testing_support::runProgram;
using testing_support::scratchDirectory;

using testing_support::recordingPlan;

// A recording the converter turns into every kind of output: main-board audio and
// every sensor, second-board packets, GPS records and camera images (one whole, one
// too short to be written), ten board packets a second.
inline recordingPlan everyStream() {
    recordingPlan plan;
    plan.packetsPerSecond = 10;
    plan.micHz = 630;  // 63 samples a packet
    plan.rate = 100;
    plan.everySensor = plan.jux = true;
    plan.images = {102, 5};
    return plan;
}

inline containerBuilder recording(const recordingPlan& plan = everyStream()) {
    return testing_support::buildRecording(plan);
}

}  // namespace sensconv::hardening
