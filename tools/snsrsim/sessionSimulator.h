#pragma once
// Simulates one recording session: the wearer, the two sensor boards with their
// clocks, the microphone, the GPS receiver and the camera, packed into container
// files in time order, with the damage asked for, and, if wanted, the ground truth
// of what a correct conversion must contain.

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "container/snsrHeader.h"
#include "snsrsim/accelErrors.h"
#include "snsrsim/audioSynth.h"
#include "snsrsim/cameraStream.h"
#include "snsrsim/daySchedule.h"
#include "snsrsim/randomSource.h"
#include "snsrsim/recordingWriter.h"
#include "snsrsim/simOptions.h"
#include "snsrsim/sirfStream.h"
#include "snsrsim/truthWriter.h"
#include "snsrsim/wearerModel.h"

namespace snsrsim {

struct sessionResult {
    std::vector<std::string> files;  // names, in time order
    int64_t bytes = 0;
    int64_t endMs = 0;  // wall-clock end of the session, milliseconds since 1970
};

class sessionSimulator {
public:
    // Stream packet IDs in the container header.
    static constexpr uint16_t qor2StreamId = 1;
    static constexpr uint16_t micStreamId = 2;
    static constexpr uint16_t juxStreamId = 3;
    static constexpr uint16_t gpsStreamId = 4;
    static constexpr uint16_t cameraStreamId = 5;

    sessionSimulator(const simOptions& options, int32_t sessionIndex, int64_t startMs);
    sessionResult run();

private:
    // A group of readings that the board samples together at one rate.
    struct sensorGroup {
        int32_t rate = 0;  // tenths of a hertz
        uint8_t mask = 0;
        int64_t nextSample = 0;  // index within the file
        int64_t nextTick = 0;    // ticks after the file's first packet of the board
    };
    enum qor2GroupIndex { accelGroup, lightFrequencyGroup, barometerGroup, compassGroup, lightGroup, humidityGroup };
    enum juxGroupIndex { gyroGroup, magnetometerGroup };
    enum class source { qor2Sensor, qor2Audio, juxSensor, juxStatus, gps, camera, none };

    struct gpsPacket {
        int64_t timeUs = 0;
        std::vector<uint8_t> payload;
        uint8_t count = 0;
    };

    sensconv::containerBuilder headerFor(uint64_t fileStartMs) const;
    std::string fileName(uint64_t fileStartMs) const;

    // Board clocks: absolute tick counts (never wrapped) and their wall times.
    int64_t qor2TickAt(int64_t us) const;
    int64_t juxTickAt(int64_t us) const;
    int64_t qor2TimeOf(int64_t tick) const;
    int64_t juxTimeOf(int64_t tick) const;
    // Seconds since 1970 of a wall time given in microseconds after the session's start.
    double unixSecondsOf(long double sessionUs) const;

    void beginFile(int64_t startUs);
    void endFile();
    int64_t nextTime(source s);
    void emitNext(source s, int64_t timeUs);

    // Writes a frame unless the damage drops it; returns whether it reached the file
    // with a correct checksum.
    bool emit(uint16_t streamId, int64_t timeUs, std::vector<uint8_t>& payload, bool damageable, bool boardPacket);

    void emitQor2Heartbeat();
    void emitJuxHeartbeat();
    void emitQor2Sensor();
    void emitQor2Audio();
    void emitJuxSensor();
    void emitJuxStatus();
    void emitGps();
    void emitCamera(int64_t timeUs, bool drain);
    void captureImage();
    void planAudioPacket();
    void refillGps();

    void qor2PacketValid(int64_t tick);
    int64_t qor2SessionTicks() const;
    int32_t qor2SessionMs() const;

    const simOptions& options_;
    int32_t sessionIndex_;
    int64_t startMs_;
    bool sizeMode_;
    int64_t durationUs_ = 0;
    int64_t fileGapUs_ = 0;
    int64_t fileTargetBytes_ = 0;

    randomSource layout_;
    randomSource noise_;
    randomSource damage_;
    wearerModel wearer_;
    accelErrors accelErrors_;
    std::optional<audioSynth> audio_;
    std::optional<sirfStream> sirf_;
    std::optional<cameraStream> camera_;
    std::unique_ptr<truthWriter> truth_;
    std::optional<daySchedule> schedule_;
    std::optional<dayTruth> dayTruth_;
    double qor2ZeroUnix_ = 0.0;  // true UTC of the file's first main-board sample

    sensconv::barometerCalibration calibration_;
    int64_t qor2Origin_ = 0;  // board tick at the session's start
    int64_t juxOrigin_ = 0;

    // The current file.
    std::unique_ptr<recordingWriter> writer_;
    int64_t fileStartUs_ = 0;
    int64_t lastEmitUs_ = 0;
    uint64_t fileStartMs_ = 0;
    bool qor2HeartbeatPending_ = false;
    bool juxHeartbeatPending_ = false;
    int64_t qor2FirstTick_ = 0;  // tick of the file's first main-board packet
    int64_t juxFirstTick_ = 0;
    std::array<sensorGroup, 6> qor2Groups_{};
    std::array<sensorGroup, 2> juxGroups_{};
    int64_t audioTick_ = 0;       // ticks after the file's first packet of the next audio packet
    int64_t audioCount_ = 0;      // audio samples of the file sent (or lost) so far
    int64_t audioNextCount_ = 0;  // cumulative count after the next audio packet
    int64_t juxStatusTick_ = 0;

    // The main board's time as the converter rebuilds it.
    int64_t sessionBase_ = -1;
    int64_t fileTime_ = -1;
    bool carryValid_ = false;
    int64_t carry_ = 0;

    // Session-wide sources.
    std::deque<gpsPacket> gpsQueue_;
    int64_t gpsNextSecond_ = 1;
    int64_t nextCaptureUs_ = 0;
    int32_t imageNumber_ = 0;
    int32_t badImagesLeft_ = 0;
    std::deque<std::vector<uint8_t>> imagesNotStarted_;  // bytes of images whose first packet is still to come
    cameraPacket cameraPacket_;

    sessionResult result_;
};

}  // namespace snsrsim
