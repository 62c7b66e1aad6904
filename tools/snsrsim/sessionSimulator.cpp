#include "snsrsim/sessionSimulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>

#include "common/littleEndian.h"
#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "decode/boardPacketBuilder.h"
#include "decode/channelTable.h"
#include "platform/platform.h"
#include "snsrsim/cameraPicture.h"
#include "snsrsim/sensorCodec.h"

namespace snsrsim {

using sensconv::boardPacketBuilder;
using sensconv::formatText;

namespace {

constexpr int64_t never = std::numeric_limits<int64_t>::max();
constexpr int64_t microsPerPeriod = 10'000'000;  // one period of the period counter lasts 10 s
constexpr uint8_t gpsKind = 0x10;
constexpr uint8_t gpsNoData = 255;
constexpr int64_t cameraLinkBytesPerSecond = 40'000;
// The second board reports its power state every 30 seconds.
constexpr int64_t juxStatusPeriods = 3;
constexpr uint8_t juxStatusKind = 4;

uint64_t mixSeed(uint64_t seed, uint64_t a, uint64_t b) {
    uint64_t x = seed ^ (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 29);
}

// The tick (after the file's first packet of the board) at which sample k of a
// channel is sent. The converter expects (t + 1) * rate / intmax samples by tick t
// and fills a shortfall of two or more; sending sample k when that expectation
// stands between k + 2.5 and k + 2.9 keeps the channel on time, and a lost sample is
// then filled exactly once, just before the next sample that arrives.
int64_t dueTick(int64_t k, int32_t rate, int32_t intmax) {
    const int64_t numerator = (2 * k + 5) * intmax;
    const int64_t denominator = 2 * static_cast<int64_t>(rate);
    return (numerator + denominator - 1) / denominator - 1;
}

// A board's clock: its tick count at a wall time (microseconds after the session's
// start), the first whole microsecond at which it has reached a tick, and the exact
// instant of a tick. A clock that drifts counts (1 + drift) times intmax ticks in 10 s.
int64_t tickAt(int64_t us, int64_t origin, int32_t intmax, double driftPpm) {
    if (driftPpm == 0.0) return origin + us * intmax / microsPerPeriod;
    const long double ticks = static_cast<long double>(us) * intmax * (1.0L + driftPpm * 1e-6L) / microsPerPeriod;
    return origin + static_cast<int64_t>(std::floor(ticks));
}

long double instantOf(int64_t tick, int64_t origin, int32_t intmax, double driftPpm) {
    return static_cast<long double>(tick - origin) * microsPerPeriod / (intmax * (1.0L + driftPpm * 1e-6L));
}

int64_t timeOf(int64_t tick, int64_t origin, int32_t intmax, double driftPpm) {
    if (driftPpm == 0.0) return ((tick - origin) * microsPerPeriod + intmax - 1) / intmax;
    return static_cast<int64_t>(std::ceil(instantOf(tick, origin, intmax, driftPpm)));
}

uint8_t periodOf(int64_t tick, int32_t intmax) {
    return static_cast<uint8_t>((tick / intmax) % 256);
}

uint16_t interruptOf(int64_t tick, int32_t intmax) {
    return static_cast<uint16_t>(tick % intmax);
}

}  // namespace

sessionSimulator::sessionSimulator(const simOptions& options, int32_t sessionIndex, int64_t startMs)
    : options_(options),
      sessionIndex_(sessionIndex),
      startMs_(startMs),
      sizeMode_(options.sizeMB > 0.0),
      layout_(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 1)),
      noise_(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 2)),
      damage_(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 3)),
      wearer_(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 4), options.oneOrientation),
      accelErrors_(options.accelErrors) {
    const streamSelection& streams = options.streams;
    if (streams.mic) audio_.emplace(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 5), options.audioRateHz);
    if (streams.gps)
        sirf_.emplace(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 6), options.gpsMeasured,
                      options.gpsGeodetic);
    if (streams.camera)
        camera_.emplace(mixSeed(options.seed, static_cast<uint64_t>(sessionIndex), 7), cameraLinkBytesPerSecond);

    // One plan of days for every session of the wearer, keyed by UTC.
    if (options.schedule) schedule_.emplace(mixSeed(options.seed, 0, 8), static_cast<double>(options.startTime));
    durationUs_ = static_cast<int64_t>(std::llround(options.durationSec * 1e6));
    fileGapUs_ = static_cast<int64_t>(std::llround(options.fileGapSec * 1e6));
    fileTargetBytes_ = static_cast<int64_t>(options.sizeMB * 1e6 / options.filesPerSession);

    // The barometer of this recorder, as calibrated at the factory.
    calibration_ = sensconv::barometerCalibration{23470, 2152, 324, 421, 1198, 37};

    // The boards have been running for a while when the recording starts.
    const int64_t qor2Period = options.startPeriod >= 0 ? options.startPeriod : layout_.integer(0, 255);
    qor2Origin_ = qor2Period * options.qor2Intmax + layout_.integer(0, options.qor2Intmax - 1);
    const int64_t juxPeriod = options.startPeriod >= 0 ? options.startPeriod : layout_.integer(0, 255);
    juxOrigin_ = juxPeriod * options.juxIntmax + layout_.integer(0, options.juxIntmax - 1);

    nextCaptureUs_ = 2'000'000;
    badImagesLeft_ = options.damage.badImages;

    if (!options.truthDir.empty()) {
        truthContents contents;
        contents.qor2 = streams.qor2;
        contents.audio = streams.qor2 && streams.mic;
        contents.jux = streams.jux;
        contents.gps = streams.gps;
        contents.camera = streams.camera;
        contents.wavSampleRate = options.audioRateHz;
        const sensorRates& r = options.rates;
        const std::array<int32_t, sensconv::numQor2Channels> qor2Rates = {
            options.audioRateHz * 10, r.bar, r.comp, r.amb, r.hum, r.dals, r.dals, r.bar,
            r.hum,                    r.dals, r.acc, r.acc, r.acc, r.acc, r.powr};
        const std::array<int32_t, sensconv::numJuxChannels> juxRates = {r.gyro, r.gyro, r.gyro, r.gyro, r.gyro,
                                                                        r.gyro, r.mag,  r.mag,  r.mag,  r.powr};
        for (int c = 0; c < sensconv::numQor2Channels; ++c)
            contents.rateHz[static_cast<size_t>(c)] = qor2Rates[static_cast<size_t>(c)] / 10.0;
        for (int c = 0; c < sensconv::numJuxChannels; ++c)
            contents.rateHz[static_cast<size_t>(juxTruthChannel(c))] = juxRates[static_cast<size_t>(c)] / 10.0;
        contents.qor2DriftPpm = options.qor2DriftPpm;
        contents.juxDriftPpm = options.juxDriftPpm;
        truth_ = std::make_unique<truthWriter>(options.truthDir, sessionIndex, contents);
        if (options.schedule)
            dayTruth_.emplace(sensconv::platform::withTrailingSeparator(options.truthDir) +
                              sensconv::outputLayout::sessionFolderName(sessionIndex));
    }
}

std::string sessionSimulator::fileName(uint64_t fileStartMs) const {
    const auto time = std::chrono::sys_time<std::chrono::milliseconds>(
        std::chrono::milliseconds(static_cast<int64_t>(fileStartMs)));
    const auto days = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date(days);
    const std::chrono::hh_mm_ss clock(time - days);
    return formatText("%04d%02u%02u_%02d%02d%02d_%03d.snsr", static_cast<int>(date.year()),
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
}

sensconv::containerBuilder sessionSimulator::headerFor(uint64_t fileStartMs) const {
    sensconv::containerBuilder header;
    header.setFileStartTime(fileStartMs);
    header.addTextAtom("devn", "wearable recorder");
    header.addIntAtom("fmtv", 2);
    const streamSelection& streams = options_.streams;
    const sensorRates& rates = options_.rates;
    if (streams.qor2) {
        sensconv::qor2Settings settings;
        settings.intr = options_.qor2Intmax;
        settings.mic = streams.mic ? options_.audioRateHz : 0;
        settings.acc = rates.acc;
        settings.amb = rates.amb;
        settings.bar = rates.bar;
        settings.comp = rates.comp;
        settings.dals = rates.dals;
        settings.hum = rates.hum;
        settings.powr = rates.powr;
        settings.bdnr = 4711;
        settings.hver = 3;
        settings.swma = 2;
        settings.swmi = 7;
        const barometerWords words = wordsForCalibration(calibration_);
        settings.wd01 = words.w1;
        settings.wd02 = words.w2;
        settings.wd03 = words.w3;
        settings.wd04 = words.w4;
        header.addQor2Stream(qor2StreamId, settings);
        if (streams.mic) header.addStream("mic ", micStreamId).intAtom("mics", options_.audioRateHz);
    }
    if (streams.jux) {
        sensconv::juxSettings settings;
        settings.intr = options_.juxIntmax;
        settings.gyro = rates.gyro;
        settings.mag = rates.mag;
        settings.powr = rates.powr;
        settings.bdnr = 815;
        settings.hver = 1;
        settings.swma = 1;
        settings.swmi = 4;
        header.addJuxStream(juxStreamId, settings);
    }
    if (streams.gps) header.addSirfGpsStream(gpsStreamId);
    if (streams.camera) header.addCameraStream(cameraStreamId);
    return header;
}

int64_t sessionSimulator::qor2TickAt(int64_t us) const {
    return tickAt(us, qor2Origin_, options_.qor2Intmax, options_.qor2DriftPpm);
}

int64_t sessionSimulator::juxTickAt(int64_t us) const {
    return tickAt(us, juxOrigin_, options_.juxIntmax, options_.juxDriftPpm);
}

int64_t sessionSimulator::qor2TimeOf(int64_t tick) const {
    return timeOf(tick, qor2Origin_, options_.qor2Intmax, options_.qor2DriftPpm);
}

int64_t sessionSimulator::juxTimeOf(int64_t tick) const {
    return timeOf(tick, juxOrigin_, options_.juxIntmax, options_.juxDriftPpm);
}

double sessionSimulator::unixSecondsOf(long double sessionUs) const {
    return static_cast<double>((static_cast<long double>(startMs_) * 1000.0L + sessionUs) / 1e6L);
}

sessionResult sessionSimulator::run() {
    const int32_t files = options_.filesPerSession;
    int64_t fileStart = 0;
    for (int32_t f = 0; f < files; ++f) {
        beginFile(fileStart);
        const int64_t fileEnd = sizeMode_ ? never : durationUs_ * (f + 1) / files + f * fileGapUs_;
        while (true) {
            if (qor2HeartbeatPending_) {
                emitQor2Heartbeat();
                continue;
            }
            if (juxHeartbeatPending_) {
                emitJuxHeartbeat();
                continue;
            }
            source next = source::none;
            int64_t when = never;
            for (source s : {source::qor2Sensor, source::qor2Audio, source::juxSensor, source::juxStatus, source::gps,
                             source::camera}) {
                const int64_t t = nextTime(s);
                if (t < when) {
                    when = t;
                    next = s;
                }
            }
            if (next == source::none || when >= fileEnd) break;
            if (sizeMode_ && writer_->size() >= fileTargetBytes_) break;
            emitNext(next, when);
        }
        if (f == files - 1 && camera_) {
            // The recording stops: the recorder sends the camera bytes it still holds.
            while (camera_->hasPendingBytes()) emitCamera(lastEmitUs_, true);
        }
        endFile();
        // The next file starts on a whole millisecond, after the pause between files.
        fileStart = sizeMode_ ? ((lastEmitUs_ / 1000 + 1) * 1000 + fileGapUs_) / 1000 * 1000
                              : (durationUs_ * (f + 1) / files + (f + 1) * fileGapUs_) / 1000 * 1000;
    }
    if (truth_) {
        truth_->finish();
        if (options_.streams.qor2) truth_->accelerometer(accelErrors_, wearer_.stillPeriods(lastEmitUs_ / 1e6), startMs_,
                                                         lastEmitUs_ / 1e6);
    }
    if (dayTruth_) dayTruth_->finish(*schedule_, unixSecondsOf(0), unixSecondsOf(lastEmitUs_));
    result_.endMs = startMs_ + lastEmitUs_ / 1000;
    return result_;
}

void sessionSimulator::beginFile(int64_t startUs) {
    fileStartUs_ = startUs;
    lastEmitUs_ = std::max(lastEmitUs_, startUs);
    // The recorder stamps the file with its own clock, which may be off.
    fileStartMs_ = static_cast<uint64_t>(startMs_ + startUs / 1000 + std::llround(options_.clockOffsetSec * 1000.0));
    const std::string name = fileName(fileStartMs_);
    writer_ = std::make_unique<recordingWriter>(sensconv::platform::withTrailingSeparator(options_.outputDir) + name,
                                                headerFor(fileStartMs_));
    result_.files.push_back(name);
    if (fileGapUs_ > 0) {
        // Nothing is recorded during the pause: the receiver's messages and the
        // pictures of that time are lost.
        if (sirf_) {
            while (true) {
                if (gpsQueue_.empty()) refillGps();
                if (gpsQueue_.front().timeUs >= startUs) break;
                gpsQueue_.pop_front();
            }
        }
        const auto interval = static_cast<int64_t>(std::llround(options_.imageIntervalSec * 1e6));
        while (camera_ && nextCaptureUs_ < startUs) nextCaptureUs_ += interval;
    }

    const sensorRates& rates = options_.rates;
    if (options_.streams.qor2) {
        qor2HeartbeatPending_ = true;
        qor2FirstTick_ = qor2TickAt(startUs) + 1;
        qor2Groups_[accelGroup] = sensorGroup{rates.acc, 0x01, 0, 0};
        qor2Groups_[lightFrequencyGroup] = sensorGroup{rates.amb, 0x00, 0, 0};
        qor2Groups_[barometerGroup] = sensorGroup{rates.bar, 0x30, 0, 0};
        qor2Groups_[compassGroup] = sensorGroup{rates.comp, 0x08, 0, 0};
        qor2Groups_[lightGroup] = sensorGroup{rates.dals, 0x06, 0, 0};
        qor2Groups_[humidityGroup] = sensorGroup{rates.hum, 0xC0, 0, 0};
        for (sensorGroup& g : qor2Groups_) g.nextTick = g.rate > 0 ? dueTick(0, g.rate, options_.qor2Intmax) : never;
        audioTick_ = 0;
        audioCount_ = 0;
        if (audio_) planAudioPacket();
        sessionBase_ = carryValid_ ? carry_ : -1;
        fileTime_ = -1;
    }
    if (options_.streams.jux) {
        juxHeartbeatPending_ = true;
        juxFirstTick_ = juxTickAt(startUs) + 1;
        juxGroups_[gyroGroup] = sensorGroup{rates.gyro, 0x01, 0, 0};
        juxGroups_[magnetometerGroup] = sensorGroup{rates.mag, 0x0E, 0, 0};
        for (sensorGroup& g : juxGroups_) g.nextTick = g.rate > 0 ? dueTick(0, g.rate, options_.juxIntmax) : never;
        juxStatusTick_ = options_.juxIntmax * 3 / 2;
    }
    if (truth_) {
        // Each board's first packet of the file (its first tick) is the instant of the
        // file's first sample of every channel of the board.
        const double qor2Zero =
            unixSecondsOf(instantOf(qor2FirstTick_, qor2Origin_, options_.qor2Intmax, options_.qor2DriftPpm));
        const double juxZero =
            unixSecondsOf(instantOf(juxFirstTick_, juxOrigin_, options_.juxIntmax, options_.juxDriftPpm));
        truth_->beginFile(name, qor2Zero, juxZero);
        qor2ZeroUnix_ = qor2Zero;
    }
}

void sessionSimulator::endFile() {
    if (options_.streams.qor2) {
        // The converter hands the main board's session time on to the next file.
        carry_ = sessionBase_ + fileTime_;
        carryValid_ = true;
    }
    writer_->close();
    result_.bytes += writer_->size();
    writer_.reset();
    if (truth_) truth_->endFile();
}

int64_t sessionSimulator::nextTime(source s) {
    switch (s) {
        case source::qor2Sensor: {
            if (!options_.streams.qor2) return never;
            int64_t tick = never;
            for (const sensorGroup& g : qor2Groups_) tick = std::min(tick, g.nextTick);
            return tick == never ? never : qor2TimeOf(qor2FirstTick_ + tick);
        }
        case source::qor2Audio:
            return audio_ ? qor2TimeOf(qor2FirstTick_ + audioTick_) : never;
        case source::juxSensor: {
            if (!options_.streams.jux) return never;
            int64_t tick = never;
            for (const sensorGroup& g : juxGroups_) tick = std::min(tick, g.nextTick);
            return tick == never ? never : juxTimeOf(juxFirstTick_ + tick);
        }
        case source::juxStatus:
            return options_.streams.jux ? juxTimeOf(juxFirstTick_ + juxStatusTick_) : never;
        case source::gps:
            if (!sirf_) return never;
            if (gpsQueue_.empty()) refillGps();
            return gpsQueue_.front().timeUs;
        case source::camera: {
            if (!camera_) return never;
            int64_t t = sizeMode_ || nextCaptureUs_ < durationUs_ + (options_.filesPerSession - 1) * fileGapUs_
                            ? nextCaptureUs_
                            : never;
            if (const std::optional<int64_t> ready = camera_->nextReady()) t = std::min(t, *ready);
            return t;
        }
        case source::none:
            break;
    }
    return never;
}

void sessionSimulator::emitNext(source s, int64_t timeUs) {
    switch (s) {
        case source::qor2Sensor:
            emitQor2Sensor();
            break;
        case source::qor2Audio:
            emitQor2Audio();
            break;
        case source::juxSensor:
            emitJuxSensor();
            break;
        case source::juxStatus:
            emitJuxStatus();
            break;
        case source::gps:
            emitGps();
            break;
        case source::camera:
            if (timeUs == nextCaptureUs_) {
                captureImage();
            } else {
                emitCamera(timeUs, false);
            }
            break;
        case source::none:
            break;
    }
}

bool sessionSimulator::emit(uint16_t streamId, int64_t timeUs, std::vector<uint8_t>& payload, bool damageable,
                            bool boardPacket) {
    lastEmitUs_ = std::max(lastEmitUs_, timeUs);
    fileExpectations scratch;
    fileExpectations& stats = truth_ ? truth_->currentFile() : scratch;
    const damageSettings& damage = options_.damage;

    if (damageable && damage_.chance(damage.dropRate)) return false;
    bool intact = true;
    if (damageable && boardPacket && damage_.chance(damage.badChecksumRate)) {
        boardPacketBuilder::spoilChecksum(payload);
        intact = false;
    }
    if (writer_->frames() > 0 && damage_.chance(damage.corruptRate)) {
        // Stray bytes between two frames. None of them can start a frame (a packet
        // ID below 19), so the reader resynchronises exactly at the next frame.
        std::vector<uint8_t> garbage(static_cast<size_t>(damage_.integer(1, 40)));
        for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(damage_.integer(0x13, 0xFF));
        writer_->rawBytes(garbage);
        ++stats.corruptSections;
        stats.corruptBytesSkipped += static_cast<int64_t>(garbage.size()) - 1;
    }
    const auto timestamp = static_cast<uint32_t>((lastEmitUs_ - fileStartUs_) / 1000);
    writer_->frame(streamId, timestamp, payload);
    ++stats.parsedPackets;
    if (boardPacket && !intact) {
        if (streamId == juxStreamId) {
            ++stats.juxCrcErrors;
        } else {
            ++stats.qor2CrcErrors;
        }
    }
    return intact;
}

void sessionSimulator::qor2PacketValid(int64_t tick) {
    if (sessionBase_ == -1) sessionBase_ = 0;
    fileTime_ = tick - qor2FirstTick_;
    if (truth_) ++truth_->currentFile().qor2ValidPackets;
}

int64_t sessionSimulator::qor2SessionTicks() const {
    return sessionBase_ + fileTime_;
}

int32_t sessionSimulator::qor2SessionMs() const {
    const double ms = std::trunc(static_cast<double>(qor2SessionTicks()) / (options_.qor2Intmax / 10.0) * 1000.0);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(ms)));
}

void sessionSimulator::emitQor2Heartbeat() {
    // A sensor packet without readings: it starts the board's time in this file.
    qor2HeartbeatPending_ = false;
    const int64_t tick = qor2FirstTick_;
    std::vector<uint8_t> payload = boardPacketBuilder::qor2Sensor(
        0, 0, periodOf(tick, options_.qor2Intmax), interruptOf(tick, options_.qor2Intmax), {});
    emit(qor2StreamId, qor2TimeOf(tick), payload, false, true);
    qor2PacketValid(tick);
}

void sessionSimulator::emitJuxHeartbeat() {
    juxHeartbeatPending_ = false;
    const int64_t tick = juxFirstTick_;
    std::vector<uint8_t> payload = boardPacketBuilder::juxSensor(0, periodOf(tick, options_.juxIntmax),
                                                                 interruptOf(tick, options_.juxIntmax), {});
    emit(juxStreamId, juxTimeOf(tick), payload, false, true);
    if (truth_) ++truth_->currentFile().juxValidPackets;
}

void sessionSimulator::emitQor2Sensor() {
    int64_t relative = never;
    for (const sensorGroup& g : qor2Groups_) relative = std::min(relative, g.nextTick);
    const int64_t tick = qor2FirstTick_ + relative;
    const int64_t timeUs = qor2TimeOf(tick);
    wearerState state = wearer_.at(static_cast<double>(timeUs) / 1e6);
    if (schedule_) schedule_->apply(unixSecondsOf(timeUs), state);

    sensconv::qor2SensorFields fields;
    uint8_t kind = 0;
    uint8_t mask = 0;
    struct reading {
        int channel;
        double value;
    };
    std::vector<reading> readings;
    for (size_t g = 0; g < qor2Groups_.size(); ++g) {
        sensorGroup& group = qor2Groups_[g];
        if (group.nextTick != relative) continue;
        mask |= group.mask;
        switch (static_cast<qor2GroupIndex>(g)) {
            case accelGroup: {
                // The accelerometer's own errors drift with the board's temperature; the
                // truth counts the acceleration the wearer really had.
                const double t = state.temperatureC;
                const double gx = state.accelX + 0.008 * noise_.normal();
                const double gy = state.accelY + 0.008 * noise_.normal();
                const double gz = state.accelZ + 0.008 * noise_.normal();
                fields.accelX = sensorCodec::accelWord(accelErrors_.measured(0, gx, t));
                fields.accelY = sensorCodec::accelWord(accelErrors_.measured(1, gy, t));
                fields.accelZ = sensorCodec::accelWord(accelErrors_.measured(2, gz, t));
                // Counted at the sample's true instant (anchors.csv), not when it is sent.
                if (dayTruth_) {
                    const double rateHz = group.rate / 10.0 * (1.0 + options_.qor2DriftPpm / 1e6);
                    dayTruth_->acceleration(qor2ZeroUnix_ + static_cast<double>(group.nextSample) / rateHz, gx, gy,
                                            gz, *schedule_);
                }
                const double x = sensorCodec::accelValue(fields.accelX);
                const double y = sensorCodec::accelValue(fields.accelY);
                const double z = sensorCodec::accelValue(fields.accelZ);
                readings.push_back({sensconv::qor2XAccel, x});
                readings.push_back({sensconv::qor2YAccel, y});
                readings.push_back({sensconv::qor2ZAccel, z});
                readings.push_back({sensconv::qor2MagAccel, sensorCodec::accelMagnitude(x, y, z)});
                break;
            }
            case lightFrequencyGroup:
                kind = 1;
                fields.lightDivider = sensorCodec::lightDivider;
                fields.lightCount = sensorCodec::lightCount(state.lightLux * (1.0 + 0.01 * noise_.normal()));
                readings.push_back({sensconv::qor2HfVisLight,
                                    sensorCodec::lightFrequencyValue(fields.lightDivider, fields.lightCount)});
                break;
            case barometerGroup: {
                fields.barTemp = sensorCodec::barTempWord(calibration_, state.temperatureC + 0.02 * noise_.normal());
                if (!sensorCodec::barTempAccepted(calibration_, fields.barTemp)) {
                    std::fprintf(stderr, "snsrsim: barometer temperature out of range\n");
                    std::exit(1);
                }
                fields.pressure =
                    sensorCodec::pressureWord(calibration_, fields.barTemp, state.pressureMbar + 0.04 * noise_.normal());
                readings.push_back({sensconv::qor2Temp, sensorCodec::barTempValue(calibration_, fields.barTemp)});
                readings.push_back(
                    {sensconv::qor2BarPress, sensorCodec::pressureValue(calibration_, fields.barTemp, fields.pressure)});
                break;
            }
            case compassGroup:
                fields.compass = sensorCodec::compassWord(state.headingDeg + 0.4 * noise_.normal());
                readings.push_back({sensconv::qor2Compass, sensorCodec::compassValue(fields.compass)});
                break;
            case lightGroup: {
                const double lux = state.lightLux * (1.0 + 0.02 * noise_.normal());
                fields.visLight = sensorCodec::lightByte(lux);
                fields.irLight = sensorCodec::lightByte(lux * state.infraredShare);
                const double visible = sensorCodec::lightByteValue(fields.visLight);
                const double infrared = sensorCodec::lightByteValue(fields.irLight);
                readings.push_back({sensconv::qor2VisLight, visible});
                readings.push_back({sensconv::qor2IrLight, infrared});
                readings.push_back({sensconv::qor2AmbLight, sensorCodec::ambientValue(visible, infrared)});
                break;
            }
            case humidityGroup: {
                fields.shtTemp = sensorCodec::shtTempWord(state.temperatureC + 0.03 * noise_.normal());
                const double temperature = sensorCodec::shtTempValue(fields.shtTemp);
                fields.humidity = sensorCodec::humidityWord(temperature, state.humidityRH + 0.2 * noise_.normal());
                readings.push_back({sensconv::qor2TempSensiron, temperature});
                readings.push_back({sensconv::qor2Humidity, sensorCodec::humidityValue(temperature, fields.humidity)});
                break;
            }
        }
        ++group.nextSample;
        group.nextTick = dueTick(group.nextSample, group.rate, options_.qor2Intmax);
    }

    std::vector<uint8_t> payload = boardPacketBuilder::qor2Sensor(kind, mask, periodOf(tick, options_.qor2Intmax),
                                                                  interruptOf(tick, options_.qor2Intmax), fields);
    const bool intact = emit(qor2StreamId, timeUs, payload, true, true);
    if (intact) qor2PacketValid(tick);
    if (truth_) {
        for (const reading& r : readings) truth_->sample(r.channel, r.value, intact);
    }
}

void sessionSimulator::planAudioPacket() {
    // Audio packets carry about 40 samples. The count after a packet at tick t is
    // the number the converter expects by then, less one, so a lost packet is filled
    // sample for sample. Ticks where that expectation lies close to a whole number
    // are avoided unless the rate is a whole multiple of the tick rate (then every
    // product is exact).
    const int64_t intmax = options_.qor2Intmax;
    const int64_t rate = static_cast<int64_t>(options_.audioRateHz) * 10;
    const auto countAt = [&](int64_t t) { return (t + 1) * rate / intmax - 1; };
    const auto clearOfWhole = [&](int64_t t) {
        if (rate % intmax == 0) return true;
        const int64_t rest = (t + 1) * rate % intmax;
        return rest >= intmax / 20 && rest <= intmax - intmax / 20;
    };
    const int64_t previous = audioTick_;
    const int64_t guess = previous + std::max<int64_t>(1, std::llround(40.0 * static_cast<double>(intmax) / rate));
    for (int64_t t = guess; t > previous; --t) {
        const int64_t n = countAt(t) - audioCount_;
        if (n >= 1 && n <= 63 && clearOfWhole(t)) {
            audioTick_ = t;
            audioNextCount_ = countAt(t);
            return;
        }
    }
    for (int64_t t = guess + 1;; ++t) {
        const int64_t n = countAt(t) - audioCount_;
        if (n > 63) break;
        if (n >= 1 && clearOfWhole(t)) {
            audioTick_ = t;
            audioNextCount_ = countAt(t);
            return;
        }
    }
    std::fprintf(stderr, "snsrsim: no tick fits the next audio packet\n");
    std::exit(1);
}

void sessionSimulator::emitQor2Audio() {
    const int64_t tick = qor2FirstTick_ + audioTick_;
    const int64_t timeUs = qor2TimeOf(tick);
    const double firstSampleS = static_cast<double>(qor2TimeOf(qor2FirstTick_)) / 1e6;
    std::vector<uint16_t> words;
    std::vector<int32_t> samples;
    for (int64_t k = audioCount_; k < audioNextCount_; ++k) {
        const int32_t sample = audio_->next(firstSampleS + static_cast<double>(k) / options_.audioRateHz);
        samples.push_back(sample);
        words.push_back(static_cast<uint16_t>(sample + 32768));
    }
    std::vector<uint8_t> payload = boardPacketBuilder::qor2Audio(periodOf(tick, options_.qor2Intmax),
                                                                 interruptOf(tick, options_.qor2Intmax), words);
    const bool intact = emit(micStreamId, timeUs, payload, true, true);
    if (intact) qor2PacketValid(tick);
    if (truth_) {
        for (int32_t sample : samples) truth_->sample(sensconv::qor2Audio, sample, intact);
    }
    audioCount_ = audioNextCount_;
    planAudioPacket();
}

void sessionSimulator::emitJuxSensor() {
    int64_t relative = never;
    for (const sensorGroup& g : juxGroups_) relative = std::min(relative, g.nextTick);
    const int64_t tick = juxFirstTick_ + relative;
    const int64_t timeUs = juxTimeOf(tick);
    wearerState state = wearer_.at(static_cast<double>(timeUs) / 1e6);
    if (schedule_) schedule_->apply(unixSecondsOf(timeUs), state);

    sensconv::juxSensorFields fields;
    uint8_t mask = 0;
    struct reading {
        int channel;
        double value;
    };
    std::vector<reading> readings;
    if (juxGroups_[gyroGroup].nextTick == relative) {
        mask |= juxGroups_[gyroGroup].mask;
        // Roll and pitch sway with the steps; yaw follows the turns (the z axis points
        // up, headings grow clockwise).
        const std::array<double, 3> rates = {state.accelY * 40.0, state.accelX * 30.0, -state.turnRateDegS};
        const std::array<double, 3> bias = {12.0, -7.0, 4.0};
        for (size_t axis = 0; axis < 3; ++axis) {
            fields.gyro[axis] = sensorCodec::clampToInt16(
                sensorCodec::gyroRateWord(rates[axis]) + bias[axis] + 2.0 * noise_.normal());
            fields.gyroTemp[axis] = sensorCodec::gyroTempWord(state.deviceTemperatureC + 0.2 * static_cast<double>(axis) +
                                                              0.05 * noise_.normal());
        }
        for (size_t axis = 0; axis < 3; ++axis)
            readings.push_back({juxTruthChannel(sensconv::juxXGyro + static_cast<int>(axis)),
                                static_cast<double>(fields.gyro[axis])});
        for (size_t axis = 0; axis < 3; ++axis)
            readings.push_back({juxTruthChannel(sensconv::juxXGyroTemp + static_cast<int>(axis)),
                                sensorCodec::gyroTempValue(fields.gyroTemp[axis])});
        ++juxGroups_[gyroGroup].nextSample;
        juxGroups_[gyroGroup].nextTick =
            dueTick(juxGroups_[gyroGroup].nextSample, juxGroups_[gyroGroup].rate, options_.juxIntmax);
    }
    if (juxGroups_[magnetometerGroup].nextTick == relative) {
        mask |= juxGroups_[magnetometerGroup].mask;
        const double heading = state.headingDeg * std::numbers::pi / 180.0;
        const std::array<double, 3> field = {450.0 * std::cos(heading), -450.0 * std::sin(heading), -380.0};
        for (size_t axis = 0; axis < 3; ++axis) {
            fields.mag[axis] = sensorCodec::clampToInt16(field[axis] + 3.0 * noise_.normal());
            readings.push_back({juxTruthChannel(sensconv::juxXMag + static_cast<int>(axis)),
                                static_cast<double>(fields.mag[axis])});
        }
        ++juxGroups_[magnetometerGroup].nextSample;
        juxGroups_[magnetometerGroup].nextTick = dueTick(juxGroups_[magnetometerGroup].nextSample,
                                                         juxGroups_[magnetometerGroup].rate, options_.juxIntmax);
    }

    std::vector<uint8_t> payload = boardPacketBuilder::juxSensor(mask, periodOf(tick, options_.juxIntmax),
                                                                 interruptOf(tick, options_.juxIntmax), fields);
    const bool intact = emit(juxStreamId, timeUs, payload, true, true);
    if (truth_) {
        if (intact) ++truth_->currentFile().juxValidPackets;
        for (const reading& r : readings) truth_->sample(r.channel, r.value, intact);
    }
}

void sessionSimulator::emitJuxStatus() {
    // A power report: no readings and no time; the converter counts it as unhandled.
    std::vector<uint8_t> payload = boardPacketBuilder::juxWithoutReadings(juxStatusKind);
    emit(juxStreamId, juxTimeOf(juxFirstTick_ + juxStatusTick_), payload, false, false);
    if (truth_) ++truth_->currentFile().juxUnhandledPackets;
    juxStatusTick_ += juxStatusPeriods * options_.juxIntmax;
}

void sessionSimulator::refillGps() {
    // One burst of messages a second, cut into packets as the receiver's serial
    // line delivers them.
    const int64_t second = gpsNextSecond_++;
    const int64_t burstUs = second * 1'000'000 + 150'000;
    std::vector<uint8_t> bytes;
    sirf_->second(static_cast<double>(second), wearer_.at(static_cast<double>(second)), startMs_ + burstUs / 1000,
                  bytes);
    size_t position = 0;
    int64_t timeUs = burstUs;
    while (position < bytes.size()) {
        const size_t length = std::min(static_cast<size_t>(layout_.integer(40, 120)), bytes.size() - position);
        gpsPacket packet;
        packet.timeUs = timeUs;
        packet.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(position),
                              bytes.begin() + static_cast<std::ptrdiff_t>(position + length));
        packet.count = static_cast<uint8_t>(length);
        gpsQueue_.push_back(std::move(packet));
        position += length;
        timeUs += 8'000;
    }
    if (second % 20 == 7) {
        // Now and then the receiver's line has nothing to say.
        gpsPacket empty;
        empty.timeUs = burstUs + 500'000;
        empty.count = gpsNoData;
        gpsQueue_.push_back(std::move(empty));
    }
}

void sessionSimulator::emitGps() {
    gpsPacket packet = std::move(gpsQueue_.front());
    gpsQueue_.pop_front();
    const int64_t tick = qor2TickAt(std::max(packet.timeUs, lastEmitUs_));
    std::vector<uint8_t> payload = boardPacketBuilder::frame(
        gpsKind, packet.count, periodOf(tick, options_.qor2Intmax), interruptOf(tick, options_.qor2Intmax),
        packet.payload);
    const bool arrived = emit(gpsStreamId, packet.timeUs, payload, true, false);
    if (!truth_ || !arrived || packet.count == gpsNoData) return;
    // The record the converter writes: session time, container timestamp, file
    // start time, byte count, then the receiver's bytes.
    std::vector<uint8_t> record(20 + packet.payload.size());
    sensconv::writeLE32(record.data(), static_cast<uint32_t>(qor2SessionMs()));
    sensconv::writeLE32(record.data() + 4, static_cast<uint32_t>((lastEmitUs_ - fileStartUs_) / 1000));
    sensconv::writeLE64(record.data() + 8, fileStartMs_);
    sensconv::writeLE32(record.data() + 16, packet.count);
    std::copy(packet.payload.begin(), packet.payload.end(), record.begin() + 20);
    truth_->gpsRecord(record);
    truth_->currentFile().gpsBytes += packet.count;
}

void sessionSimulator::captureImage() {
    const int64_t timeUs = nextCaptureUs_;
    nextCaptureUs_ += static_cast<int64_t>(std::llround(options_.imageIntervalSec * 1e6));
    std::vector<uint8_t> bytes = cameraPicture::render(options_.imageWidth, options_.imageHeight, startMs_ + timeUs / 1000,
                                                       imageNumber_ + 1, wearer_.at(static_cast<double>(timeUs) / 1e6));
    const bool spoil = badImagesLeft_ > 0 && imageNumber_ % 3 == 1;
    if (spoil) --badImagesLeft_;
    cameraPicture::appendCheckSegment(bytes, spoil);
    camera_->addImage(bytes, timeUs, spoil);
    imagesNotStarted_.push_back(std::move(bytes));
    ++imageNumber_;
}

void sessionSimulator::emitCamera(int64_t timeUs, bool drain) {
    if (!camera_->takePacket(cameraPacket_, drain)) return;
    emit(cameraStreamId, timeUs, cameraPacket_.bytes, false, false);
    if (!truth_) {
        if (cameraPacket_.startsImage >= 0) imagesNotStarted_.pop_front();
        return;
    }
    fileExpectations& stats = truth_->currentFile();
    const int32_t started = cameraPacket_.startsImage;
    const int32_t checked = cameraPacket_.checksImage;
    // A wrong check segment drops its image; the start of the next image closes the
    // image before it, which then counts as good.
    if (checked >= 0 && camera_->spoiled(checked)) ++stats.badImages;
    if (started > 0 && !camera_->spoiled(started - 1)) ++stats.goodImages;
    if (started >= 0) {
        if (!camera_->spoiled(started)) truth_->image(qor2SessionMs(), imagesNotStarted_.front());
        imagesNotStarted_.pop_front();
    }
}

}  // namespace snsrsim
