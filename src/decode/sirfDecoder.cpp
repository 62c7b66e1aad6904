#include "decode/sirfDecoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "decode/gpsTime.h"

namespace sensconv {

namespace {

constexpr uint8_t startByte1 = 0xA0;
constexpr uint8_t startByte2 = 0xA2;
constexpr uint8_t endByte1 = 0xB0;
constexpr uint8_t endByte2 = 0xB3;
constexpr size_t headBytes = 4;  // start bytes and length
constexpr size_t tailBytes = 4;  // checksum and end bytes
constexpr size_t maxFrame = headBytes + sirfDecoder::maxPayload + tailBytes;

constexpr uint8_t measuredNavigation = 2;
constexpr uint8_t geodeticNavigation = 41;
constexpr size_t measuredLength = 41;
constexpr size_t geodeticLength = 91;

// Output message IDs of the protocol's published layouts. Those other than 2 and 41
// carry no fix and are passed over; any other ID is counted as unknown.
constexpr std::array<uint8_t, 37> definedMessages = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                                                     14, 15, 16, 17, 18, 19, 20, 27, 28, 29, 30, 31, 41,
                                                     43, 45, 46, 48, 50, 52, 55, 56, 64, 225, 255};

// Weeks 2048 to 3071 (April 2019 to November 2038) when no better reference is known.
constexpr int64_t fallbackReferenceWeek = 2048 + 512;

constexpr double degPerRad = 180.0 / std::numbers::pi;

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
int16_t bes16(const uint8_t* p) {
    return static_cast<int16_t>(be16(p));
}
int32_t bes32(const uint8_t* p) {
    return static_cast<int32_t>(be32(p));
}

// WGS-84 geodetic coordinates of an earth-centred position, iterated to well below a
// millimetre (Bowring's form stays stable near the poles).
void geodeticFromEcef(double x, double y, double z, double& latRad, double& lonRad, double& height) {
    constexpr double a = 6378137.0;
    constexpr double f = 1.0 / 298.257223563;
    constexpr double e2 = f * (2.0 - f);
    lonRad = std::atan2(y, x);
    const double p = std::hypot(x, y);
    double lat = std::atan2(z, p * (1.0 - e2));
    double n = a;
    for (int i = 0; i < 10; ++i) {
        const double sinLat = std::sin(lat);
        n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
        const double next = std::atan2(z + e2 * n * sinLat, p);
        const bool converged = std::fabs(next - lat) < 1e-15;
        lat = next;
        if (converged) break;
    }
    const double sinLat = std::sin(lat);
    n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
    latRad = lat;
    height = p * std::cos(lat) + z * sinLat - n * (1.0 - e2 * sinLat * sinLat);
}

}  // namespace

void sirfDecoder::taggedBytes::reserve(size_t n) {
    bytes.reserve(n);
    runs.reserve(n);
}

void sirfDecoder::taggedBytes::clear() {
    bytes.clear();
    runs.clear();
}

void sirfDecoder::taggedBytes::startRun(const sirfRecordTag& tag) {
    if (runs.empty() || !(runs.back().tag == tag)) runs.push_back({bytes.size(), tag});
}

void sirfDecoder::taggedBytes::push(uint8_t byte, const sirfRecordTag& tag) {
    startRun(tag);
    bytes.push_back(byte);
}

void sirfDecoder::taggedBytes::append(std::span<const uint8_t> more, const sirfRecordTag& tag) {
    if (more.empty()) return;
    startRun(tag);
    bytes.insert(bytes.end(), more.begin(), more.end());
}

void sirfDecoder::taggedBytes::appendFrom(const taggedBytes& other, size_t from) {
    for (size_t k = 0; k < other.runs.size(); ++k) {
        const size_t end = k + 1 < other.runs.size() ? other.runs[k + 1].from : other.bytes.size();
        const size_t begin = std::max(other.runs[k].from, from);
        if (begin < end) append(std::span<const uint8_t>(other.bytes).subspan(begin, end - begin), other.runs[k].tag);
    }
}

sirfDecoder::sirfDecoder(sirfNavigationSink& sink) : sink_(sink) {
    // Everything the decoder holds is sized here once; feeding allocates nothing.
    for (taggedBytes* v : {&frame_, &replay_, &scratch_}) v->reserve(2 * maxFrame);
}

void sirfDecoder::feed(std::span<const uint8_t> bytes, const sirfRecordTag& tag) {
    for (size_t i = 0; i < bytes.size();) {
        // A frame's payload is taken as it comes, as step would take it byte by byte:
        // a run of it at once.
        if (state_ == state::payload && replayAt_ >= replay_.size()) {
            const size_t run = std::min(headBytes + length_ - frame_.size(), bytes.size() - i);
            frame_.append(bytes.subspan(i, run), tag);
            if (frame_.size() == headBytes + length_) state_ = state::checksum1;
            i += run;
            continue;
        }
        step(bytes[i++], tag);
        if (replayAt_ < replay_.size()) drainReplay();
    }
}

void sirfDecoder::finish() {
    while (state_ != state::start1) {
        if (state_ == state::start2) {
            ++counters_.skippedBytes;
            frame_.clear();
            state_ = state::start1;
        } else {
            reject();
            drainReplay();
        }
    }
}

void sirfDecoder::drainReplay() {
    if (replaying_) return;  // the running loop below picks up what reject() queued
    replaying_ = true;
    while (replayAt_ < replay_.size()) {
        while (replayRun_ + 1 < replay_.runs.size() && replay_.runs[replayRun_ + 1].from <= replayAt_) ++replayRun_;
        const uint8_t byte = replay_.bytes[replayAt_];
        const sirfRecordTag tag = replay_.runs[replayRun_].tag;
        ++replayAt_;
        step(byte, tag);
    }
    replay_.clear();
    replayAt_ = 0;
    replayRun_ = 0;
    replaying_ = false;
}

// The open frame is broken: count it, and search its bytes after the first start byte
// again before anything newer.
void sirfDecoder::reject() {
    ++counters_.badFrames;
    ++counters_.skippedBytes;  // its first byte; the rest is searched again
    scratch_.clear();
    scratch_.appendFrom(frame_, 1);
    scratch_.appendFrom(replay_, replayAt_);
    std::swap(replay_, scratch_);
    replayAt_ = 0;
    replayRun_ = 0;
    frame_.clear();
    state_ = state::start1;
}

void sirfDecoder::step(uint8_t byte, const sirfRecordTag& tag) {
    if (state_ == state::start1) {
        if (byte != startByte1) {
            ++counters_.skippedBytes;
            return;
        }
        frame_.clear();
    } else if (state_ == state::start2 && byte != startByte2) {
        // The 0xA0 before was stray; this byte may start a frame itself.
        ++counters_.skippedBytes;
        state_ = state::start1;
        step(byte, tag);
        return;
    }
    frame_.push(byte, tag);

    switch (state_) {
        case state::start1:
            state_ = state::start2;
            break;
        case state::start2:
            state_ = state::length1;
            break;
        case state::length1:
            if ((byte & 0x80) != 0) {
                reject();
                return;
            }
            length_ = static_cast<size_t>(byte) << 8;
            state_ = state::length2;
            break;
        case state::length2:
            length_ |= byte;
            if (length_ == 0 || length_ > maxPayload) {
                reject();
                return;
            }
            state_ = state::payload;
            break;
        case state::payload:
            if (frame_.size() == headBytes + length_) state_ = state::checksum1;
            break;
        case state::checksum1:
            checksum_ = static_cast<uint16_t>(byte << 8);
            state_ = state::checksum2;
            break;
        case state::checksum2:
            checksum_ = static_cast<uint16_t>(checksum_ | byte);
            state_ = state::end1;
            break;
        case state::end1:
            if (byte != endByte1) {
                reject();
                return;
            }
            state_ = state::end2;
            break;
        case state::end2:
            if (byte != endByte2) {
                reject();
                return;
            }
            frameComplete();
            break;
    }
}

void sirfDecoder::frameComplete() {
    uint32_t sum = 0;
    for (size_t i = headBytes; i < headBytes + length_; ++i) sum += frame_.bytes[i];
    if ((sum & 0x7FFF) != checksum_) {
        // The frame's shape is right, so its bytes are taken as one damaged message.
        ++counters_.badChecksumFrames;
        counters_.skippedBytes += static_cast<int64_t>(frame_.size());
    } else {
        decodeMessage();
    }
    frame_.clear();
    state_ = state::start1;
}

void sirfDecoder::decodeMessage() {
    const uint8_t id = frame_.bytes[headBytes];
    if ((id == measuredNavigation && length_ < measuredLength) ||
        (id == geodeticNavigation && length_ < geodeticLength)) {
        ++counters_.badFrames;
        counters_.skippedBytes += static_cast<int64_t>(frame_.size());
        return;
    }
    ++counters_.frames;
    if (id == measuredNavigation) {
        decodeMeasured();
    } else if (id == geodeticNavigation) {
        decodeGeodetic();
    } else if (std::find(definedMessages.begin(), definedMessages.end(), id) == definedMessages.end()) {
        ++counters_.unknownMessages;
    }
}

void sirfDecoder::decodeMeasured() {
    const uint8_t* p = frame_.bytes.data() + headBytes;
    gpsNavigation m;
    m.message = measuredNavigation;
    m.tag = frame_.runs.front().tag;

    const int64_t week = be16(p + 22);
    const int64_t towMs = int64_t{be32(p + 24)} * 10;
    int64_t referenceGpsMs = gpsTime::gpsMs(fallbackReferenceWeek, 0);
    if (knownWeek_) {
        referenceGpsMs = gpsTime::gpsMs(*knownWeek_, towMs);
    } else if (referenceUnixMs_ > gpsTime::epochUnixSeconds * 1000) {
        referenceGpsMs = gpsTime::gpsFromUtc(referenceUnixMs_);
    }
    m.gpsMs = gpsTime::gpsMs(gpsTime::resolveWeek(week, towMs, referenceGpsMs), towMs);
    m.utcMs = gpsTime::utcFromGps(m.gpsMs);

    const int32_t x = bes32(p + 1);
    const int32_t y = bes32(p + 5);
    const int32_t z = bes32(p + 9);
    m.fixType = p[19] & 0x07;
    m.fix = m.fixType != 0 && (x != 0 || y != 0 || z != 0);
    m.satellites = p[28];
    if (p[20] != 0) m.hdop = p[20] / 5.0;
    if (m.fix) {
        double lat = 0.0;
        double lon = 0.0;
        geodeticFromEcef(x, y, z, lat, lon, m.heightEllipsoidM);
        m.latitudeDeg = lat * degPerRad;
        m.longitudeDeg = lon * degPerRad;
        // Velocity in 1/8 m/s, turned into east, north and up.
        const double vx = bes16(p + 13) / 8.0;
        const double vy = bes16(p + 15) / 8.0;
        const double vz = bes16(p + 17) / 8.0;
        const double east = -std::sin(lon) * vx + std::cos(lon) * vy;
        const double north = -std::sin(lat) * std::cos(lon) * vx - std::sin(lat) * std::sin(lon) * vy + std::cos(lat) * vz;
        m.climbMps = std::cos(lat) * std::cos(lon) * vx + std::cos(lat) * std::sin(lon) * vy + std::sin(lat) * vz;
        m.speedMps = std::hypot(east, north);
        m.courseDeg = std::atan2(east, north) * degPerRad;
        if (m.courseDeg < 0.0) m.courseDeg += 360.0;
    }
    sink_.navigation(m);
}

void sirfDecoder::decodeGeodetic() {
    const uint8_t* p = frame_.bytes.data() + headBytes;
    gpsNavigation m;
    m.message = geodeticNavigation;
    m.tag = frame_.runs.front().tag;

    const int64_t week = be16(p + 5);
    const int64_t towMs = be32(p + 7);
    if (week > 0) knownWeek_ = week;
    m.gpsMs = gpsTime::gpsMs(week, towMs);
    const std::optional<int64_t> utc = gpsTime::unixMsFromCivil(be16(p + 11), p[13], p[14], p[15], p[16], be16(p + 17));
    m.utcMs = utc ? *utc : gpsTime::utcFromGps(m.gpsMs);
    m.fixType = be16(p + 3) & 0x07;
    m.fix = m.fixType != 0 && utc.has_value();
    m.latitudeDeg = bes32(p + 23) * 1e-7;
    m.longitudeDeg = bes32(p + 27) * 1e-7;
    m.heightEllipsoidM = bes32(p + 31) / 100.0;
    m.altitudeMslM = bes32(p + 35) / 100.0;
    m.speedMps = be16(p + 40) / 100.0;
    m.courseDeg = be16(p + 42) / 100.0;
    m.climbMps = bes16(p + 46) / 100.0;
    m.horizontalErrorM = be32(p + 50) / 100.0;
    m.verticalErrorM = be32(p + 54) / 100.0;
    m.satellites = p[88];
    if (p[89] != 0) m.hdop = p[89] / 5.0;
    sink_.navigation(m);
}

}  // namespace sensconv
