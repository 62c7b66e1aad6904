#include "common/userMessages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace sensconv {

namespace {
std::atomic<messageBarrier*> installedBarrier{nullptr};
}

void settleMessages() {
    if (messageBarrier* barrier = installedBarrier.load(std::memory_order_acquire)) barrier->beforeMessage();
}

void printMessage(const char* format, ...) {
    settleMessages();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void putMessage(const char* text) {
    settleMessages();
    std::fputs(text, stderr);
}

void setMessageBarrier(messageBarrier* barrier) {
    installedBarrier.store(barrier, std::memory_order_release);
}

}  // namespace sensconv
