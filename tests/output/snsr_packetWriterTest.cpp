#include <gtest/gtest.h>

#include <sndfile.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/littleEndian.h"
#include "common/runStatus.h"
#include "container/snsrHeader.h"
#include "decode/decodeTestSupport.h"
#include "decode/sensorDecoder.h"
#include "output/snsr_packetWriter_class.h"
#include "outputTestSupport.h"

namespace sensconv {
namespace {

using namespace sensconv::testing;

using outputTest::fileExists;
using outputTest::readWhole;
using outputTest::scratchDirectory;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// What one input file of a test session carries.
struct fileSetup {
    std::string name = "in.snsr";
    bool qor2 = true;
    int32_t micHz = 0;
    int32_t qor2Serial = 1001;
    bool jux = false;
    int32_t juxSerial = 2001;
    bool gps = false;
};

// A header as the reader would deliver it, and the decoder built from it.
struct inputFile {
    explicit inputFile(const fileSetup& setup) : header(std::make_unique<snsrHeader>()) {
        header->file_name = setup.name;
        header->fileStartTime = 1230000000000ULL;
        if (setup.qor2) {
            header->streams.push_back(streamOf("qor2", 1, {intAtom("intr", 1000), intAtom("mic ", setup.micHz),
                                                          intAtom("bar ", 10), intAtom("acc ", 10),
                                                          intAtom("bdnr", setup.qor2Serial), intAtom("hver", 2),
                                                          intAtom("swma", 3), intAtom("swmi", 4)}));
        }
        if (setup.jux) {
            header->streams.push_back(streamOf("jux ", 2, {intAtom("intr", 1000), intAtom("gyro", 10),
                                                         intAtom("mag ", 10), intAtom("bdnr", setup.juxSerial),
                                                         intAtom("hver", 5), intAtom("swma", 6), intAtom("swmi", 7)}));
        }
        if (setup.gps) header->streams.push_back(streamOf("sgps", 3));
        header->num_streams = static_cast<int32_t>(header->streams.size());
        decoder = std::make_unique<sensorDecoder>(header.get());
    }

    std::unique_ptr<snsrHeader> header;
    std::unique_ptr<sensorDecoder> decoder;
};

// One input file through the writer, in the driver's order; body plays the packets,
// and the file's report gives its statistics.
void runFile(snsr_packetWriter_class& writer, const std::string& dir, const fileSetup& setup,
             const std::function<void(sensorDecoder&)>& body = {}, const fileReport& report = {}) {
    inputFile file(setup);
    ASSERT_TRUE(writer.beginFile(dir, file.decoder->view()).ok());
    if (body) body(*file.decoder);
    writer.endFile(report);
}

fileReport withStatistics(const std::string& key, const std::string& value, int times = 1) {
    fileReport report;
    for (int i = 0; i < times; ++i) appendMeta(report.statisticsKeys, report.statisticsValues, key, value);
    return report;
}

// The writer takes a packet's output, which the decoder empties when its next packet begins.
void writeAndAdvance(snsr_packetWriter_class& writer, sensorDecoder& decoder) {
    writer.writePacket();
    // A packet of no stream empties what the last one left, as the next packet would.
    ASSERT_TRUE(decoder.processPacket(snsrPacket{}).ok());
}

// A packet's values for one channel, placed in the board's batch as its decoder leaves
// them and handed to the channel as the decoder does (the channel's batch may point
// into the board's batch until the writer runs).
void addSamples(sensorDecoder& decoder, int channel, const std::vector<double>& values, int64_t ticks) {
    sensorDecoderTestDoor::qor2Batch(decoder).clear();
    for (double value : values) sensorDecoderTestDoor::qor2Batch(decoder).append(channel, value);
    sensorDecoderTestDoor::qor2Clock(decoder).fileTime = ticks;
    ASSERT_TRUE(decoder.addQor2Values(0).ok());
}

void addJuxSamples(sensorDecoder& decoder, int channel, const std::vector<double>& values, int64_t ticks) {
    sensorDecoderTestDoor::juxBatch(decoder).clear();
    for (double value : values) sensorDecoderTestDoor::juxBatch(decoder).append(channel, value);
    sensorDecoderTestDoor::juxClock(decoder).fileTime = ticks;
    ASSERT_TRUE(decoder.addJuxValues(0).ok());
}

// An audio packet's words as the board sends them (little-endian, offset by 32768).
void addAudioWords(sensorDecoder& decoder, const std::vector<uint16_t>& words, int64_t ticks) {
    std::vector<uint8_t> bytes;
    for (const uint16_t word : words) bytes.insert(bytes.end(), {uint8_t(word & 0xFF), uint8_t(word >> 8)});
    sensorDecoderTestDoor::qor2Batch(decoder).clear();
    sensorDecoderTestDoor::qor2Batch(decoder).appendOffsetWords(qor2Audio, static_cast<int32_t>(words.size()), bytes.data());
    sensorDecoderTestDoor::qor2Clock(decoder).fileTime = ticks;
    ASSERT_TRUE(decoder.addQor2Values(0).ok());
}

void putGpsRecord(sensorDecoder& decoder, const std::string& bytes) {
    if (sensorDecoderTestDoor::gpsRecord(decoder).bytes.size() < bytes.size()) sensorDecoderTestDoor::gpsRecord(decoder).bytes.resize(bytes.size());
    std::copy(bytes.begin(), bytes.end(), sensorDecoderTestDoor::gpsRecord(decoder).bytes.begin());
    sensorDecoderTestDoor::gpsRecord(decoder).length = static_cast<int32_t>(bytes.size());
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string floats(std::initializer_list<float> values) {
    std::string bytes;
    for (float value : values) {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, 4);
        uint8_t raw[4];
        writeLE32(raw, bits);
        bytes.append(reinterpret_cast<const char*>(raw), 4);
    }
    return bytes;
}

TEST(snsr_packetWriterTest, GlobalMetaHoldsSourcesFirstFileIdentityDatesAndFileBlocks) {
    scratchDirectory dir;
    runStatus run;
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    {
        snsr_packetWriter_class writer(run);
        fileSetup first;
        first.name = "/data/a.snsr";
        first.qor2Serial = 1234;
        runFile(writer, dir.path(), first, {}, withStatistics("snsr_numStreams", "1"));
        // The second board turns up only in the second file, the main board with a new serial.
        fileSetup second;
        second.name = "/data/b.snsr";
        second.qor2Serial = 9999;
        second.jux = true;
        runFile(writer, dir.path(), second, {}, withStatistics("qor2_expected_BarPres", "12.500000"));
        EXPECT_TRUE(writer.finish());
    }
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    const auto lines = linesOf(readWhole(dir.file("binaryData.meta")));
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[0], "\"sourceFile\",\"/data/a.snsr\"");
    EXPECT_EQ(lines[1], "\"sourceFile\",\"/data/b.snsr\"");
    EXPECT_EQ(lines[2], "\"qor2_deviceSN\",1234");
    EXPECT_EQ(lines[3], "\"qor2_hardware_version\",2");
    EXPECT_EQ(lines[4], "\"qor2_major_soft_version\",3");
    EXPECT_EQ(lines[5], "\"qor2_minor_soft_version\",4");

    const std::regex dateNumber("^\"processingDate(Start|End)\",([0-9]+)$");
    const std::regex dateText("^\"processingDate(Start|End)String\",\"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
                              "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\"$");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[6], match, dateNumber)) << lines[6];
    EXPECT_EQ(match[1], "Start");
    const int64_t start = std::stoll(match[2]);
    EXPECT_TRUE(before <= start && start <= after);
    EXPECT_TRUE(std::regex_match(lines[7], dateText)) << lines[7];
    EXPECT_EQ(lines[7].find("Start"), 15u);
    ASSERT_TRUE(std::regex_match(lines[8], match, dateNumber)) << lines[8];
    EXPECT_EQ(match[1], "End");
    EXPECT_GE(std::stoll(match[2]), start);
    EXPECT_TRUE(std::regex_match(lines[9], dateText)) << lines[9];
    EXPECT_EQ(lines[9].find("End"), 15u);
    EXPECT_TRUE(std::regex_match(lines[10], std::regex("^\"createdBy\",\"Created by snsr_packetWriter_class \\(Linux\\), "
                                                       "compiled on [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at "
                                                       "[0-9]{2}:[0-9]{2}:[0-9]{2}\"$")))
        << lines[10];

    const std::vector<std::string> blocks = {
        "\"#FileStart\",01", "\"snsr_numStreams\",1",          "\"#FileEnd\",01",
        "\"#FileStart\",02", "\"qor2_expected_BarPres\",12.500000", "\"#FileEnd\",02"};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 11, lines.end()), blocks);
}

TEST(snsr_packetWriterTest, SecondBoardIdentityIsWrittenWhenTheFirstFileHasIt) {
    scratchDirectory dir;
    runStatus run;
    {
        snsr_packetWriter_class writer(run);
        fileSetup both;
        both.jux = true;
        both.juxSerial = 77;
        runFile(writer, dir.path(), both);
        EXPECT_TRUE(writer.finish());
    }
    const std::string meta = readWhole(dir.file("binaryData.meta"));
    EXPECT_NE(meta.find("\"qor2_minor_soft_version\",4\n\"jux_deviceSN\",77\n\"jux_hardware_version\",5\n"
                        "\"jux_major_soft_version\",6\n\"jux_minor_soft_version\",7\n\"processingDateStart\","),
              std::string::npos)
        << meta;
}

TEST(snsr_packetWriterTest, FilesAreNumberedWithTwoDigitsAndWiderPastNinetyNine) {
    scratchDirectory dir;
    runStatus run;
    const std::string withoutSeparator = dir.path().substr(0, dir.path().size() - 1);
    {
        snsr_packetWriter_class writer(run);
        fileSetup noBoards;
        noBoards.qor2 = false;
        for (int file = 1; file <= 100; ++file) {
            // Both forms of the directory name the same place.
            runFile(writer, file % 2 ? dir.path() : withoutSeparator, noBoards);
        }
        EXPECT_TRUE(writer.finish());
    }
    // Every file's markers, in order, after the session's own lines.
    std::string markers;
    for (int file = 1; file <= 100; ++file) {
        const std::string number = file < 10 ? "0" + std::to_string(file) : std::to_string(file);
        markers += "\"#FileStart\"," + number + "\n\"#FileEnd\"," + number + "\n";
    }
    const std::string meta = readWhole(dir.file("binaryData.meta"));
    EXPECT_TRUE(meta.ends_with("\n" + markers)) << meta;
    // Without boards there is nothing but the global metadata.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
        EXPECT_EQ(entry.path().filename(), "binaryData.meta");
    }
    EXPECT_EQ(entries, 1);
}

TEST(snsr_packetWriterTest, SessionWithoutBegunFilesWritesNoGlobalMeta) {
    scratchDirectory dir;
    runStatus run;
    {
        snsr_packetWriter_class writer(run);
        EXPECT_TRUE(writer.finish());
    }
    EXPECT_FALSE(fileExists(dir.file("binaryData.meta")));
}

TEST(snsr_packetWriterTest, WriterThatIsNotFinishedLeavesItsFilesWithoutGlobalMeta) {
    scratchDirectory dir;
    runStatus run;
    {
        snsr_packetWriter_class writer(run);
        runFile(writer, dir.path(), fileSetup{}, [&](sensorDecoder& decoder) {
            addSamples(decoder, qor2BarPress, {1.0}, 0);
            writeAndAdvance(writer, decoder);
        });
    }
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.bin")), floats({1.0f}));
    EXPECT_FALSE(fileExists(dir.file("binaryData.meta")));
    EXPECT_EQ(run.filesFailed(), 0);
}

TEST(snsr_packetWriterTest, ChannelsSpanTheSessionAndSkipFilesWithoutTheirBoard) {
    scratchDirectory dir;
    runStatus run;
    {
        snsr_packetWriter_class writer(run);
        fileSetup both;
        both.jux = true;
        runFile(writer, dir.path(), both, [&](sensorDecoder& decoder) {
            addSamples(decoder, qor2BarPress, {1.0}, 0);
            addJuxSamples(decoder, juxXGyro, {-1.0, -2.0}, 0);
            writeAndAdvance(writer, decoder);
            addSamples(decoder, qor2BarPress, {2.0}, 100);
            writeAndAdvance(writer, decoder);
        });
        runFile(writer, dir.path(), fileSetup{}, [&](sensorDecoder& decoder) {
            addSamples(decoder, qor2BarPress, {3.0}, 0);
            writeAndAdvance(writer, decoder);
        });
        runFile(writer, dir.path(), both, [&](sensorDecoder& decoder) {
            addJuxSamples(decoder, juxXGyro, {-3.0}, 0);
            writeAndAdvance(writer, decoder);
        });
        EXPECT_TRUE(writer.finish());
    }
    EXPECT_EQ(readWhole(dir.file("binaryData_BarPres.bin")), floats({1.0f, 2.0f, 3.0f}));
    EXPECT_EQ(readWhole(dir.file("binaryData_gyro.bin")), floats({-1.0f, -2.0f, -3.0f}));
    EXPECT_EQ(readWhole(dir.file("binaryData_gyro.meta")).substr(0, 15), "\"NumSamples\",3\n");
    // Every table channel gets its files, except the audio, which goes to the WAV file.
    for (const auto& info : qor2ChannelTable) {
        const std::string name = info.shortName;
        EXPECT_EQ(fileExists(dir.file("binaryData_" + name + ".bin")), name != "audio") << name;
        EXPECT_EQ(fileExists(dir.file("binaryData_" + name + ".meta")), name != "audio") << name;
    }
    for (const auto& info : juxChannelTable) {
        EXPECT_TRUE(fileExists(dir.file(std::string("binaryData_") + info.shortName + ".bin"))) << info.shortName;
    }
    EXPECT_FALSE(fileExists(dir.file("completeSensorAudio.wav"))) << "no audio rate, no WAV file";
}

TEST(snsr_packetWriterTest, GpsRecordsNeedTheMainBoardToOpenTheirFile) {
    const std::string recordA = "\x01\x02\x03";
    const std::string recordB = std::string("\x00\x10", 2);
    const std::string recordC = "GPS";
    {
        // The GPS stream alone never opens the file.
        scratchDirectory dir;
        runStatus run;
        {
            snsr_packetWriter_class writer(run);
            fileSetup gpsOnly;
            gpsOnly.qor2 = false;
            gpsOnly.gps = true;
            runFile(writer, dir.path(), gpsOnly, [&](sensorDecoder& decoder) {
                putGpsRecord(decoder, recordA);
                writeAndAdvance(writer, decoder);
            });
            EXPECT_TRUE(writer.finish());
        }
        EXPECT_FALSE(fileExists(dir.file("sirfGPSOutput.bin")));
    }
    {
        // Opened by a file with both; a later file with GPS alone appends to it.
        scratchDirectory dir;
        runStatus run;
        {
            snsr_packetWriter_class writer(run);
            fileSetup both;
            both.gps = true;
            runFile(writer, dir.path(), both, [&](sensorDecoder& decoder) {
                putGpsRecord(decoder, recordA);
                writeAndAdvance(writer, decoder);
                writeAndAdvance(writer, decoder);  // an empty record adds nothing
                putGpsRecord(decoder, recordB);
                writeAndAdvance(writer, decoder);
            });
            fileSetup gpsOnly;
            gpsOnly.qor2 = false;
            gpsOnly.gps = true;
            runFile(writer, dir.path(), gpsOnly, [&](sensorDecoder& decoder) {
                putGpsRecord(decoder, recordC);
                writeAndAdvance(writer, decoder);
            });
            EXPECT_TRUE(writer.finish());
        }
        EXPECT_EQ(readWhole(dir.file("sirfGPSOutput.bin")), recordA + recordB + recordC);
    }
}

std::vector<int16_t> readWavSamples(const std::string& path, int& sampleRate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::vector<int16_t> samples(static_cast<size_t>(info.frames));
    sf_read_short(file, samples.data(), info.frames);
    sf_close(file);
    sampleRate = info.samplerate;
    return samples;
}

TEST(snsr_packetWriterTest, AudioGoesToOneWavFileFromTheFirstFileWithARate) {
    scratchDirectory dir;
    runStatus run;
    {
        snsr_packetWriter_class writer(run);
        runFile(writer, dir.path(), fileSetup{});  // audio rate 0: no WAV file yet
        EXPECT_FALSE(fileExists(dir.file("completeSensorAudio.wav")));

        // Low rates keep the decoder from filling gaps in this short audio.
        fileSetup at8k;
        at8k.micHz = 8;
        runFile(writer, dir.path(), at8k, [&](sensorDecoder& decoder) {
            addSamples(decoder, qor2Audio, {40000.0, -1.7, 3.0}, 0);
            writeAndAdvance(writer, decoder);
            // The board's words come in 16 bits already; after a gap (0.08 samples a
            // tick: 16.08 due by tick 200, 6 there) nine copies of the last one fill it.
            addAudioWords(decoder, {0x0001, 0xFFFF}, 10);
            writeAndAdvance(writer, decoder);
            CaptureStderr();
            addAudioWords(decoder, {0x8005}, 200);
            EXPECT_EQ(GetCapturedStderr(), "# WARNING: Packet      0, Filling   9 missing samples for field qor2/audio\n");
            writeAndAdvance(writer, decoder);
        });
        // A later file at another rate adds to the same file.
        fileSetup at16k;
        at16k.micHz = 16;
        runFile(writer, dir.path(), at16k, [&](sensorDecoder& decoder) {
            addSamples(decoder, qor2Audio, {7.9, -32768.0}, 0);
            writeAndAdvance(writer, decoder);
        });
        // A file without the main board contributes nothing and reads nothing.
        fileSetup noBoards;
        noBoards.qor2 = false;
        noBoards.jux = true;
        runFile(writer, dir.path(), noBoards, [&](sensorDecoder& decoder) { writeAndAdvance(writer, decoder); });
        EXPECT_TRUE(writer.finish());
    }
    int sampleRate = 0;
    EXPECT_EQ(readWavSamples(dir.file("completeSensorAudio.wav"), sampleRate),
              (std::vector<int16_t>{-25536, -1, 3, -32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
                                    32767, 32767, 5, 7, -32768}));
    EXPECT_EQ(sampleRate, 8);
}

TEST(snsr_packetWriterTest, SessionFileThatCannotBeCreatedIsFatal) {
    scratchDirectory dir;
    runStatus run;
    const auto begin = [&](const fileSetup& setup) {
        snsr_packetWriter_class writer(run);
        inputFile file(setup);
        CaptureStderr();
        outcome begun = writer.beginFile(dir.path(), file.decoder->view());
        // The lines are the caller's to print.
        EXPECT_EQ(GetCapturedStderr(), "");
        return begun;
    };
    std::filesystem::create_directory(dir.file("sirfGPSOutput.bin"));
    fileSetup both;
    both.gps = true;
    const outcome gps = begin(both);
    EXPECT_EQ(processStatus(gps.status()), -1);
    EXPECT_EQ(gps.lines(), "# snsr_packetWriter: ERROR, unable to open sirfGPSOutput.bin\n");
    EXPECT_STREQ(gps.closingLine(), "# snsr_packetWriter: ERROR, Exiting\n");

    std::filesystem::create_directory(dir.file("completeSensorAudio.wav"));
    fileSetup withAudio;
    withAudio.micHz = 8000;
    const outcome wav = begin(withAudio);
    EXPECT_EQ(processStatus(wav.status()), -8);
    EXPECT_EQ(wav.lines(), "# ERROR: Unable to open the .wav file " + dir.path() +
                               "completeSensorAudio.wav\n# ERROR:  libsndfile: System error : Is a directory.\n");
    EXPECT_STREQ(wav.closingLine(), "# ERROR: Exiting\n");
    // The WAV file comes first: no channel file was made.
    EXPECT_FALSE(fileExists(dir.file("binaryData_BarPres.bin")));
}

TEST(snsr_packetWriterTest, GlobalMetaThatCannotBeCreatedIsReportedAndCountsAsLost) {
    scratchDirectory dir;
    runStatus run;
    std::filesystem::create_directory(dir.file("binaryData.meta"));
    CaptureStderr();
    {
        snsr_packetWriter_class writer(run);
        fileSetup noBoards;
        noBoards.qor2 = false;
        runFile(writer, dir.path(), noBoards);
        EXPECT_FALSE(writer.finish());
    }
    EXPECT_EQ(GetCapturedStderr(), "# ERROR: Unable to write global meta data to: " + dir.path() + "binaryData.meta\n");
    EXPECT_EQ(run.filesFailed(), 1);
}

TEST(snsr_packetWriterTest, FilesCutShortByAFullDiskAreReportedOnceEach) {
    scratchDirectory dir;
    runStatus run;
    CaptureStderr();
    {
        const outputTest::fileSizeLimit limit(2000);
        snsr_packetWriter_class writer(run);
        fileSetup both;
        both.gps = true;
        runFile(writer, dir.path(), both, [&](sensorDecoder& decoder) {
            const std::string record(300, 'g');
            for (int packet = 0; packet < 20; ++packet) {
                putGpsRecord(decoder, record);
                writeAndAdvance(writer, decoder);
            }
        },
        // Enough statistics to take binaryData.meta past the limit.
        withStatistics("snsr_padding", "0123456789", 200));
        EXPECT_FALSE(writer.finish());
    }
    EXPECT_EQ(GetCapturedStderr(), "# ERROR: Unable to write output file " + dir.path() +
                                       "sirfGPSOutput.bin (File too large)\n# ERROR: Unable to write output file " +
                                       dir.path() + "binaryData.meta (File too large)\n");
    EXPECT_EQ(run.filesFailed(), 2);
    EXPECT_EQ(outputTest::fileSizeOf(dir.file("sirfGPSOutput.bin")), 2000);
}

}  // namespace
}  // namespace sensconv
