#pragma once
// The byte layout of the sensor boards' packets, shared by the board decoders and the
// packet builders of the tests and the simulator. Both boards frame a packet alike:
// two sync bytes, kind, count or mask, the period counter, the interrupt count (16
// bits, little-endian), the payload and a checksum byte at position L that holds the
// low 8 bits of the sum of bytes 2 .. L-1.

#include <cstddef>
#include <cstdint>

namespace sensconv {

inline constexpr uint8_t boardSync1 = 0x23;  // '#'
inline constexpr uint8_t boardSync2 = 0x7C;  // '|'
inline constexpr int32_t boardHeaderSize = 7;

// A sensor packet whose checksum would sit at or beyond this position is damaged.
inline constexpr int32_t maxSensorPacketEnd = 128;

// Main board: packet kinds, and the sensor mask bits (the payload order differs from
// the bit order: accelerometer, light frequency, barometer temperature, pressure,
// compass, visible light, infrared light, temperature, humidity).
enum qor2Kind : uint8_t { qor2KindSensor = 0, qor2KindSensorWithLightFrequency = 1, qor2KindAudio = 8, qor2KindAudioAlt = 9 };
enum qor2Mask : uint8_t {
    qor2MaskAccel = 1 << 0, qor2MaskVisLight = 1 << 1, qor2MaskIrLight = 1 << 2, qor2MaskCompass = 1 << 3,
    qor2MaskPressure = 1 << 4, qor2MaskBarTemp = 1 << 5, qor2MaskHumidity = 1 << 6, qor2MaskShtTemp = 1 << 7,
};

// Second board: sensor mask bits (gyroscope with its temperatures, then the
// magnetometer's axes, in payload order).
enum juxMask : uint8_t { juxMaskGyro = 1 << 0, juxMaskMagX = 1 << 1, juxMaskMagY = 1 << 2, juxMaskMagZ = 1 << 3 };

// Second-board kinds that carry no readings and no time pair: their checksum sits at a
// position fixed per kind. -1 for kinds that are not of this group.
constexpr int32_t juxFixedChecksumPosition(uint8_t kind) {
    switch (kind) {
        case 2:
        case 3: return 18;
        case 4:
        case 5: return 5;
        case 128:
        case 129: return 9;
        default: return -1;
    }
}

// The checksum of bytes 2 .. end-1 of a packet. Summed in 8 bits, which keep exactly
// the low bits a wider sum would, so that the loop adds 16 bytes per vector step.
inline uint8_t boardChecksum(const uint8_t* data, size_t end) {
    uint8_t sum = 0;
    for (size_t i = 2; i < end; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

// True when the packet holds its checksum byte at L and the byte matches.
// The caller has made sure that length > L.
inline bool boardChecksumPasses(const uint8_t* data, int32_t checksumAt) {
    return boardChecksum(data, static_cast<size_t>(checksumAt)) == data[checksumAt];
}

}  // namespace sensconv
