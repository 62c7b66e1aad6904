#include "decode/qor2Decoder.h"

#include <cmath>

#include "common/littleEndian.h"
#include "decode/boardLayout.h"
#include "decode/channelTable.h"

namespace sensconv {

namespace {


int32_t sensorPacketEnd(uint8_t kind, uint8_t mask) {
    int32_t end = boardHeaderSize;
    if (mask & qor2MaskAccel) end += 6;
    if (mask & qor2MaskVisLight) end += 1;
    if (mask & qor2MaskIrLight) end += 1;
    for (uint8_t bit : {qor2MaskCompass, qor2MaskPressure, qor2MaskBarTemp, qor2MaskHumidity, qor2MaskShtTemp}) {
        if (mask & bit) end += 2;
    }
    if (kind & 1) end += 3;
    return end;
}

// The light sensor's byte is a chord (bits 4-6) and a step within it (bits 0-3);
// bit 7 carries nothing.
double lightValue(uint8_t v) {
    const int chord = (v >> 4) & 7;
    const int step = v & 15;
    const double chordBase = static_cast<double>(1 << chord);
    return (chordBase - 1.0) * 16.5 + 10.0 * (chordBase * step);
}

bool inRange(int32_t intCount, int32_t intmax) {
    return intmax == 0 || intCount <= intmax;
}

void countReceived(boardState& state, int channel) {
    ++state.received[static_cast<size_t>(channel)];
}

void decodeSensorFields(const uint8_t* data, uint8_t kind, uint8_t mask, packetBatch& batch, qor2Calibration& cal,
                        boardState& state) {
    int32_t pos = boardHeaderSize;

    if (mask & qor2MaskAccel) {
        const double x = readLE16(data + pos) / 16383.0;
        const double y = readLE16(data + pos + 2) / 16383.0;
        const double z = readLE16(data + pos + 4) / 16383.0;
        pos += 6;
        for (int channel : {qor2XAccel, qor2YAccel, qor2ZAccel, qor2MagAccel}) countReceived(state, channel);
        batch.append(qor2XAccel, x);
        batch.append(qor2YAccel, y);
        batch.append(qor2ZAccel, z);
        batch.append(qor2MagAccel, std::sqrt(x * x + y * y + z * z));
    }

    if (kind & 1) {
        const double divider = data[pos];
        const double count = readLE16(data + pos + 1);
        pos += 3;
        countReceived(state, qor2HfVisLight);
        batch.append(qor2HfVisLight, count * (divider / 256.0 * 100100.0 / 499.0) / 65536.0);
    }

    if (mask & qor2MaskBarTemp) {
        const int32_t d2 = readLE16(data + pos);
        pos += 2;
        countReceived(state, qor2Temp);
        const int32_t dT = d2 - (8 * cal.C5 + 20224);
        // The plausibility test works in integer hundredths of a degree; only a
        // plausible temperature word is kept for the pressure compensation.
        const int32_t t = (dT * (cal.C6 + 50)) / 102 + 2000;
        if (t > -1000 && t < 10000) {
            cal.lastD2 = d2;
            const double f = static_cast<double>(cal.C6 + 50) * dT / 1024.0 + 200.0;
            batch.append(qor2Temp, f / 10.0);
        }
    }

    if (mask & qor2MaskPressure) {
        const int32_t d1 = readLE16(data + pos);
        pos += 2;
        countReceived(state, qor2BarPress);
        if (cal.lastD2 != -1) {
            const int32_t dT = cal.lastD2 - 8 * cal.C5 - 20224;
            const double sens = cal.C1 + (cal.C3 * dT) / 1024.0 + 24576.0;
            const double off = 4.0 * cal.C2 + ((cal.C4 - 512) * dT) / 4096.0;
            const double x = (d1 - 7168) * sens / 16384.0 - off;
            batch.append(qor2BarPress, x / 32.0 + 250.0);
        }
    }

    if (mask & qor2MaskCompass) {
        const double heading = readLE16(data + pos);
        pos += 2;
        countReceived(state, qor2Compass);
        batch.append(qor2Compass, heading / 10.0);
    }

    // The two light sensors: the reading is kept for the ambient light below.
    const auto takeLight = [&](int channel, double& kept, bool& present) {
        kept = lightValue(data[pos]);
        pos += 1;
        countReceived(state, channel);
        batch.append(channel, kept);
        present = true;
    };
    if (mask & qor2MaskVisLight) takeLight(qor2VisLight, cal.visValue, cal.visPresent);
    if (mask & qor2MaskIrLight) takeLight(qor2IrLight, cal.irValue, cal.irPresent);

    // Ambient light needs one visible and one infrared reading; they may arrive in
    // different packets, and each pair is used once.
    if (cal.visPresent && cal.irPresent) {
        batch.append(qor2AmbLight, cal.visValue * 0.46 * std::exp(-3.13 * cal.irValue / (cal.visValue + 0.000001)));
        cal.visPresent = false;
        cal.irPresent = false;
        countReceived(state, qor2AmbLight);
    }

    if (mask & qor2MaskShtTemp) {
        const double t = readLE16(data + pos);
        pos += 2;
        countReceived(state, qor2TempSensiron);
        const double value = t * 0.01 - 39.634;
        batch.append(qor2TempSensiron, value);
        cal.shtTempValue = value;
        cal.shtTempPresent = true;
    }

    if (mask & qor2MaskHumidity) {
        const double r = readLE16(data + pos);
        countReceived(state, qor2Humidity);
        // Relative humidity needs the sensor's temperature for its compensation.
        if (cal.shtTempPresent) {
            const double linear = static_cast<float>(r * 0.0405 - 4.0 - r * 0.0000028 * r);
            batch.append(qor2Humidity, (cal.shtTempValue - 25.0) * (r * 0.00008 + 0.01) + linear);
        }
    }
}

}  // namespace

void qor2Decoder::decode(const uint8_t* data, int32_t length, packetBatch& batch, qor2Calibration& cal,
                         boardState& state) {
    batch.total = 0;
    state.result = boardResult::notDecodable;
    if (data == nullptr || length < 3) return;
    if (data[0] != boardSync1 || data[1] != boardSync2) return;

    const uint8_t kind = data[2];
    const bool audio = kind == qor2KindAudio || kind == qor2KindAudioAlt;
    const bool sensor = kind == qor2KindSensor || kind == qor2KindSensorWithLightFrequency;
    if (!audio && !sensor) {
        ++state.unhandledPackets;
        return;
    }

    // A packet cut off before its checksum byte (or before the byte that gives its
    // length) cannot be checked: it counts as a checksum failure.
    if (length < 4) {
        state.result = boardResult::rejected;
        ++state.crcErrors;
        return;
    }
    const uint8_t countOrMask = data[3];
    const int32_t end = audio ? boardHeaderSize + 2 * countOrMask : sensorPacketEnd(kind, countOrMask);
    if (length <= end) {
        state.result = boardResult::rejected;
        ++state.crcErrors;
        return;
    }

    const timePair pair{data[4], readLE16(data + 5)};
    bool valid = boardChecksumPasses(data, end) && inRange(pair.intCount, cal.intmax);
    valid = valid && (audio ? countOrMask <= maxAudioSamples : end < maxSensorPacketEnd);
    if (!valid) {
        state.result = boardResult::rejected;
        ++state.crcErrors;
        return;
    }

    ++state.validPackets;
    state.result = boardResult::valid;
    state.pair = pair;

    if (audio) {
        const int32_t n = countOrMask;
        state.received[qor2Audio] += n;
        batch.appendOffsetWords(qor2Audio, n, data + boardHeaderSize);
        return;
    }
    decodeSensorFields(data, kind, countOrMask, batch, cal, state);
}

}  // namespace sensconv
