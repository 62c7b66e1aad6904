#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace sensconv {
namespace {

// A thread kept off the processor it runs on leaves it at once; with a single
// processor to run on there is nowhere else to go, and nothing is changed.
TEST(keepThreadOffTest, TheThreadLeavesTheProcessorAtOnce) {
    std::atomic<int> before{-2};
    std::atomic<int> after{-2};
    std::atomic<bool> kept{false};
    std::thread other([&] {
        before = platform::currentProcessor();
        while (!kept.load()) {
        }
        after = platform::currentProcessor();
    });
    while (before.load() == -2) std::this_thread::yield();
    ASSERT_GE(before.load(), 0);
    const bool moved = platform::keepThreadOff(other, before.load());
    kept = true;
    other.join();
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_TRUE(moved);
    }
    EXPECT_GE(after.load(), 0);
    if (moved) {
        EXPECT_NE(after.load(), before.load());
    }
    EXPECT_FALSE(platform::keepThreadOff(other, before.load())) << "a thread that has ended";
}

}  // namespace
}  // namespace sensconv
