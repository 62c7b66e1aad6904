#include "e2e/roundTripSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include <nlohmann/json.hpp>

#include "common/littleEndian.h"

namespace sensconv::roundtrip {

std::vector<uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int countLines(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find(needle) != std::string::npos ? 1 : 0;
    return count;
}

metaFile readMeta(const fs::path& path) {
    metaFile meta;
    std::istringstream lines(readText(path));
    metaBlock* block = nullptr;
    for (std::string line; std::getline(lines, line);) {
        const size_t comma = line.find("\",");
        if (line.size() < 2 || line[0] != '"' || comma == std::string::npos) {
            ADD_FAILURE() << path << ": malformed line '" << line << "'";
            continue;
        }
        const std::string key = line.substr(1, comma - 1);
        std::string value = line.substr(comma + 2);
        if (key == "#FileStart") {
            block = &meta.blocks.emplace_back();
        } else if (key == "#FileEnd") {
            block = nullptr;
        } else if (key == "sourceFile") {
            meta.sourceFiles.push_back(value.size() >= 2 ? value.substr(1, value.size() - 2) : value);
        } else if (block != nullptr) {
            (*block)[key] = value;
        } else {
            meta.session[key] = value;
        }
    }
    return meta;
}

namespace {

std::vector<double> readDoubles(const fs::path& path) {
    const std::vector<uint8_t> raw = readBytes(path);
    EXPECT_EQ(raw.size() % 8, 0u) << path;
    std::vector<double> values(raw.size() / 8);
    for (size_t i = 0; i < values.size(); ++i) values[i] = std::bit_cast<double>(readLE64(raw.data() + 8 * i));
    return values;
}

std::vector<float> readFloats(const fs::path& path) {
    const std::vector<uint8_t> raw = readBytes(path);
    EXPECT_EQ(raw.size() % 4, 0u) << path;
    std::vector<float> values(raw.size() / 4);
    for (size_t i = 0; i < values.size(); ++i) values[i] = std::bit_cast<float>(readLE32(raw.data() + 4 * i));
    return values;
}

// Channels whose value is the raw reading itself or one division of it: the converter
// must give exactly the single-precision value of the truth's double. The others go
// through a few floating-point steps, where another (equally right) order of the
// operations may move the double by an ulp; for them one unit in the last place of
// the float is allowed.
const std::set<std::string> exactChannels = {"accel",   "accelY", "accelZ", "compass", "VisLight", "IRLight",
                                             "gyro",    "gyroY",  "gyroZ",  "mag",     "magY",     "magZ",
                                             "ShtTemp", "power",  "juxpower"};

int64_t floatDistance(float a, float b) {
    // Distance in representable floats (both finite, same sign in practice).
    const auto key = [](float f) {
        const int32_t bits = std::bit_cast<int32_t>(f);
        return bits < 0 ? int64_t{INT32_MIN} - bits : int64_t{bits};
    };
    return std::llabs(key(a) - key(b));
}

void checkChannel(const fs::path& converted, const fs::path& truth, const std::string& name, sessionSummary& summary) {
    SCOPED_TRACE("channel " + name);
    const std::vector<double> expected = readDoubles(truth / ("binaryData_" + name + ".f64"));
    const fs::path bin = converted / ("binaryData_" + name + ".bin");
    ASSERT_TRUE(fs::exists(bin));
    const std::vector<float> actual = readFloats(bin);
    ASSERT_EQ(actual.size(), expected.size());
    const bool exact = exactChannels.contains(name);
    int reported = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const float want = static_cast<float>(expected[i]);
        if (actual[i] == want) {
            ++summary.exactSamples;
        } else if (exact || floatDistance(actual[i], want) > 1) {
            if (++reported <= 5) ADD_FAILURE() << "sample " << i << ": " << actual[i] << ", expected " << want;
        }
    }
    summary.samples += static_cast<int64_t>(expected.size());

    // The positions the converter filled in are exactly those the recording lost.
    const fs::path truthSparse = truth / ("binaryData_" + name + ".sparse");
    const fs::path sparse = converted / ("binaryData_" + name + ".sparse");
    EXPECT_EQ(fs::exists(sparse), fs::exists(truthSparse));
    if (fs::exists(truthSparse)) {
        const std::string lines = readText(truthSparse);
        EXPECT_EQ(readText(sparse), lines);
        summary.filledSamples += countLines(lines, ",1");
    }

    const metaFile meta = readMeta(converted / ("binaryData_" + name + ".meta"));
    EXPECT_EQ(meta.session.at("NumSamples"), std::to_string(expected.size()));
    EXPECT_EQ(meta.session.at("Name"), "\"" + name + "\"");
}

void checkAudio(const fs::path& converted, const fs::path& truth, int32_t sampleRate, sessionSummary& summary) {
    SCOPED_TRACE("audio");
    const std::vector<double> expected = readDoubles(truth / "binaryData_audio.f64");
    SF_INFO info{};
    SNDFILE* wav = sf_open((converted / "completeSensorAudio.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(wav, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, sampleRate);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(expected.size()));
    std::vector<short> samples(expected.size() + 16);
    const sf_count_t got = sf_read_short(wav, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(wav);
    ASSERT_EQ(got, static_cast<sf_count_t>(expected.size()));
    int reported = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (samples[i] == static_cast<short>(expected[i])) {
            ++summary.exactSamples;
        } else if (++reported <= 5) {
            ADD_FAILURE() << "audio sample " << i << ": " << samples[i] << ", expected " << expected[i];
        }
    }
    summary.samples += static_cast<int64_t>(expected.size());
    const fs::path truthSparse = truth / "binaryData_audio.sparse";
    if (fs::exists(truthSparse)) summary.filledSamples += countLines(readText(truthSparse), ",1");
}

// The GPS file is a sequence of records: session time, container timestamp, file
// start time, byte count n, n receiver bytes.
std::vector<uint8_t> receiverBytes(const std::vector<uint8_t>& gpsFile) {
    std::vector<uint8_t> bytes;
    size_t at = 0;
    while (at + 20 <= gpsFile.size()) {
        const uint32_t n = readLE32(gpsFile.data() + at + 16);
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, 254u);
        EXPECT_LE(at + 20 + n, gpsFile.size());
        if (at + 20 + n > gpsFile.size()) break;
        bytes.insert(bytes.end(), gpsFile.begin() + static_cast<std::ptrdiff_t>(at + 20),
                     gpsFile.begin() + static_cast<std::ptrdiff_t>(at + 20 + n));
        at += 20 + n;
    }
    EXPECT_EQ(at, gpsFile.size()) << "a record is cut off";
    return bytes;
}

// Counts the receiver's messages: 0xA0 0xA2, big-endian length, payload, 15-bit sum,
// 0xB0 0xB3. Every byte must belong to a well-formed message.
int countReceiverMessages(const std::vector<uint8_t>& bytes) {
    int messages = 0;
    size_t at = 0;
    while (at < bytes.size()) {
        if (at + 8 > bytes.size() || bytes[at] != 0xA0 || bytes[at + 1] != 0xA2) {
            ADD_FAILURE() << "no message start at receiver byte " << at;
            return messages;
        }
        const size_t length = (static_cast<size_t>(bytes[at + 2]) << 8) | bytes[at + 3];
        if (at + 8 + length > bytes.size()) {
            ADD_FAILURE() << "message at receiver byte " << at << " is cut off";
            return messages;
        }
        uint32_t sum = 0;
        for (size_t i = 0; i < length; ++i) sum += bytes[at + 4 + i];
        const uint32_t stated = (static_cast<uint32_t>(bytes[at + 4 + length]) << 8) | bytes[at + 5 + length];
        EXPECT_EQ(stated, sum & 0x7FFF) << "checksum of the message at receiver byte " << at;
        EXPECT_EQ(bytes[at + 6 + length], 0xB0);
        EXPECT_EQ(bytes[at + 7 + length], 0xB3);
        ++messages;
        at += 8 + length;
    }
    return messages;
}

}  // namespace

namespace {

struct jpegErrorTrap {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void trapJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<jpegErrorTrap*>(cinfo->err)->jump, 1);
}

}  // namespace

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    if (!fs::is_directory(dir)) return names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

bool decodeJpeg(const std::vector<uint8_t>& bytes, int& width, int& height) {
    jpeg_decompress_struct cinfo{};
    jpegErrorTrap trap{};
    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = trapJpegError;
    trap.manager.output_message = [](j_common_ptr) {};
    if (setjmp(trap.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    std::vector<JSAMPLE> row(static_cast<size_t>(cinfo.output_width) * static_cast<size_t>(cinfo.output_components));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_decompress(&cinfo);
    width = static_cast<int>(cinfo.output_width);
    height = static_cast<int>(cinfo.output_height);
    const long warnings = trap.manager.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    return warnings == 0;
}

namespace {

struct truthAnchor {
    int64_t index = 0;
    double unixSeconds = 0.0;
    double driftPpm = 0.0;
};

// The simulator's anchors: (channel short name, file) -> first sample of the file.
std::map<std::pair<std::string, int>, truthAnchor> readTruthAnchors(const fs::path& path) {
    std::map<std::pair<std::string, int>, truthAnchor> anchors;
    std::istringstream lines(readText(path));
    std::string line;
    std::getline(lines, line);  // column names
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, file, index, seconds, rate, drift;
        std::getline(fields, name, ',');
        std::getline(fields, file, ',');
        std::getline(fields, index, ',');
        std::getline(fields, seconds, ',');
        std::getline(fields, rate, ',');
        std::getline(fields, drift, ',');
        anchors[{name, std::stoi(file)}] = {std::stoll(index), std::stod(seconds), std::stod(drift)};
    }
    return anchors;
}

int64_t sampleCountOf(const fs::path& dir, const nlohmann::json& channel) {
    const fs::path file = dir / channel["file"].get<std::string>();
    if (channel["name"] == "audio") {
        SF_INFO info{};
        SNDFILE* wav = sf_open(file.c_str(), SFM_READ, &info);
        if (wav == nullptr) return -1;
        sf_close(wav);
        return info.frames;
    }
    return fs::exists(file) ? static_cast<int64_t>(fs::file_size(file) / 4) : -1;
}

// session.json: valid against its schema; every channel's counts as its files show
// them; every anchor within one sample period of the simulator's truth; every file's
// statistics as binaryData.meta gives them.
void checkSessionSummary(const fs::path& converted, const fs::path& truth, const metaFile& meta,
                         double& worstAnchorPeriods) {
    const fs::path path = converted / "session.json";
    ASSERT_TRUE(fs::exists(path));
    testing_support::expectValidSessionSummaries({path.string()});
    const nlohmann::json summary = nlohmann::json::parse(readText(path));

    const auto truthAnchors = readTruthAnchors(truth / "anchors.csv");
    size_t anchors = 0;
    std::map<std::pair<std::string, int>, double> truthDrift;  // (board, file) -> ppm
    for (const nlohmann::json& channel : summary["channels"]) {
        const std::string name = channel["name"];
        SCOPED_TRACE("channel " + name);
        const int64_t samples = channel["samples"];
        EXPECT_EQ(samples, sampleCountOf(converted, channel));
        int64_t sparseLines = 0;
        if (!channel["sparseFile"].is_null()) sparseLines = countLines(readText(converted / channel["sparseFile"].get<std::string>()), ",1");
        EXPECT_EQ(fs::exists(converted / ("binaryData_" + name + ".sparse")), !channel["sparseFile"].is_null());
        if (name != "audio") {
            EXPECT_EQ(channel["filledSamples"].get<int64_t>(), sparseLines);
        }

        const double rate = channel["rate"];
        for (const nlohmann::json& anchor : channel["anchors"]) {
            const int file = anchor["file"];
            const nlohmann::json& interval = summary["files"][static_cast<size_t>(file)]["clocks"][channel["board"].get<std::string>()]["zeroIntervalMs"];
            const auto expected = truthAnchors.find({name, file});
            if (expected == truthAnchors.end()) {
                ADD_FAILURE() << "anchor in file " << file << " that the truth does not have";
                continue;
            }
            ++anchors;
            truthDrift[{channel["board"].get<std::string>(), file}] = expected->second.driftPpm;
            EXPECT_EQ(anchor["index"].get<int64_t>(), expected->second.index) << "file " << file;
            const double error = std::fabs(anchor["unixSeconds"].get<double>() - expected->second.unixSeconds);
            worstAnchorPeriods = std::max(worstAnchorPeriods, error * rate);
            const double stated = interval.is_null() ? 0.0 : interval.get<double>() / 2000.0 + 1e-6;
            EXPECT_LE(error, std::max(1.0 / rate, stated))
                << "file " << file << ": anchor " << std::fixed << anchor["unixSeconds"].get<double>() << ", truth "
                << expected->second.unixSeconds;
        }
    }
    EXPECT_EQ(anchors, truthAnchors.size()) << "channels and files without an anchor";

    ASSERT_EQ(summary["files"].size(), meta.blocks.size());
    for (size_t i = 0; i < meta.blocks.size(); ++i) {
        const nlohmann::json& file = summary["files"][i];
        const metaBlock& block = meta.blocks[i];
        const auto number = [&](const char* key) { return std::stoll(block.at(key)); };
        EXPECT_EQ(file["reader"]["numParsedPackets"].get<int64_t>(), number("snsr_numParsedPackets"));
        EXPECT_EQ(file["reader"]["numCorruptSections"].get<int64_t>(), number("snsr_numCorruptSections"));
        EXPECT_EQ(file["reader"]["numCorruptBytesSkipped"].get<int64_t>(), number("snsr_numCorruptBytesSkipped"));
        for (const char* board : {"qor2", "jux"}) {
            const nlohmann::json& stats = file["decoder"][board];
            EXPECT_EQ(stats.is_null(), !block.contains(board)) << board;
            if (stats.is_null()) continue;
            const std::string prefix = std::string(board) + "_";
            EXPECT_EQ(stats["crcErrors"].get<int64_t>(), number((prefix + "crcErrors").c_str()));
            EXPECT_EQ(stats["validPackets"].get<int64_t>(), number((prefix + "validPackets").c_str()));
            for (const auto& [channel, count] : stats["received"].items()) {
                EXPECT_EQ(count.get<int64_t>(), number((prefix + "recvieved_" + channel).c_str())) << channel;
            }
            // The board clock's drift as the simulator ran it lies within what the
            // stamps allow.
            const nlohmann::json& range = file["clocks"][board]["driftRangePpm"];
            const auto drift = truthDrift.find({board, static_cast<int>(i)});
            if (!range.is_null() && drift != truthDrift.end()) {
                EXPECT_GE(drift->second, range[0].get<double>() - 0.1) << board << " file " << i;
                EXPECT_LE(drift->second, range[1].get<double>() + 0.1) << board << " file " << i;
            }
        }
        if (block.contains("camera")) {
            EXPECT_EQ(file["decoder"]["images"]["good"].get<int64_t>(), number("camera_numGoodImages"));
            EXPECT_EQ(file["decoder"]["images"]["bad"].get<int64_t>(), number("camera_numBadImages"));
        }
    }
}

}  // namespace

sessionSummary checkSession(const fs::path& converted, const fs::path& truth, bool wholeGpsStream) {
    SCOPED_TRACE("session " + converted.string());
    sessionSummary summary;
    const metaFile expected = readMeta(truth / "expected.meta");

    for (const fs::directory_entry& entry : fs::directory_iterator(truth)) {
        const std::string file = entry.path().filename();
        if (entry.path().extension() != ".f64") continue;
        const std::string name = file.substr(std::string("binaryData_").size(),
                                             file.size() - std::string("binaryData_").size() - 4);
        if (name == "audio") {
            checkAudio(converted, truth, std::stoi(expected.session.at("session_wavSampleRate")), summary);
        } else {
            checkChannel(converted, truth, name, summary);
        }
    }
    if (!fs::exists(truth / "binaryData_audio.f64")) {
        EXPECT_FALSE(fs::exists(converted / "completeSensorAudio.wav"));
    }

    // GPS records byte for byte, and the receiver's stream inside them.
    const fs::path truthGps = truth / "sirfGPSOutput.bin";
    EXPECT_EQ(fs::exists(converted / "sirfGPSOutput.bin"), fs::exists(truthGps));
    if (fs::exists(truthGps)) {
        const std::vector<uint8_t> gps = readBytes(converted / "sirfGPSOutput.bin");
        EXPECT_TRUE(gps == readBytes(truthGps)) << "sirfGPSOutput.bin differs from the truth";
        const std::vector<uint8_t> stream = receiverBytes(gps);
        summary.gpsBytes = static_cast<int64_t>(stream.size());
        if (wholeGpsStream) {
            EXPECT_GT(countReceiverMessages(stream), 0);
        }
    }

    // Images: the same names, the same bytes, and each one a picture libjpeg decodes.
    const std::set<std::string> images = namesIn(converted / "images");
    EXPECT_EQ(images, namesIn(truth / "images"));
    for (const std::string& name : images) {
        const std::vector<uint8_t> bytes = readBytes(converted / "images" / name);
        EXPECT_TRUE(bytes == readBytes(truth / "images" / name)) << "image " << name << " differs";
        int width = 0;
        int height = 0;
        EXPECT_TRUE(decodeJpeg(bytes, width, height)) << "image " << name << " does not decode cleanly";
        EXPECT_GT(width, 0);
        EXPECT_GT(height, 0);
    }
    summary.images = static_cast<int32_t>(images.size());
    EXPECT_EQ(std::to_string(summary.images), expected.session.at("session_images"));

    // Every statistic the truth predicts, file by file.
    const metaFile actual = readMeta(converted / "binaryData.meta");
    EXPECT_EQ(actual.sourceFiles.size(), expected.sourceFiles.size());
    for (size_t i = 0; i < std::min(expected.sourceFiles.size(), actual.sourceFiles.size()); ++i) {
        EXPECT_EQ(fs::path(actual.sourceFiles[i]).filename(), expected.sourceFiles[i]);
    }
    EXPECT_EQ(std::to_string(actual.blocks.size()), expected.session.at("session_files"));
    if (actual.blocks.size() != expected.blocks.size()) {
        ADD_FAILURE() << "binaryData.meta has " << actual.blocks.size() << " file blocks, expected "
                      << expected.blocks.size();
        return summary;
    }
    for (size_t i = 0; i < expected.blocks.size(); ++i) {
        for (const auto& [key, value] : expected.blocks[i]) {
            const auto found = actual.blocks[i].find(key);
            if (found == actual.blocks[i].end()) {
                ADD_FAILURE() << "file " << i + 1 << ": no " << key << " in binaryData.meta";
            } else {
                EXPECT_EQ(found->second, value) << "file " << i + 1 << ": " << key;
            }
        }
        const auto bad = expected.blocks[i].find("camera_numBadImages");
        if (bad != expected.blocks[i].end()) summary.badImages += std::stoi(bad->second);
    }
    checkSessionSummary(converted, truth, actual, summary.worstAnchorPeriods);
    return summary;
}

}  // namespace sensconv::roundtrip
