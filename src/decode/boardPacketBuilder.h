#pragma once
// Builds sensor-board packets (the payload of a container packet frame) for tests,
// benchmarks and simulated recordings: main-board audio and sensor packets with any
// kind, mask and field values, second-board packets of every kind, with a correct
// checksum that callers may spoil on purpose.

#include <array>
#include <cstdint>
#include <vector>

namespace sensconv {

// Raw words of a main-board sensor packet; only the fields selected by the mask (and,
// for the light frequency, by kind bit 0) are written.
struct qor2SensorFields {
    uint16_t accelX = 0, accelY = 0, accelZ = 0;  // mask bit 0
    uint8_t lightDivider = 0;                     // kind bit 0
    uint16_t lightCount = 0;                      // kind bit 0
    uint16_t barTemp = 0;                         // D2, mask bit 5
    uint16_t pressure = 0;                        // D1, mask bit 4
    uint16_t compass = 0;                         // mask bit 3
    uint8_t visLight = 0;                         // mask bit 1
    uint8_t irLight = 0;                          // mask bit 2
    uint16_t shtTemp = 0;                         // mask bit 7
    uint16_t humidity = 0;                        // mask bit 6
};

// Raw words of a second-board sensor packet.
struct juxSensorFields {
    std::array<int16_t, 3> gyro{};      // mask bit 0, with the temperatures
    std::array<int16_t, 3> gyroTemp{};  // mask bit 0
    std::array<int16_t, 3> mag{};       // mask bits 1, 2, 3
};

class boardPacketBuilder {
public:
    // Frame with the given header bytes and payload, checksum appended.
    static std::vector<uint8_t> frame(uint8_t kind, uint8_t countOrMask, uint8_t ts, uint16_t intCount,
                                      const std::vector<uint8_t>& payload);

    // Audio packet of kind 8 (or 9) with the given sample words (N = words.size()).
    static std::vector<uint8_t> qor2Audio(uint8_t ts, uint16_t intCount, const std::vector<uint16_t>& words,
                                          uint8_t kind = 8);

    // Sensor packet of kind 0 or 1 with the fields of mask in payload order.
    static std::vector<uint8_t> qor2Sensor(uint8_t kind, uint8_t mask, uint8_t ts, uint16_t intCount,
                                           const qor2SensorFields& fields);

    // Second-board sensor packet of kind 0 or 1.
    static std::vector<uint8_t> juxSensor(uint8_t mask, uint8_t ts, uint16_t intCount, const juxSensorFields& fields,
                                          uint8_t kind = 0);

    // Second-board packet of a kind without readings (2-5, 128, 129), checksum at the
    // kind's fixed position; the bytes in between are filler.
    static std::vector<uint8_t> juxWithoutReadings(uint8_t kind);

    // Turns a correct checksum into a wrong one (the checksum byte is the last byte).
    static void spoilChecksum(std::vector<uint8_t>& packet);
};

}  // namespace sensconv
