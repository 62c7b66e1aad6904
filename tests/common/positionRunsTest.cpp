#include "common/positionRuns.h"

#include <gtest/gtest.h>

#include <vector>

namespace sensconv {
namespace {

TEST(positionRunsTest, ConsecutivePositionsShareARunAndReadBackOneByOne) {
    positionRuns positions;
    EXPECT_TRUE(positions.empty());
    EXPECT_EQ(positions.begin(), positions.end());
    for (int64_t p : {4, 5, 6, 9, 10}) positions.push_back(p);
    positions.appendRun(11, 3);  // continues the run at 9
    positions.appendRun(20, 2);
    positions.appendRun(30, 0);  // nothing
    EXPECT_EQ(positions.runs().size(), 3u);
    EXPECT_EQ(positions.size(), 10u);
    EXPECT_EQ(positions, (std::vector<int64_t>{4, 5, 6, 9, 10, 11, 12, 13, 20, 21}));
    EXPECT_FALSE(positions == (std::vector<int64_t>{4, 5, 6, 9, 10, 11, 12, 13, 20, 22}));
    EXPECT_EQ(positions.front(), 4);
    EXPECT_EQ(positions.back(), 21);
    EXPECT_EQ(positions[3], 9);
    EXPECT_EQ(positions[9], 21);
    positions.clear();
    EXPECT_TRUE(positions.empty());
    EXPECT_EQ(positions.size(), 0u);
}

}  // namespace
}  // namespace sensconv
