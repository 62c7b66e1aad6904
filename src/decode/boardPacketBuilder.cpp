#include "decode/boardPacketBuilder.h"

#include <cstddef>

#include "decode/boardChecksum.h"

namespace sensconv {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putSigned16(std::vector<uint8_t>& out, int16_t value) {
    put16(out, static_cast<uint16_t>(value));
}

void appendChecksum(std::vector<uint8_t>& packet) {
    uint32_t sum = 0;
    for (size_t i = 2; i < packet.size(); ++i) sum += packet[i];
    packet.push_back(static_cast<uint8_t>(sum));
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
    if (mask & 0x01) {
        put16(payload, f.accelX);
        put16(payload, f.accelY);
        put16(payload, f.accelZ);
    }
    if (kind & 1) {
        payload.push_back(f.lightDivider);
        put16(payload, f.lightCount);
    }
    if (mask & 0x20) put16(payload, f.barTemp);
    if (mask & 0x10) put16(payload, f.pressure);
    if (mask & 0x08) put16(payload, f.compass);
    if (mask & 0x02) payload.push_back(f.visLight);
    if (mask & 0x04) payload.push_back(f.irLight);
    if (mask & 0x80) put16(payload, f.shtTemp);
    if (mask & 0x40) put16(payload, f.humidity);
    return frame(kind, mask, ts, intCount, payload);
}

std::vector<uint8_t> boardPacketBuilder::juxSensor(uint8_t mask, uint8_t ts, uint16_t intCount,
                                                   const juxSensorFields& f, uint8_t kind) {
    std::vector<uint8_t> payload;
    if (mask & 0x01) {
        for (int16_t word : f.gyro) putSigned16(payload, word);
        for (int16_t word : f.gyroTemp) putSigned16(payload, word);
    }
    for (int axis = 0; axis < 3; ++axis) {
        if (mask & (0x02 << axis)) putSigned16(payload, f.mag[static_cast<size_t>(axis)]);
    }
    return frame(kind, mask, ts, intCount, payload);
}

std::vector<uint8_t> boardPacketBuilder::juxWithoutReadings(uint8_t kind) {
    size_t checksumAt = 9;
    if (kind == 2 || kind == 3) checksumAt = 18;
    if (kind == 4 || kind == 5) checksumAt = 5;
    std::vector<uint8_t> packet = {boardSync1, boardSync2, kind};
    for (size_t i = packet.size(); i < checksumAt; ++i) packet.push_back(static_cast<uint8_t>(i * 7));
    appendChecksum(packet);
    return packet;
}

void boardPacketBuilder::spoilChecksum(std::vector<uint8_t>& packet) {
    if (!packet.empty()) packet.back() = static_cast<uint8_t>(packet.back() + 1);
}

}  // namespace sensconv
