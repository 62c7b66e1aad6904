#include "common/userMessages.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace sensconv {

namespace {
// The barrier belongs to the thread that installed it: lines printed by any other
// thread (a request to end the run) never touch a barrier they do not own.
thread_local messageBarrier* installedBarrier = nullptr;
thread_local std::FILE* captured = nullptr;
}  // namespace

messageCapture::messageCapture(std::FILE* file) : previous_(captured) {
    captured = file;
}

messageCapture::~messageCapture() {
    captured = previous_;
}

void settleMessages() {
    if (installedBarrier != nullptr) installedBarrier->beforeMessage();
}

void printMessage(const char* format, ...) {
    if (captured == nullptr) settleMessages();
    va_list args;
    va_start(args, format);
    std::vfprintf(captured != nullptr ? captured : stderr, format, args);
    va_end(args);
}

void putMessage(const char* text) {
    if (captured == nullptr) settleMessages();
    std::fputs(text, captured != nullptr ? captured : stderr);
}

void printCaptured(std::FILE* file, long begin, long end) {
    settleMessages();
    if (end <= begin || std::fseek(file, begin, SEEK_SET) != 0) return;
    std::vector<char> block(65536);
    for (long left = end - begin; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<long>(left, static_cast<long>(block.size())));
        const size_t got = std::fread(block.data(), 1, want, file);
        if (got == 0) return;
        std::fwrite(block.data(), 1, got, stderr);
        left -= static_cast<long>(got);
    }
}

void setMessageBarrier(messageBarrier* barrier) {
    installedBarrier = barrier;
}

}  // namespace sensconv
