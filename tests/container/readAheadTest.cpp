#include "container/readAhead.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "container/simpleBufferIO.h"
#include "driver/sessionPipeline.h"

namespace sensconv {
namespace {

// A stream that serves the bytes 0, 1, ..., 250, 0, ... and fails with EIO at failAt
// (when given), or ends at size. It counts the reads asked of it once it had ended or
// failed, and which threads read it.
struct countingSource {
    size_t size = 0;
    size_t failAt = SIZE_MAX;
    size_t served = 0;
    bool over = false;
    int readsWhenOver = 0;
    std::mutex mutex;
    std::set<std::thread::id> readers;

    static ssize_t read(void* cookie, char* into, size_t wanted) {
        auto& source = *static_cast<countingSource*>(cookie);
        {
            std::lock_guard lock(source.mutex);
            source.readers.insert(std::this_thread::get_id());
        }
        if (source.over) ++source.readsWhenOver;
        if (source.served >= source.failAt) {
            source.over = true;
            errno = EIO;
            return -1;
        }
        const size_t end = std::min(source.size, source.failAt);
        const size_t n = std::min(wanted, end - source.served);
        for (size_t i = 0; i < n; ++i) into[i] = static_cast<char>((source.served + i) % 251);
        source.served += n;
        if (n == 0) source.over = true;
        return static_cast<ssize_t>(n);
    }

    std::FILE* open() {
        std::FILE* stream = fopencookie(this, "r", {&countingSource::read, nullptr, nullptr, nullptr});
        // As an input file is opened for conversion.
        if (stream != nullptr) std::setvbuf(stream, nullptr, _IOFBF, readAhead::blockSize);
        return stream;
    }
};

// What a packet reader gets out of the stream through the buffer window: every byte,
// taken in steps of varying size, and where and how the data ended.
struct taken {
    std::vector<uint8_t> bytes;
    int64_t endOfData = 0;
    int readError = 0;
    bool operator==(const taken&) const = default;
};

taken takeAll(std::FILE* stream, readAhead* ahead) {
    simpleBufferIO buffer;
    buffer.setup(stream, 8192);
    if (ahead != nullptr) buffer.readThrough(*ahead);
    taken result;
    for (int32_t step = 1;; step = step % 3000 + 7) {
        const uint8_t* bytes = buffer.ensureAvailable(step);
        if (bytes == nullptr) {
            // The end: what is left is shorter than the step.
            for (int32_t n = step - 1; n > 0; --n) {
                if (const uint8_t* rest = buffer.ensureAvailable(n); rest != nullptr) {
                    result.bytes.insert(result.bytes.end(), rest, rest + n);
                    break;
                }
            }
            break;
        }
        result.bytes.insert(result.bytes.end(), bytes, bytes + step);
        buffer.consume(step);
    }
    result.endOfData = buffer.endOfReadData();
    result.readError = buffer.readError();
    buffer.release();
    return result;
}

// Read ahead on the session's thread, a stream gives the window the bytes, the end and
// the failure that reading it in place gives: at the same byte, with nothing asked of
// the stream once it has ended or failed.
TEST(readAheadTest, GivesTheBytesEndAndFailureOfReadingInPlace) {
    sessionThread thread;
    ASSERT_TRUE(thread.threaded());
    readAhead ahead(thread);
    constexpr size_t block = readAhead::blockSize;
    struct streamCase {
        size_t size;
        size_t failAt;
    };
    for (const streamCase c : {streamCase{0, SIZE_MAX}, streamCase{5 * block + 1234, SIZE_MAX},
                               streamCase{3 * block, SIZE_MAX}, streamCase{9 * block, 2 * block + 4321},
                               streamCase{9 * block, 0}}) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << ", failing at " << c.failAt);
        countingSource inPlace;
        countingSource readAheadSource;
        inPlace.size = readAheadSource.size = c.size;
        inPlace.failAt = readAheadSource.failAt = c.failAt;
        std::FILE* first = inPlace.open();
        std::FILE* second = readAheadSource.open();
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);

        const taken expected = takeAll(first, nullptr);
        const taken got = takeAll(second, &ahead);
        EXPECT_EQ(got.bytes.size(), expected.bytes.size());
        EXPECT_TRUE(got == expected);
        EXPECT_EQ(got.endOfData, static_cast<int64_t>(std::min(c.size, c.failAt)));
        EXPECT_EQ(got.readError, c.failAt < c.size ? EIO : 0);
        EXPECT_EQ(readAheadSource.readsWhenOver, 0);
        // The window's own thread never read the stream.
        EXPECT_FALSE(readAheadSource.readers.contains(std::this_thread::get_id()));
        std::fclose(first);
        std::fclose(second);
    }
}

}  // namespace
}  // namespace sensconv
