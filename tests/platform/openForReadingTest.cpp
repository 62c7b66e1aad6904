#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/testFiles.h"
#include "platform/platform.h"

namespace sensconv {
namespace {

// A named pipe without a writer must not hold the caller: the open returns at once,
// the size is unknown, and reading finds the end.
TEST(openForReadingTest, NamedPipeWithoutWriterDoesNotBlock) {
    const testing_support::scratchDirectory dir;
    const std::string path = dir / "pipe.snsr";
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
}

}  // namespace
}  // namespace sensconv
