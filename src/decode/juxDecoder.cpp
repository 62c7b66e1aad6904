#include "decode/juxDecoder.h"

#include "common/littleEndian.h"
#include "decode/boardLayout.h"
#include "decode/channelTable.h"

namespace sensconv {

namespace {


int32_t sensorPacketEnd(uint8_t mask) {
    int32_t end = boardHeaderSize;
    if (mask & juxMaskGyro) end += 12;
    for (uint8_t bit : {juxMaskMagX, juxMaskMagY, juxMaskMagZ}) {
        if (mask & bit) end += 2;
    }
    return end;
}

double signedWord(const uint8_t* p) {
    return static_cast<int16_t>(readLE16(p));
}

// The gyroscope reports its temperature in 1/110 K above 298 K; the channel holds
// degrees Fahrenheit.
double gyroTemperature(const uint8_t* p) {
    return (signedWord(p) / 110.0 + 298.0) * 1.8 - 459.67;
}

void failChecksum(boardState& state) {
    state.result = boardResult::rejected;
    ++state.crcErrors;
}

}  // namespace

void juxDecoder::decode(const uint8_t* data, int32_t length, packetBatch& batch, int32_t intmax, boardState& state) {
    batch.total = 0;
    state.result = boardResult::notDecodable;
    if (data == nullptr || length < 3) return;
    if (data[0] != boardSync1 || data[1] != boardSync2) return;

    const uint8_t kind = data[2];
    if (const int32_t checksumAt = juxFixedChecksumPosition(kind); checksumAt >= 0) {
        ++state.unhandledPackets;
        if (length <= checksumAt || !boardChecksumPasses(data, checksumAt)) {
            failChecksum(state);
            return;
        }
        state.result = boardResult::valid;
        return;
    }
    if (kind != 0 && kind != 1) {
        ++state.unhandledPackets;
        return;
    }

    if (length < 4) {
        failChecksum(state);
        return;
    }
    const uint8_t mask = data[3];
    const int32_t end = sensorPacketEnd(mask);
    if (length <= end) {
        failChecksum(state);
        return;
    }
    const timePair pair{data[4], readLE16(data + 5)};
    if (!boardChecksumPasses(data, end) || !(intmax == 0 || pair.intCount <= intmax) || end >= maxSensorPacketEnd) {
        failChecksum(state);
        return;
    }

    ++state.validPackets;
    state.result = boardResult::valid;
    state.pair = pair;

    int32_t pos = boardHeaderSize;
    if (mask & juxMaskGyro) {
        for (int channel = juxXGyro; channel <= juxZGyroTemp; ++channel) ++state.received[static_cast<size_t>(channel)];
        batch.append(juxXGyro, signedWord(data + pos));
        batch.append(juxYGyro, signedWord(data + pos + 2));
        batch.append(juxZGyro, signedWord(data + pos + 4));
        batch.append(juxXGyroTemp, gyroTemperature(data + pos + 6));
        batch.append(juxYGyroTemp, gyroTemperature(data + pos + 8));
        batch.append(juxZGyroTemp, gyroTemperature(data + pos + 10));
        pos += 12;
    }
    const struct {
        uint8_t bit;
        int channel;
    } magnetometer[] = {{juxMaskMagX, juxXMag}, {juxMaskMagY, juxYMag}, {juxMaskMagZ, juxZMag}};
    for (const auto& axis : magnetometer) {
        if (mask & axis.bit) {
            ++state.received[static_cast<size_t>(axis.channel)];
            batch.append(axis.channel, signedWord(data + pos));
            pos += 2;
        }
    }
}

}  // namespace sensconv
