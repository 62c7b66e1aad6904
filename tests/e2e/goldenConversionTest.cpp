// The golden conversion: one session of two recordings with both sensor boards, the GPS
// receiver and the camera, converted by the real program. Every file it writes is
// compared byte for byte with content this test works out from what it put into the
// recordings (the boards' conversion formulas, the sample schedule, the record
// layouts), and standard error line for line.
//
// The session, in board time (1000 ticks a 10-second period, so a tick is 10 ms).
// Board packets come in slots 25 ticks apart; in every slot the main board sends a
// sensor packet (accelerometer and compass, 4 Hz) and 25 microphone samples (100 Hz),
// and the second board a gyroscope packet (4 Hz) with, every other slot, the
// magnetometer (2 Hz).
// - File 1, slots 0-7, starts 150 ticks before the period counter rolls over from
//   255 to 0 (between slots 5 and 6). The main board's sensor packets of slots 3-5 are
//   lost (slot 4's arrives with a wrong checksum), so slot 6 fills the gap.
// - File 2, slots 0-5, continues the session; its sensor packets begin only at slot 3,
//   so that slot fills the start of the file.
// - GPS records in both files, one packet the decoder must skip.
// - Camera: image A starts with 42 bytes (held back) and spans three packets; image B
//   starts in A's last packet and ends in file 2; image C fails its CRC; a packet
//   without an image follows; image D is still open when the session ends.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "e2e/e2eSupport.h"
#include "e2e/roundTripSupport.h"
#include "snsrsim/cameraPicture.h"

namespace sensconv {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

constexpr int32_t intmax = 1000;
constexpr int32_t slotTicks = 25;
constexpr int audioPerSlot = 25;
constexpr uint16_t qor2Id = 1, juxId = 2, gpsId = 3, cameraId = 4;
constexpr uint64_t fileStart[2] = {1230000000000ULL, 1230000010000ULL};
constexpr int slots[2] = {8, 6};
// Board ticks (period counter x 1000 + interrupt count, unwrapped) of each file's slot 0.
constexpr int64_t firstTick[2] = {255 * 1000 + 850, 256 * 1000 + 250};
// The barometer's calibration words in the main board's settings.
constexpr std::array<uint16_t, 4> calibrationWords = {0xB5A1, 0x6C37, 0x9E4D, 0x7F2A};
// Session time of file 2's start: file 1's last board packet, slot 7.
constexpr int64_t secondFileBase = 7 * slotTicks;

// Raw readings of slot k of file f.
uint16_t compassWord(int f, int k) { return static_cast<uint16_t>(900 + 40 * k + 1000 * f); }
std::array<uint16_t, 3> accelWords(int f, int k) {
    return {static_cast<uint16_t>(16383 + 97 * k + 13 * f), static_cast<uint16_t>(8000 - 50 * k - 9 * f),
            static_cast<uint16_t>(120 * k + 3 + 5 * f)};
}
std::array<int16_t, 3> gyroWords(int f, int k) {
    return {static_cast<int16_t>(3 * k - 10 + f), static_cast<int16_t>(-k - 2 * f), static_cast<int16_t>(500 + k)};
}
std::array<int16_t, 3> gyroTempWords(int f, int k) {
    return {static_cast<int16_t>(-110 * k), static_cast<int16_t>(11 * f), static_cast<int16_t>(220 - k)};
}
std::array<int16_t, 3> magWords(int f, int k) {
    return {static_cast<int16_t>(11 * k - 50), static_cast<int16_t>(7 + f), static_cast<int16_t>(-300 + k)};
}
uint16_t audioWord(int f, int k, int i) {
    if (f == 0 && k == 0 && i < 3) return std::array<uint16_t, 3>{0x0000, 0xFFFF, 0x8000}[static_cast<size_t>(i)];
    return static_cast<uint16_t>((32768 + 977 * (f * 1000 + k * audioPerSlot + i)) % 65536);
}

// The physical values, as the boards' documentation defines them.
double compassValue(int f, int k) { return compassWord(f, k) / 10.0; }
double accelValue(int f, int k, int axis) { return accelWords(f, k)[static_cast<size_t>(axis)] / 16383.0; }
double accelMagnitude(int f, int k) {
    const double x = accelValue(f, k, 0), y = accelValue(f, k, 1), z = accelValue(f, k, 2);
    return std::sqrt(x * x + y * y + z * z);
}
double fahrenheitOf(int16_t word) { return (word / 110.0 + 298) * 1.8 - 459.67; }

bool mainBoardSensorSlot(int f, int k) { return f == 0 ? (k <= 2 || k >= 6) : k >= 3; }
bool magnetometerSlot(int k) { return k % 2 == 0; }

// Camera bytes: small JPEG pictures, each followed by its check segment.
bytes encodeJpeg(int width, int height, int pattern) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) row[static_cast<size_t>(x)] = static_cast<JSAMPLE>((x * pattern + y * 9) & 0xFF);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    bytes jpeg(out, out + size);
    std::free(out);
    jpeg_destroy_compress(&cinfo);
    return jpeg;
}

uint32_t crcOf(const bytes& data, size_t count) {
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(count)));
}

// Where a marker pair (0xFF, second) stands in data.
std::vector<size_t> markerPositions(const bytes& data, uint8_t second) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == 0xFF && data[i + 1] == second) at.push_back(i);
    return at;
}

bytes cameraImage(int width, int height, int pattern, bool spoil) {
    bytes image = encodeJpeg(width, height, pattern);
    snsrsim::cameraPicture::appendCheckSegment(image, spoil);
    // The extractor finds images and check segments by these pairs alone.
    EXPECT_EQ(markerPositions(image, 0xD8), std::vector<size_t>{0});
    EXPECT_EQ(markerPositions(image, 0xEF), std::vector<size_t>{image.size() - 8});
    return image;
}

bytes slice(const bytes& data, size_t from, size_t to = SIZE_MAX) {
    return bytes(data.begin() + static_cast<std::ptrdiff_t>(from),
                 data.begin() + static_cast<std::ptrdiff_t>(std::min(to, data.size())));
}

bytes joined(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// One GPS packet: receiver bytes 7 .. 7+n-1, and four bytes after them that no record takes.
bytes gpsPacket(uint8_t n, uint8_t seed) {
    bytes packet = {0xA0, 0xA2, 0x00, n, 0x01, 0x02, 0x03};
    if (n != 255)
        for (int i = 0; i < n; ++i) packet.push_back(static_cast<uint8_t>(seed + 3 * i));
    packet.insert(packet.end(), {0x12, 0x34, 0xB0, 0xB3});
    return packet;
}

struct gpsPlan {
    int file;
    int slot;
    uint8_t n;
    uint8_t seed;
};
const gpsPlan gpsPackets[] = {{0, 1, 10, 0x40}, {0, 5, 17, 0x61}, {1, 2, 5, 0x07}, {1, 4, 255, 0}};

// What the test expects of one channel's three files.
struct channelExpectation {
    std::string name;
    double rateHz = 0;
    std::vector<double> values;
    std::vector<int> filledPositions;
    double firstTimestamp = -1;
    double lastTimestamp = -1;
};

bytes float32File(const std::vector<double>& values) {
    bytes out(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i) {
        const float value = static_cast<float>(values[i]);
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        writeLE32(out.data() + 4 * i, bits);
    }
    return out;
}

std::string metaFileText(const channelExpectation& c) {
    std::string text = formatText("\"NumSamples\",%d\n\"SampleRate\",%f\n\"Name\",\"%s\"\n\"DataType\",1\n",
                                  static_cast<int>(c.values.size()), c.rateHz, c.name.c_str());
    if (c.firstTimestamp >= 0 && c.lastTimestamp >= 0)
        text += formatText("\"firstTimestamp\",%f\n\"lastTimestamp\",%f\n", c.firstTimestamp, c.lastTimestamp);
    return text;
}

// The two recordings, the reader's packet indices the messages name, and the counts
// the metadata reports.
struct fileFacts {
    int packets = 0;
    std::map<uint16_t, int> framesById;
    uint32_t firstMs = 0;
    uint32_t lastMs = 0;
    int badChecksumPacket = -1;      // file 1, slot 4
    int qor2WrapPacket = -1;         // file 1, slot 6
    int juxWrapPacket = -1;          // file 1, slot 6
    int fillPacket = -1;             // the main board's sensor packet that fills
};

struct goldenSession {
    bytes images[4];  // A, B, C (spoiled), D
    fileFacts facts[2];

    goldenSession() {
        images[0] = cameraImage(24, 16, 7, false);
        images[1] = cameraImage(16, 16, 23, false);
        images[2] = cameraImage(16, 8, 41, true);
        images[3] = cameraImage(8, 8, 5, false);
        EXPECT_GT(images[0].size(), 130u);
        EXPECT_GT(images[1].size(), 150u);
        EXPECT_GT(images[2].size(), 90u);
    }

    // The camera packet of a slot, if it has one.
    bytes cameraPacket(int f, int k) const {
        const bytes &a = images[0], &b = images[1], &c = images[2], &d = images[3];
        if (f == 0 && k == 1) return joined({{0x11, 0x22, 0x33}, slice(a, 0, 42)});
        if (f == 0 && k == 2) return slice(a, 42, 120);
        if (f == 0 && k == 4) return joined({slice(a, 120), slice(b, 0, 60)});
        if (f == 0 && k == 7) return slice(b, 60, 140);
        if (f == 1 && k == 1) return slice(b, 140);
        if (f == 1 && k == 2) return slice(c, 0, 80);
        if (f == 1 && k == 3) return slice(c, 80);
        if (f == 1 && k == 4) return bytes(30, 0x55);
        if (f == 1 && k == 5) return d;
        return {};
    }

    containerBuilder recording(int f) {
        containerBuilder builder;
        builder.setFileStartTime(fileStart[f]);
        const qor2Settings q{.intr = intmax, .mic = 100, .acc = 40, .comp = 40, .bdnr = 4711, .hver = 3, .swma = 2,
                             .swmi = 7, .wd01 = calibrationWords[0], .wd02 = calibrationWords[1],
                             .wd03 = calibrationWords[2], .wd04 = calibrationWords[3]};
        builder.addQor2Stream(qor2Id, q);
        const juxSettings j{.intr = intmax, .gyro = 40, .mag = 20, .bdnr = 815, .hver = 1, .swma = 4, .swmi = 2};
        builder.addJuxStream(juxId, j);
        builder.addSirfGpsStream(gpsId);
        builder.addCameraStream(cameraId);

        fileFacts& facts = this->facts[f];
        for (int k = 0; k < slots[f]; ++k) {
            const int64_t tick = firstTick[f] + slotTicks * k;
            const auto ts = static_cast<uint8_t>((tick / intmax) % 256);
            const auto intCount = static_cast<uint16_t>(tick % intmax);
            const auto ms = static_cast<uint32_t>((f == 0 ? 1000 : 500) + 250 * k);
            auto frame = [&](uint16_t id, const bytes& payload) {
                builder.addFrame(id, ms, payload);
                ++facts.framesById[id];
                if (facts.packets == 0) facts.firstMs = ms;
                facts.lastMs = ms;
                return facts.packets++;
            };

            qor2SensorFields fields;
            const auto accel = accelWords(f, k);
            fields.accelX = accel[0];
            fields.accelY = accel[1];
            fields.accelZ = accel[2];
            fields.compass = compassWord(f, k);
            if (mainBoardSensorSlot(f, k)) {
                const int index = frame(qor2Id, boardPacketBuilder::qor2Sensor(0, 0x09, ts, intCount, fields));
                if (f == 0 && k == 6) facts.qor2WrapPacket = facts.fillPacket = index;
                if (f == 1 && k == 3) facts.fillPacket = index;
            } else if (f == 0 && k == 4) {
                bytes spoiled = boardPacketBuilder::qor2Sensor(0, 0x09, ts, intCount, fields);
                boardPacketBuilder::spoilChecksum(spoiled);
                facts.badChecksumPacket = frame(qor2Id, spoiled);
            }
            std::vector<uint16_t> words;
            for (int i = 0; i < audioPerSlot; ++i) words.push_back(audioWord(f, k, i));
            frame(qor2Id, boardPacketBuilder::qor2Audio(ts, intCount, words));

            juxSensorFields gyro{gyroWords(f, k), gyroTempWords(f, k), magWords(f, k)};
            const int juxIndex =
                frame(juxId, boardPacketBuilder::juxSensor(magnetometerSlot(k) ? 0x0F : 0x01, ts, intCount, gyro));
            if (f == 0 && k == 6) facts.juxWrapPacket = juxIndex;
            if (f == 1 && k == 1) frame(juxId, boardPacketBuilder::juxWithoutReadings(4));

            for (const gpsPlan& gps : gpsPackets)
                if (gps.file == f && gps.slot == k) frame(gpsId, gpsPacket(gps.n, gps.seed));
            const bytes camera = cameraPacket(f, k);
            if (!camera.empty()) frame(cameraId, camera);
        }
        EXPECT_GE(builder.size(), 1024u);
        return builder;
    }

    // Session time in ticks of slot k of file f, and in milliseconds.
    static int64_t sessionTicks(int f, int k) { return (f == 0 ? 0 : secondFileBase) + slotTicks * k; }
    static int32_t sessionMs(int f, int k) { return static_cast<int32_t>(sessionTicks(f, k) * 10); }

    // A 4 Hz main-board channel: slot 6 of file 1 fills one value (the last before the
    // gap: the schedule tolerates a shortfall below two), slot 3 of file 2 fills one
    // value before any other in that file (1.0).
    static channelExpectation mainBoardChannel(const std::string& name, double (*value)(int, int)) {
        channelExpectation c{name, 4.0, {}, {3, 6}, 0.0, 1.75 + 1.25};
        c.values = {value(0, 0), value(0, 1), value(0, 2), value(0, 2), value(0, 6), value(0, 7),
                    1.0,         value(1, 3), value(1, 4), value(1, 5)};
        return c;
    }

    static channelExpectation secondBoardChannel(const std::string& name, double rateHz, double (*value)(int, int)) {
        const bool everyOther = rateHz < 4.0;
        channelExpectation c{name, rateHz, {}, {}, 0.0, everyOther ? 1.5 + 1.0 : 1.75 + 1.25};
        for (int f = 0; f < 2; ++f)
            for (int k = 0; k < slots[f]; ++k)
                if (!everyOther || magnetometerSlot(k)) c.values.push_back(value(f, k));
        return c;
    }

    static std::vector<channelExpectation> channels() {
        std::vector<channelExpectation> all = {
            mainBoardChannel("compass", compassValue),
            mainBoardChannel("accel", [](int f, int k) { return accelValue(f, k, 0); }),
            mainBoardChannel("accelY", [](int f, int k) { return accelValue(f, k, 1); }),
            mainBoardChannel("accelZ", [](int f, int k) { return accelValue(f, k, 2); }),
            mainBoardChannel("accelMag", accelMagnitude),
            secondBoardChannel("gyro", 4.0, [](int f, int k) { return static_cast<double>(gyroWords(f, k)[0]); }),
            secondBoardChannel("gyroY", 4.0, [](int f, int k) { return static_cast<double>(gyroWords(f, k)[1]); }),
            secondBoardChannel("gyroZ", 4.0, [](int f, int k) { return static_cast<double>(gyroWords(f, k)[2]); }),
            secondBoardChannel("gyroTemp", 4.0, [](int f, int k) { return fahrenheitOf(gyroTempWords(f, k)[0]); }),
            secondBoardChannel("gyroTempY", 4.0, [](int f, int k) { return fahrenheitOf(gyroTempWords(f, k)[1]); }),
            secondBoardChannel("gyroTempZ", 4.0, [](int f, int k) { return fahrenheitOf(gyroTempWords(f, k)[2]); }),
            secondBoardChannel("mag", 2.0, [](int f, int k) { return static_cast<double>(magWords(f, k)[0]); }),
            secondBoardChannel("magY", 2.0, [](int f, int k) { return static_cast<double>(magWords(f, k)[1]); }),
            secondBoardChannel("magZ", 2.0, [](int f, int k) { return static_cast<double>(magWords(f, k)[2]); }),
        };
        // Channels whose rate is 0 in the header, and the two power channels: no samples.
        for (const char* name : {"BarPres", "visFreqLight", "ShtHumid", "IRLight", "AmbientLight", "BarTemp",
                                 "ShtTemp", "VisLight", "power", "juxpower"})
            all.push_back(channelExpectation{name, 0.0, {}, {}, -1, -1});
        return all;
    }

    static std::vector<int16_t> audio() {
        std::vector<int16_t> samples;
        for (int f = 0; f < 2; ++f)
            for (int k = 0; k < slots[f]; ++k)
                for (int i = 0; i < audioPerSlot; ++i)
                    samples.push_back(static_cast<int16_t>(int32_t{audioWord(f, k, i)} - 32768));
        return samples;
    }

    static bytes gpsFile() {
        bytes out;
        for (const gpsPlan& gps : gpsPackets) {
            if (gps.n == 255) continue;
            uint8_t head[20];
            writeLE32(head, static_cast<uint32_t>(sessionMs(gps.file, gps.slot)));
            writeLE32(head + 4, static_cast<uint32_t>((gps.file == 0 ? 1000 : 500) + 250 * gps.slot));
            writeLE64(head + 8, fileStart[gps.file]);
            writeLE32(head + 16, gps.n);
            out.insert(out.end(), head, head + 20);
            const bytes packet = gpsPacket(gps.n, gps.seed);
            out.insert(out.end(), packet.begin() + 7, packet.begin() + 7 + gps.n);
        }
        return out;
    }

    // Image files by name: A opens with its second packet (slot 2), B with its first
    // (slot 4 of file 1), D with slot 5 of file 2; C is dropped.
    std::map<std::string, bytes> imageFiles() const {
        return {{formatText("%011d.jpg", sessionMs(0, 2)), images[0]},
                {formatText("%011d.jpg", sessionMs(0, 4)), images[1]},
                {formatText("%011d.jpg", sessionMs(1, 5)), images[3]}};
    }
};

// The barometer coefficients of the calibration words, as the board's datasheet gives them.
std::array<int32_t, 6> barometerCoefficients() {
    const auto [w1, w2, w3, w4] = calibrationWords;
    return {static_cast<int32_t>(w1 >> 1),
            static_cast<int32_t>(((w3 & 63) << 6) + (w4 & 63)),
            static_cast<int32_t>(w4 >> 6),
            static_cast<int32_t>(w3 >> 6),
            static_cast<int32_t>(((w1 & 1) << 10) + (w2 >> 6)),
            static_cast<int32_t>(w2 & 63)};
}

// The lines of one file's block in binaryData.meta, #FileStart to #FileEnd.
std::string metaBlock(int f, const fileFacts& facts, uint32_t sessionFirstMs) {
    std::string text = formatText("\"#FileStart\",%02d\n", f + 1);
    auto line = [&text](const std::string& key, const std::string& value) {
        text += "\"" + key + "\"," + value + "\n";
    };
    auto number = [](int64_t value) { return std::to_string(value); };
    auto real = [](double value) { return formatText("%f", value); };

    line("snsr_numStreams", "4");
    line("snsr_numParsedPackets", number(facts.packets));
    line("snsr_numCorruptSections", "0");
    line("snsr_numCorruptBytesSkipped", "0");
    line("snsr_firstSNSRTimestamp", number(facts.firstMs));
    line("snsr_lastSNSRTimestamp", number(facts.lastMs));
    line("snsr_fileStartTime", std::to_string(fileStart[f]));
    line("snsr_streamCounts_JUX", number(facts.framesById.at(juxId)));
    line("snsr_streamCounts_SIRF_GPS", number(facts.framesById.at(gpsId)));
    line("snsr_streamCounts_QOR2", number(facts.framesById.at(qor2Id)));
    line("snsr_streamCounts_CAMERA", number(facts.framesById.at(cameraId)));

    line("firstSNSRTimetamp", number(sessionFirstMs));
    line("lastSNSRTimestamp", number(facts.lastMs));
    line("SNSRTimestamp_start_time", std::to_string(fileStart[f]));

    // The main board: every sensor packet but the damaged one and every audio packet.
    const int sensorPackets = f == 0 ? 5 : 3;
    const int64_t lastTicks = slotTicks * (slots[f] - 1);  // the file's last board packet
    line("qor2", "1");
    line("qor2_crcErrors", f == 0 ? "1" : "0");
    line("qor2_validPackets", number(sensorPackets + slots[f]));
    line("qor2_unhandledPackets", "0");
    line("qor2_interruptCounterMax", "1000");
    line("qor2_calib_mic_gain", "0");
    const auto c = barometerCoefficients();
    for (int i = 0; i < 6; ++i) line(formatText("qor2_calib_bar_C%d", i + 1), number(c[static_cast<size_t>(i)]));
    line("qor2_audioFirstTimestamp", real(0.0));
    line("qor2_audioLastTimestamp", real(lastTicks / 100.0));
    const std::pair<const char*, int> mainBoard[] = {
        {"audio", 1000}, {"BarPres", 0}, {"compass", 40}, {"visFreqLight", 0}, {"ShtHumid", 0},
        {"IRLight", 0},  {"AmbientLight", 0}, {"BarTemp", 0}, {"ShtTemp", 0}, {"VisLight", 0},
        {"accel", 40},   {"accelY", 40}, {"accelZ", 40}, {"accelMag", 40}, {"power", 0}};
    for (const auto& [name, rate] : mainBoard) {
        const int received = rate == 0 ? 0 : std::string(name) == "audio" ? audioPerSlot * slots[f] : sensorPackets;
        line(std::string("qor2_recvieved_") + name, number(received));
        line(std::string("qor2_expected_") + name, real(lastTicks / 1000.0 * rate));
        line(std::string("qor2_schedule_") + name, real(rate));
    }

    line("jux", "1");
    line("jux_crcErrors", "0");
    line("jux_validPackets", number(slots[f]));
    line("jux_unhandledPackets", f == 1 ? "1" : "0");
    line("jux_interruptCounterMax", "1000");
    const int magPackets = (slots[f] + 1) / 2;
    const std::pair<const char*, int> secondBoard[] = {
        {"gyro", 40}, {"gyroY", 40}, {"gyroZ", 40}, {"gyroTemp", 40}, {"gyroTempY", 40},
        {"gyroTempZ", 40}, {"mag", 20}, {"magY", 20}, {"magZ", 20}, {"juxpower", 0}};
    for (const auto& [name, rate] : secondBoard) {
        const int received = rate == 0 ? 0 : rate == 20 ? magPackets : slots[f];
        line(std::string("jux_recvieved_") + name, number(received));
        line(std::string("jux_expected_") + name, real(lastTicks / 1000.0 * rate));
        line(std::string("jux_schedule_") + name, real(rate));
    }

    int gpsBytes = 0;
    for (const gpsPlan& gps : gpsPackets)
        if (gps.file == f && gps.n != 255) gpsBytes += gps.n;
    line("sirfGPS", "1");
    line("sirfGPS_numBytesProcessed", number(gpsBytes));
    // File 1 completes A; file 2 completes B (when C starts) and drops C.
    line("camera", "1");
    line("camera_numGoodImages", "1");
    line("camera_numBadImages", f == 0 ? "0" : "1");
    return text + formatText("\"#FileEnd\",%02d\n", f + 1);
}

std::string wrapLines(int packet) {
    return "# INFO: ---------------------\n" +
           formatText("# INFO: QOR, SNSR Packet %6d, possible wrap around detected in timestamps, timeElapsed %d\n",
                      packet, (0 - 255) * 1000 + 0 - 975) +
           "# INFO: Interrupt max:    1000. Previous:  255 ts,   975 int, current:    0 ts,     0 int\n"
           "# INFO: ---------------------\n";
}

std::string fillLines(int packet) {
    std::string text;
    for (const char* field : {"qor2/compass", "qor2/x_accel", "qor2/y_accel", "qor2/z_accel", "qor2/mag_accel"})
        text += formatText("# WARNING: Packet %6d, Filling   1 missing samples for field %s\n", packet, field);
    return text;
}

std::string asctimeText(int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);  // the run's local time is UTC
    std::ostringstream text;
    text << std::put_time(&parts, "%a %b %e %H:%M:%S %Y");
    return text.str();
}

class goldenConversionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("TZ", "UTC", 1);
        dir_ = std::make_unique<scratchDirectory>();
        session_ = std::make_unique<goldenSession>();
        for (int f = 0; f < 2; ++f) ASSERT_TRUE(session_->recording(f).writeFile(*dir_ / inputName(f)));
        startedAt_ = std::time(nullptr);
        run_ = runProgram({*dir_ / inputName(0), *dir_ / inputName(1)}, dir_->path());
        endedAt_ = std::time(nullptr);
    }
    static void TearDownTestSuite() {
        session_.reset();
        dir_.reset();
    }

    static std::string inputName(int f) { return f == 0 ? "rec1.snsr" : "rec2.snsr"; }
    static std::string part() { return *dir_ / "part_00/"; }

    static inline std::unique_ptr<scratchDirectory> dir_;
    static inline std::unique_ptr<goldenSession> session_;
    static inline programRun run_;
    static inline std::time_t startedAt_ = 0;
    static inline std::time_t endedAt_ = 0;
};

TEST_F(goldenConversionTest, StatusAndMessages) {
    const fileFacts& first = session_->facts[0];
    const fileFacts& second = session_->facts[1];
    const std::string dir = dir_->path();
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(run_.out, "");
    EXPECT_EQ(run_.err,
              "# INFO: Data will be created in directory: " + dir + "\n" +
                  "\n# INFO: ------------------\n# INFO: Scanning files to remove obviously bad files\n" +
                  "# INFO: File [  1]            Opened, \"" + dir + "rec1.snsr\"\n" +
                  "# INFO: File [  2]            Opened, \"" + dir + "rec2.snsr\"\n" +
                  "# INFO: Comparing file headers\n" +
                  "\n# INFO: ------------------\n# INFO: Processing Session  1 of  1\n" +
                  "# INFO: Creating output directory:\n# INFO: \"" + dir + "part_00\"\n" +
                  "# INFO: Session  1, Processing File   1 of   2 (total)\n" +
                  "# INFO: Creating image output directory\n" +
                  formatText("# WARNING: QOR2 packet %d, Packet CRC invalid\n", first.badChecksumPacket) +
                  wrapLines(first.qor2WrapPacket) + fillLines(first.fillPacket) + wrapLines(first.juxWrapPacket) +
                  "# INFO: Session  1, Processing File   2 of   2 (total)\n" + fillLines(second.fillPacket) +
                  "# WARNING: JPEG CRC error. Dropping image.\n"
                  "# WARNING: jpegDumpFile == null!\n"
                  "# WARNING: jpegDumpFile == null!\n"
                  "# INFO: Session  1 of  1 completed\n"
                  "# INFO: ------------------\n");
}

TEST_F(goldenConversionTest, EveryFileOfTheSessionIsThereAndNothingElse) {
    std::set<std::string> expected = {"binaryData.meta", "completeSensorAudio.wav", "sirfGPSOutput.bin", "images",
                                      "session.json", "epochs.csv"};
    for (const channelExpectation& channel : goldenSession::channels()) {
        expected.insert("binaryData_" + channel.name + ".bin");
        expected.insert("binaryData_" + channel.name + ".meta");
        if (!channel.filledPositions.empty()) expected.insert("binaryData_" + channel.name + ".sparse");
    }
    EXPECT_EQ(roundtrip::namesIn(part()), expected);
    EXPECT_EQ(roundtrip::namesIn(dir_->path()), (std::set<std::string>{"rec1.snsr", "rec2.snsr", "part_00"}));
}

TEST_F(goldenConversionTest, ChannelFilesHoldEverySampleOfBothFiles) {
    for (const channelExpectation& channel : goldenSession::channels()) {
        SCOPED_TRACE(channel.name);
        const std::string base = part() + "binaryData_" + channel.name;
        const bytes data = roundtrip::readBytes(base + ".bin");
        EXPECT_TRUE(data == float32File(channel.values)) << "the .bin differs";
        EXPECT_EQ(readWhole(base + ".meta"), metaFileText(channel));
        EXPECT_EQ(data.size(), 4 * channel.values.size());
        std::string sparse;
        for (int position : channel.filledPositions) sparse += formatText("%d,1\n", position);
        EXPECT_EQ(fs::exists(base + ".sparse"), !sparse.empty());
        if (!sparse.empty()) {
            EXPECT_EQ(readWhole(base + ".sparse"), sparse);
        }
    }
}

TEST_F(goldenConversionTest, SessionMetadata) {
    const std::string meta = readWhole(part() + "binaryData.meta");
    const std::string dir = dir_->path();
    const std::string identity =
        "\"sourceFile\",\"" + dir + "rec1.snsr\"\n\"sourceFile\",\"" + dir + "rec2.snsr\"\n"
        "\"qor2_deviceSN\",4711\n\"qor2_hardware_version\",3\n\"qor2_major_soft_version\",2\n"
        "\"qor2_minor_soft_version\",7\n\"jux_deviceSN\",815\n\"jux_hardware_version\",1\n"
        "\"jux_major_soft_version\",4\n\"jux_minor_soft_version\",2\n";
    ASSERT_TRUE(meta.starts_with(identity)) << meta;

    // The processing times: seconds within the run, each with its local-time text.
    std::smatch dates;
    const std::string afterIdentity = meta.substr(identity.size());
    ASSERT_TRUE(std::regex_search(afterIdentity, dates,
                                  std::regex("^\"processingDateStart\",(\\d+)\n"
                                             "\"processingDateStartString\",\"([^\"\n]*)\"\n"
                                             "\"processingDateEnd\",(\\d+)\n"
                                             "\"processingDateEndString\",\"([^\"\n]*)\"\n"
                                             "\"createdBy\",\"Created by snsr_packetWriter_class \\(Linux\\), "
                                             "compiled on [A-Z][a-z]{2} [ 0-9]\\d \\d{4} at \\d\\d:\\d\\d:\\d\\d\"\n")))
        << afterIdentity;
    const int64_t start = std::stoll(dates[1]);
    const int64_t end = std::stoll(dates[3]);
    EXPECT_LE(startedAt_, start);
    EXPECT_LE(start, end);
    EXPECT_LE(end, endedAt_);
    EXPECT_EQ(dates[2].str(), asctimeText(start));
    EXPECT_EQ(dates[4].str(), asctimeText(end));

    const uint32_t sessionFirstMs = session_->facts[0].firstMs;
    EXPECT_EQ(afterIdentity.substr(static_cast<size_t>(dates.length(0))),
              metaBlock(0, session_->facts[0], sessionFirstMs) + metaBlock(1, session_->facts[1], sessionFirstMs));
}

TEST_F(goldenConversionTest, AudioOfBothFilesInOneWavFile) {
    SF_INFO info{};
    SNDFILE* wav = sf_open((part() + "completeSensorAudio.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(wav, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 100);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const std::vector<int16_t> expected = goldenSession::audio();
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(expected.size()));
    std::vector<int16_t> samples(expected.size() + 16);
    const sf_count_t got = sf_read_short(wav, samples.data(), static_cast<sf_count_t>(samples.size()));
    samples.resize(static_cast<size_t>(got));
    EXPECT_EQ(samples, expected);
    const char* title = sf_get_string(wav, SF_STR_TITLE);
    EXPECT_STREQ(title, "QOR2 Sensor audio file");
    const char* software = sf_get_string(wav, SF_STR_SOFTWARE);
    ASSERT_NE(software, nullptr);
    // libsndfile appends its own name and version to the software tag.
    EXPECT_TRUE(std::regex_match(software, std::regex("Created by sensconv, compiled on [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                                                      "at \\d\\d:\\d\\d:\\d\\d\n \\(libsndfile-[^)]+\\)")))
        << software;
    sf_close(wav);
}

TEST_F(goldenConversionTest, GpsRecordsOfBothFiles) {
    EXPECT_TRUE(roundtrip::readBytes(part() + "sirfGPSOutput.bin") == goldenSession::gpsFile());
}

TEST_F(goldenConversionTest, ImagesAcrossPacketsAndFilesPassTheirCheckAndDecode) {
    const std::map<std::string, bytes> expected = session_->imageFiles();
    std::set<std::string> names;
    for (const auto& [name, content] : expected) names.insert(name);
    EXPECT_EQ(roundtrip::namesIn(part() + "images"), names);
    for (const auto& [name, content] : expected) {
        SCOPED_TRACE(name);
        const bytes image = roundtrip::readBytes(part() + "images/" + name);
        EXPECT_TRUE(image == content) << "the image differs";
        ASSERT_GE(image.size(), 10u);
        EXPECT_EQ(readLE32(image.data() + image.size() - 4), crcOf(image, image.size() - 4));
        int width = 0;
        int height = 0;
        EXPECT_TRUE(roundtrip::decodeJpeg(image, width, height));
        EXPECT_GT(width, 0);
    }
}

}  // namespace
}  // namespace sensconv
