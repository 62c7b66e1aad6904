#include "common/outputLayout.h"

#include <gtest/gtest.h>

namespace sensconv::outputLayout {
namespace {

// A run warns about abandoned staging folders and the exports pick up images by name:
// a name that only looks like one must not be taken for one.
TEST(outputLayoutTest, RecognisesOnlyTheNamesItGives) {
    EXPECT_EQ(sessionFolderName(0), "part_00");
    EXPECT_EQ(sessionFolderName(123), "part_123");
    EXPECT_TRUE(isStagingFolderName(sessionFolderName(7) + stagingInfix + "aZ09xY"));
    EXPECT_TRUE(isStagingFolderName("part_123.incomplete-AbCdEf"));
    for (const char* other : {"part_0.incomplete-abcdef", "part_00.incomplete-abcde", "part_00.incomplete-abcdefg",
                              "part_00.incomplete-abc-ef", "part_00Xincomplete-abcdef", "part_00",
                              "Part_00.incomplete-abcdef", "part_.incomplete-abcdef", "part_00.incomplete-abcdé"}) {
        EXPECT_FALSE(isStagingFolderName(other)) << other;
    }

    EXPECT_EQ(imageFileName(12345), "00000012345.jpg");
    EXPECT_TRUE(isImageFileName(imageFileName(0)));
    EXPECT_TRUE(isImageFileName(imageFileName(2147483647)));
    for (const char* other : {"0000012345.jpg", "000000123456.jpg", "00000012345.jpeg", "0000001234a.jpg",
                              "00000012345.JPG", "-0000001234.jpg"}) {
        EXPECT_FALSE(isImageFileName(other)) << other;
    }
}

}  // namespace
}  // namespace sensconv::outputLayout
