#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace sensconv {
namespace {

std::string scratchPath(const std::string& name) {
    std::string dir = ::testing::TempDir();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir + "openForReadingTest_" + std::to_string(::getpid()) + "_" + name;
}

// A named pipe without a writer must not hold the caller: the open returns at once,
// the size is unknown, and reading finds the end.
TEST(openForReadingTest, NamedPipeWithoutWriterDoesNotBlock) {
    const std::string path = scratchPath("pipe.snsr");
    std::remove(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            ::alarm(10);
            std::FILE* file = platform::openForReading(path);
            if (file == nullptr) std::_Exit(1);
            if (platform::fileSize(file).has_value()) std::_Exit(2);
            if (std::fgetc(file) != EOF) std::_Exit(3);
            std::fclose(file);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::remove(path.c_str());
}

}  // namespace
}  // namespace sensconv
