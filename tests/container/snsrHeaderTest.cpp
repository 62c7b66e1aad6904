#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "container/snsrHeader.h"

namespace sensconv {
namespace {

std::FILE* memoryFile(std::vector<uint8_t>& bytes) {
    return fmemopen(bytes.data(), bytes.size(), "rb");
}

TEST(snsrHeaderTest, EmptyHeaderOfTwentyFourBytesIsValid) {
    std::vector<uint8_t> bytes = {'S', 'N', 'S', 'R', 2, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    snsrHeader header;
    header.file = memoryFile(bytes);
    ASSERT_TRUE(readHeader(header));
    EXPECT_EQ(header.fileStartTime, 0x0807060504030201ULL);
    EXPECT_EQ(header.num_atoms, 0);
    EXPECT_EQ(header.num_streams, 0);
    std::fclose(header.file);
}

TEST(snsrHeaderTest, CalibrationFromAllOnesWords) {
    snsrHeader header;
    for (uint32_t tag : {makeTag("wd01"), makeTag("wd02"), makeTag("wd03"), makeTag("wd04")}) {
        metaDataAtom atom;
        atom.id = tag;
        atom.type = 'i';
        atom.size = 4;
        atom.data = {0xFF, 0xFF, 0, 0};
        header.atoms.push_back(atom);
    }
    header.num_atoms = 4;
    ASSERT_TRUE(loadQor2Settings(header));
    EXPECT_EQ(header.calib_bar.C1, 32767);
    EXPECT_EQ(header.calib_bar.C2, 4095);
    EXPECT_EQ(header.calib_bar.C3, 1023);
    EXPECT_EQ(header.calib_bar.C4, 1023);
    EXPECT_EQ(header.calib_bar.C5, 2047);
    EXPECT_EQ(header.calib_bar.C6, 63);
}

}  // namespace
}  // namespace sensconv
