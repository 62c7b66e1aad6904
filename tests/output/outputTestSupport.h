#pragma once
// Shared helpers of the output tests: hex bytes and a file size limit for provoking
// write failures.

#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/testFiles.h"
#include "decode/sampleChannel.h"

namespace sensconv {

// A batch handed to a channel's output as the decoder leaves one after a packet.
struct sampleChannelDoor {
    static void giveBatch(sampleChannel& source, const double* values, int32_t count) {
        source.batch_ = values;
        source.batch16_ = nullptr;
        source.batchCount_ = count;
    }
};

}  // namespace sensconv

namespace sensconv::outputTest {

using testing_support::fileExists;
using testing_support::fileSizeOf;
using testing_support::readWhole;
using testing_support::scratchDirectory;

// Gives a channel's output one batch of any size, as the decoder leaves it after a
// packet: the output's tests need batches larger than one packet holds.
inline void giveBatch(sampleChannel& source, const double* values, int32_t count) {
    sampleChannelDoor::giveBatch(source, values, count);
}

// Bytes given as hex text ("cdcccc3d 00002040"); blanks are ignored.
inline std::string hexBytes(const std::string& hex) {
    std::string bytes;
    std::string digits;
    for (char c : hex) {
        if (c == ' ') continue;
        digits.push_back(c);
        if (digits.size() == 2) {
            bytes.push_back(static_cast<char>(std::stoi(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

// While it lives, writes past limit bytes in any file of the process fail with EFBIG
// instead of killing it. Only the soft limit is lowered, so it can be raised again.
class fileSizeLimit {
public:
    explicit fileSizeLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lowered{limit, saved_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~fileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    fileSizeLimit(const fileSizeLimit&) = delete;
    fileSizeLimit& operator=(const fileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = SIG_DFL;
};

}  // namespace sensconv::outputTest
