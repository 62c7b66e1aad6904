// Odd names, long paths and very large files through the real program.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "common/sanitizers.h"
#include "hardeningSupport.h"

namespace sensconv::hardening {
namespace {

bool existsAnywhereBelow(const std::string& root, const std::string& name) {
    std::vector<std::string> stack = {root};
    while (!stack.empty()) {
        const std::string dir = stack.back();
        stack.pop_back();
        DIR* handle = ::opendir(dir.c_str());
        if (handle == nullptr) continue;
        while (const dirent* entry = ::readdir(handle)) {
            const std::string entryName = entry->d_name;
            if (entryName == "." || entryName == "..") continue;
            if (entryName == name) {
                ::closedir(handle);
                return true;
            }
            if (entry->d_type == DT_DIR) stack.push_back(dir + "/" + entryName);
        }
        ::closedir(handle);
    }
    return false;
}

// Newlines, quotes, blanks, backslashes, command substitutions, characters beyond
// ASCII and bytes that are not UTF-8 are just bytes of a name: a file given on the
// command line and a scan keep such a name whole, and nothing is run.
TEST(hostileInputTest, NamesWithNewlinesQuotesAndInvalidBytesStayWhole) {
    scratchDirectory dir;
    const std::string data = dir / "in\nput $(touch pwned1) ; & | \xc3\xa9\xe2\x82\xac";
    ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
    const std::string name = "rec\n'\"`touch pwned2` \xff\xfe\x80 $(touch pwned3) \\ \xe6\x97\xa5.snsr";
    ASSERT_TRUE(recording().writeFile(data + "/" + name));
    const std::string out = dir / "out\n\xc3(\"'$(touch pwned4)\\";

    // Given on the command line, the output goes next to it.
    programRun run = runProgram({data + "/" + name});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fileSizeOf(data + "/part_00/binaryData_accel.bin"), 40 * 4);
    EXPECT_EQ(run.out, "");

    run = runProgram({"-scandir", data, "-outputdir", out, "-writeTraceLog"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("# INFO: Found   1 .snsr files in directory\n"
                                     "\n# INFO: ------------------\n"
                                     "# INFO: Scanning files to remove obviously bad files\n"
                                     "# INFO: File [  1]            Opened, \"" + data + "/" + name + "\"\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(fileSizeOf(out + "/part_00/binaryData_accel.bin"), 40 * 4);
    EXPECT_NE(readWhole(out + "/part_00/binaryData.meta").find("\"sourceFile\",\"" + data + "/" + name + "\"\n"),
              std::string::npos);
    EXPECT_EQ(readWhole(out + "/trace.log"),
              "\"" + data + "/" + name + "\",0,\"completed\",\"" + out + "/part_00\"\r\n");
    EXPECT_EQ(run.out, "");
    for (const char* stray : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
        EXPECT_FALSE(existsAnywhereBelow(dir.path(), stray)) << stray;
        EXPECT_FALSE(fileExists(stray)) << stray;
    }
}

// Creates the nested directories of relative under base one level at a time, so that
// the whole path may be longer than the system takes in one piece; returns a
// descriptor of the deepest one.
int makeNestedDirectories(const std::string& base, const std::vector<std::string>& levels) {
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    for (const std::string& level : levels) {
        if (fd < 0 || (::mkdirat(fd, level.c_str(), 0700) != 0 && errno != EEXIST)) return -1;
        const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    return fd;
}

bool writeFileAt(int dirFd, const std::string& name, const std::vector<uint8_t>& bytes) {
    const int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && written;
}

TEST(hostileInputTest, LongNamesAndPaths) {
    scratchDirectory dir;
    // A name of the longest length a directory entry takes.
    const std::string longName = std::string(250, 'n') + ".snsr";
    ASSERT_TRUE(recording().writeFile(dir / longName));
    programRun run = runProgram({dir / longName});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fileSizeOf(dir / "part_00/binaryData_accel.bin"), 40 * 4);

    // An output directory of some 2,000 characters: the system takes it, so every
    // output file is written, the WAV file too.
    std::vector<std::string> levels;
    std::string deep;
    for (int i = 0; i < 8; ++i) {
        levels.push_back(std::string(240, static_cast<char>('a' + i)));
        deep += levels.back() + "/";
    }
    run = runProgram({"-outputdir", dir / deep, dir / longName});
    EXPECT_EQ(run.status, 0) << run.problemLines();
    EXPECT_GT(fileSizeOf(dir / (deep + "part_00/completeSensorAudio.wav")), 40 * 63 * 2);
    EXPECT_EQ(fileSizeOf(dir / (deep + "part_00/binaryData_accel.bin")), 40 * 4);

    // An input whose path is longer than the system takes: screening cannot open it.
    for (int i = 8; i < 18; ++i) levels.push_back(std::string(240, static_cast<char>('a' + i)));
    const int fd = makeNestedDirectories(dir.path(), levels);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeFileAt(fd, "x.snsr", recording().bytes()));
    ::close(fd);
    std::string tooLong;
    for (const std::string& level : levels) tooLong += level + "/";
    tooLong += "x.snsr";
    ASSERT_GT(tooLong.size(), 4096u);
    run = runProgram({"-outputdir", "out", tooLong}, dir.path());
    EXPECT_EQ(run.status, 254);
    EXPECT_NE(run.err.find("# INFO: File [  1]   Unable to open!, \"" + tooLong + "\"\n"), std::string::npos);
    EXPECT_EQ(run.problemLines(), "# ERROR: There are no SNSR Files to parse\n# ERROR: Exiting\n");

    // An output directory longer than the system takes (and than any fixed buffer would
    // have held): the directory is reported, and the first output file that cannot be
    // created ends the run with its own message.
    std::string tooDeep;
    for (int i = 0; i < 18; ++i) tooDeep += std::string(240, static_cast<char>('A' + i)) + "/";
    run = runProgram({"-outputdir", tooDeep, dir / longName}, dir.path());
    EXPECT_EQ(run.status, 248);  // the WAV file is the first one the session opens
    EXPECT_NE(run.err.find("# WARNING: Unable to create directory " + tooDeep + "part_00 (File name too long)\n"),
              std::string::npos)
        << run.problemLines();
    EXPECT_NE(run.err.find("# ERROR: Unable to open the .wav file " + tooDeep), std::string::npos);
    EXPECT_TRUE(run.err.ends_with("# ERROR: Exiting\n"));
}

// Files beyond 4 GiB are screened by their full size: one of 4 GiB and 512 bytes is
// not "Too small!" (its size does not wrap to 512). Sparse, so it costs no disk.
TEST(hostileInputTest, FileBeyondFourGibibytesIsScreenedByItsFullSize) {
    scratchDirectory dir;
    const std::string path = dir / "huge.snsr";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, (off_t{1} << 32) + 512), 0);
    ::close(fd);
    const programRun run = runProgram({path});
    EXPECT_EQ(run.status, 255);
    EXPECT_NE(run.err.find("# INFO: File [  1]            Opened, \"" + path + "\"\n"), std::string::npos);
    EXPECT_EQ(run.problemLines(), "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n"
                                  "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n"
                                  "# ERROR: packetReader was unable to process file " + path + "\n"
                                  "# ERROR: Exiting\n");
}

// A recording of just over 2 GiB: a header, then a sparse hole whose zero bytes read
// as empty packets, then damage and one more packet. Offsets beyond 2^31 print in
// full and the statistics count every packet. Reading 2 GiB takes some 20 seconds,
// several minutes under the sanitizers, where it is left out.
TEST(hostileInputTest, RecordingBeyondTwoGibibytesIsReadWithFullOffsets) {
    if (testing_support::sanitizedBuild) GTEST_SKIP() << "reading 2 GiB under the sanitizers takes minutes";
    scratchDirectory dir;
    const std::string path = dir / "big.snsr";
    const int64_t holeEnd = int64_t{2049} << 20;
    recordingPlan headerOnly = everyStream();
    headerOnly.seconds = headerOnly.micHz = 0;
    headerOnly.jux = headerOnly.gps = false;
    headerOnly.images.clear();
    containerBuilder builder = recording(headerOnly);
    // Pad the header so that the empty packets end exactly where the hole does.
    const auto bare = static_cast<int64_t>(builder.headerBytes().size());
    builder.addTextAtom("pad ", std::string(static_cast<size_t>((holeEnd - bare - 9) % 10), 'p'));
    const auto headerSize = static_cast<int64_t>(builder.headerBytes().size());
    ASSERT_EQ((holeEnd - headerSize) % 10, 0);
    ASSERT_TRUE(builder.writeFile(path));
    {
        std::vector<uint8_t> tail = {0xFF, 0xFF, 0xFF};
        containerBuilder::appendFrame(tail, 1, 5, boardPacketBuilder::qor2Audio(0, 0, {}));
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(holeEnd)), static_cast<ssize_t>(tail.size()));
        ::close(fd);
    }
    const int64_t emptyPackets = (holeEnd - headerSize) / 10;

    runOptions patient;
    patient.timeoutSeconds = 600;
    const programRun run = runProgram({path}, "", patient);
    EXPECT_EQ(run.status, 0) << run.problemLines();
    EXPECT_NE(run.err.find("# INFO: File [  1]            Opened, \"" + path + "\"\n"), std::string::npos);
    const std::string at = std::to_string(holeEnd);
    EXPECT_EQ(run.problemLines(),
              "# snsr_packetReader: WARNING - file index " + at + ", SNSR Packet's ID is invalid\n"
              "# snsr_packetReader: SNSR Error mode, looking for new snsr packet, start pos: " +
                  std::to_string(holeEnd + 1) + " packet:\n"
              "# snsr_packetReader: SNSR Error mode, found new snsr packet, at pos: " + std::to_string(holeEnd + 3) +
                  " (2 bytes skipped)\n");
    const std::string meta = readWhole(dir / "part_00/binaryData.meta");
    EXPECT_NE(meta.find("\"snsr_numParsedPackets\"," + std::to_string(emptyPackets + 1) + "\n"
                        "\"snsr_numCorruptSections\",1\n"
                        "\"snsr_numCorruptBytesSkipped\",2\n"
                        "\"snsr_firstSNSRTimestamp\",0\n"
                        "\"snsr_lastSNSRTimestamp\",5\n"),
              std::string::npos)
        << meta;
    EXPECT_NE(meta.find("\"snsr_streamCounts_QOR\"," + std::to_string(emptyPackets) + "\n"
                        "\"snsr_streamCounts_QOR2\",1\n"),
              std::string::npos)
        << meta;
}

}  // namespace
}  // namespace sensconv::hardening
