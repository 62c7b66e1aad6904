#pragma once
// Receiver messages built field by field for the GPS tests: frames of the receiver's
// binary protocol carrying geodetic (41) and measured (2) navigation data.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace sensconv::sirfTest {

using bytes = std::vector<uint8_t>;

// Big-endian, width bytes; bytes above the value's 64 bits are zero (zero-filled runs
// of reserved fields are written as one wide 0).
inline void put(bytes& out, uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        out.push_back(shift < 64 ? static_cast<uint8_t>(value >> shift) : uint8_t{0});
    }
}

// 0xA0 0xA2, length, payload, 15-bit sum, 0xB0 0xB3.
inline bytes frame(const bytes& payload) {
    bytes out;
    out.reserve(payload.size() + 8);
    out = {0xA0, 0xA2};
    put(out, payload.size(), 2);
    out.insert(out.end(), payload.begin(), payload.end());
    uint32_t sum = 0;
    for (uint8_t b : payload) sum += b;
    put(out, sum & 0x7FFF, 2);
    out.push_back(0xB0);
    out.push_back(0xB3);
    return out;
}

inline bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct geodetic {
    uint16_t navValid = 0;
    uint16_t navType = 4;
    uint16_t week = 2358;
    uint32_t towMs = 0;
    uint16_t year = 2025, month = 3, day = 14, hour = 9, minute = 30, millisecond = 0;  // millisecond of the minute
    int32_t lat = 0, lon = 0;                         // 1e-7 degrees
    int32_t heightCm = 0, altitudeCm = 0;             // ellipsoid, sea level
    uint16_t speedCmS = 0, courseCdeg = 0;
    int16_t climbCmS = 0;
    uint32_t ehpeCm = 0, evpeCm = 0;
    uint8_t satellites = 0, hdop5 = 0;
};

// 2025-03-14T09:30:00Z plus s seconds and 150 ms: GPS week 2357, 466,218,150 ms into
// it plus s seconds (s below 1800). A walker at 46.1559758 N, 8.9542213 W with a fix.
inline geodetic geodeticAt(int s) {
    geodetic g;
    g.week = 2357;
    g.towMs = 466218150 + static_cast<uint32_t>(s) * 1000;
    g.minute = static_cast<uint16_t>(30 + s / 60);
    g.millisecond = static_cast<uint16_t>(s % 60 * 1000 + 150);
    g.lat = 461559758;
    g.lon = -89542213;
    g.heightCm = 47440;
    g.altitudeCm = 42640;
    g.speedCmS = 141;
    g.courseCdeg = 25801;
    g.climbCmS = -35;
    g.ehpeCm = 512;
    g.evpeCm = 768;
    g.satellites = 7;
    g.hdop5 = 12;
    return g;
}

inline bytes geodeticPayload(const geodetic& g) {
    bytes p = {41};
    put(p, g.navValid, 2);
    put(p, g.navType, 2);
    put(p, g.week, 2);
    put(p, g.towMs, 4);
    put(p, g.year, 2);
    for (uint16_t v : {g.month, g.day, g.hour, g.minute}) put(p, v, 1);
    put(p, g.millisecond, 2);
    put(p, 0, 4);  // satellites used, as a bit mask
    put(p, static_cast<uint32_t>(g.lat), 4);
    put(p, static_cast<uint32_t>(g.lon), 4);
    put(p, static_cast<uint32_t>(g.heightCm), 4);
    put(p, static_cast<uint32_t>(g.altitudeCm), 4);
    put(p, 21, 1);  // map datum
    put(p, g.speedCmS, 2);
    put(p, g.courseCdeg, 2);
    put(p, 0, 2);  // magnetic variation
    put(p, static_cast<uint16_t>(g.climbCmS), 2);
    put(p, 0, 2);  // heading rate
    put(p, g.ehpeCm, 4);
    put(p, g.evpeCm, 4);
    put(p, 0, 4 + 2 + 4 + 4 + 4 + 4 + 4 + 2 + 2);  // time, velocity and clock errors, distance, heading error
    put(p, g.satellites, 1);
    put(p, g.hdop5, 1);
    put(p, 0, 1);
    return p;
}

struct measured {
    int32_t x = 0, y = 0, z = 0;     // metres
    int16_t vx = 0, vy = 0, vz = 0;  // 1/8 m/s
    uint8_t mode1 = 4;
    uint8_t hdop5 = 0;
    uint16_t week = 0;     // modulo 1024
    uint32_t tow10ms = 0;  // time of week in 1/100 s
    uint8_t satellites = 0;
};

inline bytes measuredPayload(const measured& m) {
    bytes p = {2};
    for (int32_t v : {m.x, m.y, m.z}) put(p, static_cast<uint32_t>(v), 4);
    for (int16_t v : {m.vx, m.vy, m.vz}) put(p, static_cast<uint16_t>(v), 2);
    put(p, m.mode1, 1);
    put(p, m.hdop5, 1);
    put(p, 0, 1);
    put(p, m.week, 2);
    put(p, m.tow10ms, 4);
    put(p, m.satellites, 1);
    put(p, 0, 12);  // channels' satellites
    return p;
}

// Earth-centred coordinates of a WGS-84 point (the closed forward formula).
inline void ecefOf(double latDeg, double lonDeg, double height, double& x, double& y, double& z) {
    const double a = 6378137.0;
    const double f = 1.0 / 298.257223563;
    const double e2 = f * (2.0 - f);
    const double lat = latDeg * std::numbers::pi / 180.0;
    const double lon = lonDeg * std::numbers::pi / 180.0;
    const double n = a / std::sqrt(1.0 - e2 * std::sin(lat) * std::sin(lat));
    x = (n + height) * std::cos(lat) * std::cos(lon);
    y = (n + height) * std::cos(lat) * std::sin(lon);
    z = (n * (1.0 - e2) + height) * std::sin(lat);
}

}  // namespace sensconv::sirfTest
