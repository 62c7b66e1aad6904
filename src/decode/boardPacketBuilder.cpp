#include "decode/boardPacketBuilder.h"

#include <cstddef>

#include "common/littleEndian.h"
#include "decode/boardLayout.h"

namespace sensconv {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t value) {
    appendLE16(out, value);
}

void putSigned16(std::vector<uint8_t>& out, int16_t value) {
    appendLE16(out, static_cast<uint16_t>(value));
}

void appendChecksum(std::vector<uint8_t>& packet) {
    packet.push_back(boardChecksum(packet.data(), packet.size()));
}

}  // namespace

std::vector<uint8_t> boardPacketBuilder::frame(uint8_t kind, uint8_t countOrMask, uint8_t ts, uint16_t intCount,
                                               const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> packet = {boardSync1, boardSync2, kind, countOrMask, ts};
    put16(packet, intCount);
    packet.insert(packet.end(), payload.begin(), payload.end());
    appendChecksum(packet);
    return packet;
}

std::vector<uint8_t> boardPacketBuilder::qor2Audio(uint8_t ts, uint16_t intCount, const std::vector<uint16_t>& words,
                                                   uint8_t kind) {
    std::vector<uint8_t> payload;
    for (uint16_t word : words) put16(payload, word);
    return frame(kind, static_cast<uint8_t>(words.size()), ts, intCount, payload);
}

std::vector<uint8_t> boardPacketBuilder::qor2Sensor(uint8_t kind, uint8_t mask, uint8_t ts, uint16_t intCount,
                                                    const qor2SensorFields& f) {
    std::vector<uint8_t> payload;
    if (mask & qor2MaskAccel) {
        put16(payload, f.accelX);
        put16(payload, f.accelY);
        put16(payload, f.accelZ);
    }
    if (kind & 1) {
        payload.push_back(f.lightDivider);
        put16(payload, f.lightCount);
    }
    if (mask & qor2MaskBarTemp) put16(payload, f.barTemp);
    if (mask & qor2MaskPressure) put16(payload, f.pressure);
    if (mask & qor2MaskCompass) put16(payload, f.compass);
    if (mask & qor2MaskVisLight) payload.push_back(f.visLight);
    if (mask & qor2MaskIrLight) payload.push_back(f.irLight);
    if (mask & qor2MaskShtTemp) put16(payload, f.shtTemp);
    if (mask & qor2MaskHumidity) put16(payload, f.humidity);
    return frame(kind, mask, ts, intCount, payload);
}

std::vector<uint8_t> boardPacketBuilder::juxSensor(uint8_t mask, uint8_t ts, uint16_t intCount,
                                                   const juxSensorFields& f, uint8_t kind) {
    std::vector<uint8_t> payload;
    if (mask & juxMaskGyro) {
        for (int16_t word : f.gyro) putSigned16(payload, word);
        for (int16_t word : f.gyroTemp) putSigned16(payload, word);
    }
    const uint8_t magnetometerBits[] = {juxMaskMagX, juxMaskMagY, juxMaskMagZ};
    for (size_t axis = 0; axis < 3; ++axis) {
        if (mask & magnetometerBits[axis]) putSigned16(payload, f.mag[axis]);
    }
    return frame(kind, mask, ts, intCount, payload);
}

std::vector<uint8_t> boardPacketBuilder::juxWithoutReadings(uint8_t kind) {
    // Any other kind gets the position of kinds 128 and 129.
    const int32_t fixed = juxFixedChecksumPosition(kind);
    const auto checksumAt = static_cast<size_t>(fixed >= 0 ? fixed : juxFixedChecksumPosition(128));
    std::vector<uint8_t> packet = {boardSync1, boardSync2, kind};
    for (size_t i = packet.size(); i < checksumAt; ++i) packet.push_back(static_cast<uint8_t>(i * 7));
    appendChecksum(packet);
    return packet;
}

void boardPacketBuilder::spoilChecksum(std::vector<uint8_t>& packet) {
    if (!packet.empty()) packet.back() = static_cast<uint8_t>(packet.back() + 1);
}

}  // namespace sensconv
