// The session's time model as other output (GPS records, images) asks it, and the
// UTC texts every summary writes.

#include <gtest/gtest.h>

#include "common/utcText.h"
#include "output/sessionTimeline.h"

namespace sensconv {
namespace {

TEST(sessionTimelineTest, SessionTimesOfEachFileMapToThatFilesAnchor) {
    // Two files 30 s apart in UTC; the second starts at session time 20 s (the pause
    // between the files is not on the session's clock).
    sessionTimeline timeline;
    fileTimeline first;
    first.qor2 = {true, 40000, 1000.25, 0, {}};
    fileTimeline second;
    second.qor2 = {true, 40000, 1050.5, 80000, {}};
    timeline.addFile(first);
    timeline.addFile(second);
    EXPECT_DOUBLE_EQ(*timeline.qor2UnixSeconds(0, 1500), 1001.75);
    EXPECT_DOUBLE_EQ(*timeline.qor2UnixSeconds(1, 21000), 1051.5);
    EXPECT_DOUBLE_EQ(*timeline.zeroUnixSeconds(1, board::qor2), 1050.5);
    EXPECT_FALSE(timeline.qor2UnixSeconds(2, 0).has_value());
    EXPECT_FALSE(timeline.zeroUnixSeconds(0, board::jux).has_value());
}

TEST(sessionTimelineTest, UtcTextsHaveMillisecondsAndZ) {
    EXPECT_EQ(utcText(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(utcText(1741944600123), "2025-03-14T09:30:00.123Z");
    EXPECT_EQ(utcText(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(utcText(INT64_MAX), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(utcText(INT64_MIN), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(utcText(951868799999), "2000-02-29T23:59:59.999Z");
    EXPECT_EQ(unixMsOf(1741944600.1239), 1741944600123);
    EXPECT_EQ(unixMsOf(-0.0005), -1);
}

}  // namespace
}  // namespace sensconv
