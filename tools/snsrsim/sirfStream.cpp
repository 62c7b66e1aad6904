#include "snsrsim/sirfStream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "decode/gpsTime.h"

namespace snsrsim {

namespace {

constexpr double degToRad = std::numbers::pi / 180.0;
constexpr double earthRadiusM = 6371000.0;

void putU8(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
}
void putU16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void putS16(std::vector<uint8_t>& out, int32_t v) {
    putU16(out, static_cast<uint32_t>(v) & 0xFFFF);
}
void putS32(std::vector<uint8_t>& out, int64_t v) {
    putU32(out, static_cast<uint32_t>(v));
}

}  // namespace

sirfStream::sirfStream(uint64_t seed, bool measured, bool geodetic)
    : random_(seed), measured_(measured), geodetic_(geodetic) {
    latitudeDeg_ = random_.uniform(46.0, 48.0);
    longitudeDeg_ = random_.uniform(6.0, 10.0);
}

void sirfStream::appendMessage(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out) const {
    out.push_back(0xA0);
    out.push_back(0xA2);
    putU16(out, static_cast<uint32_t>(payload.size()) & 0x7FFF);
    uint32_t sum = 0;
    for (uint8_t byte : payload) sum += byte;
    out.insert(out.end(), payload.begin(), payload.end());
    putU16(out, sum & 0x7FFF);
    out.push_back(0xB0);
    out.push_back(0xB3);
}

void sirfStream::second(double t, const wearerState& state, int64_t utcMs, std::vector<uint8_t>& out) {
    const double dt = lastT_ < 0.0 ? 0.0 : t - lastT_;
    lastT_ = t;
    // Walk along the heading.
    const double north = state.speedMS * dt * std::cos(state.headingDeg * degToRad);
    const double east = state.speedMS * dt * std::sin(state.headingDeg * degToRad);
    latitudeDeg_ += north / earthRadiusM / degToRad;
    longitudeDeg_ += east / (earthRadiusM * std::cos(latitudeDeg_ * degToRad)) / degToRad;

    // The fix comes back slowly outdoors and fades quickly indoors.
    fixQuality_ = state.outdoors ? std::min(1.0, fixQuality_ + 0.08) : std::max(0.0, fixQuality_ - 0.25);
    const bool fixed = fixQuality_ > 0.5;
    const int satellites = fixed ? static_cast<int>(4 + std::lround(fixQuality_ * 6.0)) : 0;
    const double errorM = fixed ? 3.0 + random_.uniform(0.0, 4.0) : 0.0;
    // Positions go out at the resolution of message 41: the decoded position of both
    // messages is then this point exactly (message 2 up to its whole metres).
    const double lat = std::round((latitudeDeg_ + (fixed ? random_.normal() * errorM / earthRadiusM / degToRad : 0.0)) * 1e7) / 1e7;
    const double lon = std::round((longitudeDeg_ + (fixed ? random_.normal() * errorM / earthRadiusM / degToRad : 0.0)) * 1e7) / 1e7;
    const double altitude = std::round((420.0 + state.altitudeM) * 100.0) / 100.0;  // above sea level
    const double height = altitude + geoidSeparationM;                              // above the ellipsoid

    // GPS time runs ahead of UTC by the leap seconds since 1980.
    const int64_t gpsMs = sensconv::gpsTime::gpsFromUtc(utcMs);
    const int64_t week = gpsMs / sensconv::gpsTime::msPerWeek;
    const int64_t towMs = gpsMs % sensconv::gpsTime::msPerWeek;

    // Measured navigation data: position in earth-centred coordinates.
    if (measured_) {
        const double a = 6378137.0;
        const double e2 = 6.69437999014e-3;
        const double sinLat = std::sin(lat * degToRad);
        const double n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
        const double x = (n + height) * std::cos(lat * degToRad) * std::cos(lon * degToRad);
        const double y = (n + height) * std::cos(lat * degToRad) * std::sin(lon * degToRad);
        const double z = (n * (1.0 - e2) + height) * sinLat;
        std::vector<uint8_t> p;
        putU8(p, 2);
        putS32(p, fixed ? std::llround(x) : 0);
        putS32(p, fixed ? std::llround(y) : 0);
        putS32(p, fixed ? std::llround(z) : 0);
        // The walking velocity (east, north, level) in earth-centred axes, 1/8 m/s.
        const double east = state.speedMS * std::sin(state.headingDeg * degToRad);
        const double north = state.speedMS * std::cos(state.headingDeg * degToRad);
        const double sinLon = std::sin(lon * degToRad);
        const double cosLon = std::cos(lon * degToRad);
        const double cosLat = std::cos(lat * degToRad);
        const double velocity[3] = {-sinLon * east - sinLat * cosLon * north, cosLon * east - sinLat * sinLon * north,
                                    cosLat * north};
        for (double v : velocity) putS16(p, fixed ? static_cast<int32_t>(std::lround(v * 8.0)) : 0);
        putU8(p, fixed ? 0x04 : 0x00);                        // mode 1: 3-D fix or none
        putU8(p, fixed ? 12 : 0);  // HDOP x 5
        putU8(p, 0);                                          // mode 2
        putU16(p, static_cast<uint32_t>(week % 1024));
        putU32(p, static_cast<uint32_t>(towMs / 10));
        putU8(p, static_cast<uint32_t>(satellites));
        for (int channel = 0; channel < 12; ++channel)
            putU8(p, channel < satellites ? static_cast<uint32_t>(2 + channel * 3) : 0);
        appendMessage(p, out);
    }

    // Geodetic navigation data.
    if (geodetic_) {
        const auto utc = std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(utcMs));
        const auto days = std::chrono::floor<std::chrono::days>(utc);
        const std::chrono::year_month_day date(days);
        const std::chrono::hh_mm_ss clock(utc - days);
        std::vector<uint8_t> p;
        putU8(p, 41);
        putU16(p, fixed ? 0 : 1);  // nav valid: 0 when the solution is valid
        putU16(p, fixed ? 4 : 0);  // nav type: 4-satellite solution
        putU16(p, static_cast<uint32_t>(week));
        putU32(p, static_cast<uint32_t>(towMs));
        putU16(p, static_cast<uint32_t>(static_cast<int>(date.year())));
        putU8(p, static_cast<unsigned>(date.month()));
        putU8(p, static_cast<unsigned>(date.day()));
        putU8(p, static_cast<uint32_t>(clock.hours().count()));
        putU8(p, static_cast<uint32_t>(clock.minutes().count()));
        putU16(p, static_cast<uint32_t>(clock.seconds().count() * 1000 + clock.subseconds().count()));
        uint32_t satelliteMask = 0;
        for (int i = 0; i < satellites; ++i) satelliteMask |= 1u << (2 + i * 3);
        putU32(p, satelliteMask);
        putS32(p, fixed ? std::llround(lat * 1e7) : 0);
        putS32(p, fixed ? std::llround(lon * 1e7) : 0);
        putS32(p, fixed ? std::llround(height * 100.0) : 0);
        putS32(p, fixed ? std::llround(altitude * 100.0) : 0);
        putU8(p, 21);                                                    // WGS-84
        putU16(p, fixed ? static_cast<uint32_t>(std::lround(state.speedMS * 100.0)) : 0);
        putU16(p, fixed ? static_cast<uint32_t>(std::lround(state.headingDeg * 100.0)) : 0);
        putS16(p, 0);  // magnetic variation
        putS16(p, 0);  // climb rate
        putS16(p, fixed ? static_cast<int32_t>(std::lround(state.turnRateDegS * 100.0)) : 0);
        putU32(p, fixed ? static_cast<uint32_t>(errorM * 100.0) : 0);  // EHPE
        putU32(p, fixed ? static_cast<uint32_t>(errorM * 150.0) : 0);  // EVPE
        putU32(p, 0);                                                  // ETE
        putU16(p, fixed ? 30 : 0);                                     // EHVE
        putS32(p, 95000 + random_.integer(-50, 50));                   // clock bias
        putU32(p, 120);
        putS32(p, 94000 + random_.integer(-20, 20));  // clock drift
        putU32(p, 15);
        putU32(p, 0);  // distance travelled
        putU16(p, 0);
        putU16(p, fixed ? 500 : 0);  // heading error
        putU8(p, static_cast<uint32_t>(satellites));
        putU8(p, fixed ? 12 : 0);  // HDOP x 5
        putU8(p, 0);
        appendMessage(p, out);
    }

    // Receiver throughput.
    {
        std::vector<uint8_t> p;
        putU8(p, 9);
        putU16(p, static_cast<uint32_t>(random_.integer(20, 60)));
        putU16(p, static_cast<uint32_t>(random_.integer(10, 30)));
        putU16(p, static_cast<uint32_t>(random_.integer(5, 15)));
        putU16(p, static_cast<uint32_t>(random_.integer(900, 999)));
        appendMessage(p, out);
    }
}

}  // namespace snsrsim
