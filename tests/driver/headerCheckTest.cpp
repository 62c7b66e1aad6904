#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "container/containerBuilder.h"
#include "driver/driverTestSupport.h"
#include "driver/headerCheck.h"

namespace sensconv {
namespace {

using namespace testing_support;

metaDataAtom atom(const char (&tag)[5], char type, std::vector<uint8_t> data) {
    metaDataAtom a;
    a.id = makeTag(tag);
    a.type = type;
    a.size = static_cast<uint32_t>(data.size());
    a.data = std::move(data);
    return a;
}

metaDataAtom intAtom(const char (&tag)[5], int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    return atom(tag, 'i', {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                           static_cast<uint8_t>(v >> 24)});
}

snsrStream stream(const char (&tag)[5], uint32_t ver, uint32_t len, std::vector<metaDataAtom> atoms) {
    snsrStream s;
    s.id = makeTag(tag);
    s.type = streamTypeOfTag(s.id, len);
    s.ver = ver;
    s.len = len;
    s.num_atoms = static_cast<int32_t>(atoms.size());
    s.atoms = std::move(atoms);
    s._active = 1;
    return s;
}

// A recording with header atoms and a main-board, GPS and camera stream.
snsrHeader recording() {
    snsrHeader h;
    h.atoms = {intAtom("wd01", 5), atom("name", 'c', {'A', 'B'})};
    h.num_atoms = 2;
    h.streams = {stream("qor2", 3, 40, {intAtom("intr", 1000), intAtom("bar ", 100)}), stream("sgps", 1, 0, {}),
                 stream("cams", 2, 0, {atom("mode", 'c', {'j'})})};
    h.num_streams = 3;
    return h;
}

const std::string prefix = "# ERROR: File   2 ";

std::string compared(const snsrHeader& a, const snsrHeader& b, bool& result) {
    return capturedStderr([&] { result = compareHeaders(a, b, prefix); });
}

TEST(headerCheckTest, HeadersThatDifferOnlyInUncomparedFieldsAgree) {
    snsrHeader other = recording();
    other.fileStartTime = 123;
    other.streams[0].len = 99;
    other.streams[0].packet_id = 7;
    other.streams[0]._active = 0;
    other.atoms[1].data = {'A', 'Z', 'Z'};  // character atoms compare by their first byte
    other.atoms[1].size = 3;
    bool result = false;
    EXPECT_EQ(compared(recording(), other, result), "");
    EXPECT_TRUE(result);
}

TEST(headerCheckTest, DifferentCountsAreReportedAndFail) {
    snsrHeader other = recording();
    other.streams.pop_back();
    other.num_streams = 2;
    bool result = true;
    EXPECT_EQ(compared(recording(), other, result),
              prefix + " SNSR Header's meta data fields are not equal!\n" +
              prefix + " SNSR Header->num_streams   3 vs   2\n" +
              prefix + " SNSR Header->num_atoms     2 vs   2\n");
    EXPECT_FALSE(result);
}

TEST(headerCheckTest, HeaderAtomValuesAreReportedButDoNotFail) {
    snsrHeader other = recording();
    other.atoms[0] = intAtom("wd01", 6);
    other.atoms[1].type = 'x';
    snsrHeader first = recording();
    first.atoms[1].type = 'x';  // an unknown type never compares equal, even with itself
    bool result = false;
    EXPECT_EQ(compared(first, other, result),
              prefix + " meta data fields are not equal for snsr header meta data\n" +
              prefix + " meta data character field's are not equal 5 vs 6\n" +
              prefix + " unknown meta data type for snsr header meta data\n");
    EXPECT_TRUE(result);
}

TEST(headerCheckTest, StreamLayoutDifferenceFailsWithSevenLines) {
    snsrHeader other = recording();
    other.streams[0].ver = 4;
    other.streams[0].len = 41;
    bool result = true;
    EXPECT_EQ(compared(recording(), other, result),
              prefix + " SNSR Header's meta data fields are not equal!\n" +
              prefix + " SNSR Header->Stream QOR2 type            QOR2 vs       QOR2d\n" +
              prefix + " SNSR Header->Stream QOR2 id        0x32726F71 vs 0x32726F71\n" +
              prefix + " SNSR Header->Stream QOR2 ver                3 vs          4\n" +
              prefix + " SNSR Header->Stream QOR2 len               40 vs         41\n" +
              prefix + " SNSR Header->Stream QOR2 num_atoms          2 vs          2\n" +
              prefix + " SNSR Header->Stream QOR2 _active            1 vs          1\n");
    EXPECT_FALSE(result);

    snsrHeader swapped = recording();
    std::swap(swapped.streams[1], swapped.streams[2]);
    EXPECT_NE(compared(recording(), swapped, result).find(
                  prefix + " SNSR Header->Stream SIRF_GPS type        SIRF_GPS vs     CAMERAd\n"),
              std::string::npos);
    EXPECT_FALSE(result);
}

TEST(headerCheckTest, StreamAtomDifferencesFail) {
    bool result = true;
    snsrHeader renamed = recording();
    renamed.streams[0].atoms[1] = intAtom("hum ", 100);
    EXPECT_EQ(compared(recording(), renamed, result),
              prefix + " SNSR Header->Stream QOR2, atom 1 meta data fields are not equal !\n" +
              prefix + " SNSR Header->Stream QOR2, atom 1 meta data ID fields are not equal "
                       "0x20726162:'bar ' vs 0x206D7568:'hum '\n");
    EXPECT_FALSE(result);

    snsrHeader retyped = recording();
    retyped.streams[2].atoms[0].type = 'i';
    EXPECT_EQ(compared(recording(), retyped, result),
              prefix + " SNSR Header->Stream CAMERA, atom 0 meta data fields are not equal !\n" +
              prefix + " SNSR Header->Stream CAMERA, atom 0 meta data type fields are not equal c vs i\n");
    EXPECT_FALSE(result);

    snsrHeader revalued = recording();
    revalued.streams[2].atoms[0].data = {'p'};
    EXPECT_EQ(compared(recording(), revalued, result),
              prefix + " SNSR Header->Stream CAMERA, atom 0 meta data fields are not equal \n" +
              prefix + " SNSR Header->Stream CAMERA, atom 0 meta data character field's are not equal j vs p\n");
    EXPECT_FALSE(result);

    snsrHeader unknown = recording();
    snsrHeader unknownToo = recording();
    unknown.streams[2].atoms[0].type = unknownToo.streams[2].atoms[0].type = '?';
    EXPECT_EQ(compared(unknown, unknownToo, result),
              prefix + " SNSR Header->Stream CAMERA, atom 0 unknown meta data type \n");
    EXPECT_FALSE(result);
}

TEST(headerCheckTest, ShortAtomDataCountsAsZeroBytes) {
    // An 'i' atom of two bytes holds the low bytes of its value; an empty 'c' atom
    // reads as a zero byte. Nothing is read beyond the data.
    EXPECT_TRUE(compareAtoms(atom("intr", 'i', {5, 0}), intAtom("intr", 5), prefix, ""));
    EXPECT_TRUE(compareAtoms(atom("name", 'c', {}), atom("name", 'c', {0, 'x'}), prefix, ""));
    bool result = true;
    EXPECT_EQ(capturedStderr([&] { result = compareAtoms(atom("intr", 'i', {}), intAtom("intr", -2), "p", "ctx"); }),
              "p meta data fields are not equal ctx\np meta data character field's are not equal 0 vs -2\n");
    EXPECT_FALSE(result);
}

TEST(headerCheckTest, ListsShorterThanTheirCountsAreReportedNotRead) {
    snsrHeader shortAtoms = recording();
    shortAtoms.atoms.pop_back();
    bool result = true;
    EXPECT_EQ(compared(recording(), shortAtoms, result), prefix + " SNSR Header's meta data atoms are not equal\n" +
                                                         prefix + " meta data atoms are NULL (present) vs (nil)\n");
    EXPECT_FALSE(result);

    snsrHeader shortStreams = recording();
    shortStreams.streams.pop_back();
    EXPECT_EQ(compared(shortStreams, recording(), result),
              prefix + " SNSR Header's meta data atoms are not equal\n" + prefix +
                  " SNSR Header->Stream 2 is NULL (nil) vs (present)\n");
    EXPECT_FALSE(result);

    snsrHeader shortStreamAtoms = recording();
    shortStreamAtoms.streams[0].atoms.pop_back();
    EXPECT_EQ(compared(recording(), shortStreamAtoms, result),
              prefix + " SNSR Header's meta data atoms are not equal\n" + prefix +
                  " SNSR Header->Stream QOR2 meta atom 1 is NULL (present) vs (nil)\n");
    EXPECT_FALSE(result);
}

void writeRecording(const std::string& path, uint32_t qor2Version, int32_t wd01 = 5) {
    containerBuilder builder;
    builder.addIntAtom("wd01", wd01);
    builder.addStream("qor2", 1, qor2Version).intAtom("intr", 1000);
    builder.addSirfGpsStream(2);
    ASSERT_TRUE(builder.writeFile(path));
}

std::string checked(const std::vector<std::string>& files, bool& result) {
    return capturedStderr([&] { result = checkFileHeaders(files); });
}

TEST(headerCheckTest, FilesAreComparedWithTheFirst) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", 3);
    writeRecording(dir / "b.snsr", 3, 6);
    writeRecording(dir / "c.snsr", 4);
    bool result = false;
    EXPECT_EQ(checked({dir / "a.snsr"}, result), "");
    EXPECT_TRUE(result);

    EXPECT_EQ(checked({dir / "a.snsr", dir / "b.snsr"}, result),
              "# INFO: Comparing file headers\n"
              "# ERROR: File   2  meta data fields are not equal for snsr header meta data\n"
              "# ERROR: File   2  meta data character field's are not equal 5 vs 6\n");
    EXPECT_TRUE(result);

    const std::string p = "# ERROR: File   3 ";
    EXPECT_EQ(checked({dir / "a.snsr", dir / "a.snsr", dir / "c.snsr", dir / "b.snsr"}, result),
              "# INFO: Comparing file headers\n" +
              p + " SNSR Header's meta data fields are not equal!\n" +
              p + " SNSR Header->Stream QOR2 type            QOR2 vs       QOR2d\n" +
              p + " SNSR Header->Stream QOR2 id        0x32726F71 vs 0x32726F71\n" +
              p + " SNSR Header->Stream QOR2 ver                3 vs          4\n" +
              p + " SNSR Header->Stream QOR2 len                0 vs          0\n" +
              p + " SNSR Header->Stream QOR2 num_atoms          1 vs          1\n" +
              p + " SNSR Header->Stream QOR2 _active            1 vs          1\n"
              "# ERROR: Exiting\n");
    EXPECT_FALSE(result);
}

TEST(headerCheckTest, UnreadableFilesFailTheCheck) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", 3);
    writeBytes(dir / "bad.snsr", 2000);
    bool result = true;
    const std::string later = checked({dir / "a.snsr", dir / "bad.snsr"}, result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(later.starts_with("# INFO: Comparing file headers\n")) << later;
    EXPECT_TRUE(later.ends_with("# ERROR: Unable to open .snsr file " + dir / "bad.snsr" + "\n# ERROR: Exiting\n"))
        << later;

    const std::string first = checked({dir / "bad.snsr", dir / "a.snsr"}, result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(first.ends_with("# ERROR: packetReader was unable to open .snsr file " + dir / "bad.snsr" +
                                "\n# ERROR: Exiting\n"))
        << first;
}

TEST(headerCheckTest, HeaderReadersAreNotAskedForTraceFiles) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr", 3);
    writeRecording(dir / "b.snsr", 3);
    // A reader asked for a trace file would complain about the directory in its place.
    std::filesystem::create_directories(dir / "a.snsr.processing/keep");
    bool result = false;
    EXPECT_EQ(checked({dir / "a.snsr", dir / "b.snsr"}, result), "# INFO: Comparing file headers\n");
    EXPECT_TRUE(result);
}

}  // namespace
}  // namespace sensconv
