#include "platform/childProcess.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

namespace sensconv::platform {

namespace {

constexpr char goAheadByte = 'g';
constexpr char withholdByte = 'w';

// In the parent: its ends of the go-ahead pipes of the children still running, which
// a new child must not keep open.
std::vector<int> parentGoAheadEnds;

// In a child: its end of the go-ahead pipe, its report file and the parent's answer.
struct childSide {
    bool isChild = false;
    int goAhead = -1;
    int result = -1;
    int answer = -1;  // -1 undecided, 0 withheld, 1 go ahead
};
childSide self;

void closeQuietly(int& descriptor) {
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
}

// An unnamed file, read and written through one descriptor.
int scratchDescriptor() {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return -1;
    const int descriptor = ::dup(::fileno(file));
    std::fclose(file);
    return descriptor;
}

bool writeAll(int descriptor, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Hands the file's bytes from its start to sink, a block at a time.
template <typename Sink>
void readFromStart(int descriptor, Sink&& sink) {
    std::vector<char> block(65536);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(descriptor, block.data(), block.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        sink(block.data(), static_cast<size_t>(got));
        offset += got;
    }
}

// In the parent: the children not yet collected, with descriptors of their own on the
// child's report and standard error, for a request to end that comes meanwhile.
struct runningChild {
    int pid = -1;
    int label = 0;
    int errors = -1;
    int result = -1;
};
std::mutex runningLock;
std::vector<runningChild> running;  // in start order
bool stopping = false;              // a request to end has taken the children over
// Held while a child's messages are passed on, so that a request's lines follow them.
std::mutex passingLock;

int terminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : terminationSignals) sigaddset(&set, signal);
    return set;
}

std::string readAllFromStart(int descriptor) {
    std::string text;
    readFromStart(descriptor, [&text](const char* data, size_t size) { text.append(data, size); });
    return text;
}

}  // namespace

std::optional<childProcess> startChild(const std::function<int()>& body, std::string& reason, int label) {
    childProcess child;
    int pipeEnds[2] = {-1, -1};
    child.errorsDescriptor = scratchDescriptor();
    child.resultDescriptor = scratchDescriptor();
    // A socket pair rather than a pipe: telling a child that has already died must not
    // end this process with SIGPIPE.
    if (child.errorsDescriptor < 0 || child.resultDescriptor < 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeEnds) != 0) {
        reason = std::strerror(errno);
        closeQuietly(child.errorsDescriptor);
        closeQuietly(child.resultDescriptor);
        return std::nullopt;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        reason = std::strerror(errno);
        closeQuietly(child.errorsDescriptor);
        closeQuietly(child.resultDescriptor);
        closeQuietly(pipeEnds[0]);
        closeQuietly(pipeEnds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        // A child must never outlive its parent, which alone can finish or clear its work.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(127);
        const sigset_t requests = terminationSet();
        for (const int signal : terminationSignals) std::signal(signal, SIG_DFL);
        ::pthread_sigmask(SIG_UNBLOCK, &requests, nullptr);
        for (runningChild& other : running) {
            closeQuietly(other.errors);
            closeQuietly(other.result);
        }
        running.clear();
        for (int& end : parentGoAheadEnds) closeQuietly(end);
        parentGoAheadEnds.clear();
        ::close(pipeEnds[1]);
        self = childSide{true, pipeEnds[0], child.resultDescriptor, -1};
        if (::dup2(child.errorsDescriptor, STDERR_FILENO) < 0) _exit(127);
        ::close(child.errorsDescriptor);
        exitProcess(body());
    }
    ::close(pipeEnds[0]);
    child.pid = pid;
    child.goAheadDescriptor = pipeEnds[1];
    parentGoAheadEnds.push_back(pipeEnds[1]);
    const std::lock_guard<std::mutex> lock(runningLock);
    running.push_back({pid, label, ::dup(child.errorsDescriptor), ::dup(child.resultDescriptor)});
    return child;
}

namespace {

void answer(childProcess& child, char byte) {
    if (child.goAheadDescriptor < 0) return;
    ssize_t sent = -1;
    do {
        sent = ::send(child.goAheadDescriptor, &byte, 1, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    parentGoAheadEnds.erase(std::remove(parentGoAheadEnds.begin(), parentGoAheadEnds.end(), child.goAheadDescriptor),
                            parentGoAheadEnds.end());
    closeQuietly(child.goAheadDescriptor);
}

}  // namespace

void giveGoAhead(childProcess& child) {
    answer(child, goAheadByte);
}

void withholdGoAhead(childProcess& child) {
    answer(child, withholdByte);
}

namespace {
std::function<void(int)> requestHandler;
bool requestsHeld = false;  // blocked, and taken while a child is waited for

[[noreturn]] void endOnRequest(int signal) {
    if (requestHandler) requestHandler(signal);
    std::fflush(stdout);
    std::fflush(stderr);
    std::signal(signal, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
    std::raise(signal);
    _exit(128 + signal);
}

// Waits for the child to end; a request to end that comes meanwhile is taken here.
void waitTakingRequests(int pid) {
    if (!requestsHeld) return;
    const int childEnds = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    const sigset_t requests = terminationSet();
    const int requestComes = ::signalfd(-1, &requests, SFD_CLOEXEC);
    for (;;) {
        pollfd watched[2] = {{requestComes, POLLIN, 0}, {childEnds, POLLIN, 0}};
        if (requestComes < 0 || childEnds < 0) break;
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) break;
        if ((watched[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (::read(requestComes, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                endOnRequest(static_cast<int>(info.ssi_signo));
            }
        }
        if (watched[1].revents != 0) break;
    }
    if (childEnds >= 0) ::close(childEnds);
    if (requestComes >= 0) ::close(requestComes);
}
}  // namespace


childEnd waitForChild(childProcess& child, bool passOnErrors) {
    childEnd end;
    int status = 0;
    pid_t waited = -1;
    waitTakingRequests(child.pid);
    do {
        waited = ::waitpid(child.pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == child.pid && WIFEXITED(status)) {
        end.exited = true;
        end.status = WEXITSTATUS(status);
    } else if (waited == child.pid && WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    } else {
        end.exited = true;
        end.status = 255;
    }
    {
        std::unique_lock<std::mutex> lock(runningLock);
        // A request to end has the children now; the process ends on its thread.
        while (stopping) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::hours(1));
            lock.lock();
        }
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (it->pid != child.pid) continue;
            closeQuietly(it->errors);
            closeQuietly(it->result);
            running.erase(it);
            break;
        }
    }
    if (passOnErrors) {
        const std::lock_guard<std::mutex> passing(passingLock);
        readFromStart(child.errorsDescriptor,
                      [](const char* data, size_t size) { std::fwrite(data, 1, size, stderr); });
        std::fflush(stderr);
    }
    readFromStart(child.resultDescriptor, [&end](const char* data, size_t size) { end.result.append(data, size); });
    closeQuietly(child.errorsDescriptor);
    closeQuietly(child.resultDescriptor);
    if (child.goAheadDescriptor >= 0) withholdGoAhead(child);
    child.pid = -1;
    return end;
}

void handleTerminationRequests(std::function<void(int)> onRequest) {
    requestHandler = std::move(onRequest);
}

void holdTerminationRequests() {
    const sigset_t requests = terminationSet();
    ::pthread_sigmask(SIG_BLOCK, &requests, nullptr);
    requestsHeld = true;
}

void takeTerminationRequests() {
    const sigset_t requests = terminationSet();
    // Blocked here, and so in every thread started from now on: only sigwait takes them.
    ::pthread_sigmask(SIG_BLOCK, &requests, nullptr);
    requestsHeld = false;
    std::thread([requests]() {
        int signal = 0;
        while (::sigwait(&requests, &signal) != 0) {
        }
        endOnRequest(signal);
    }).detach();
}

std::vector<stoppedChild> stopChildren() {
    std::vector<stoppedChild> stopped;
    {
        const std::lock_guard<std::mutex> lock(runningLock);
        stopping = true;
        for (const runningChild& child : running) ::kill(child.pid, SIGKILL);
        for (runningChild& child : running) {
            int status = 0;
            while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
            }
            stopped.push_back({child.label, readAllFromStart(child.result), readAllFromStart(child.errors)});
        }
    }
    // Messages being passed on get out whole first; nothing is passed on after them.
    passingLock.lock();
    return stopped;
}

std::string signalName(int signal) {
    const char* name = ::strsignal(signal);
    return name != nullptr ? name : "unknown signal";
}

bool isChildSession() {
    return self.isChild;
}

bool waitForGoAhead() {
    if (!self.isChild) return true;
    if (self.answer < 0) {
        char byte = 0;
        ssize_t got = -1;
        do {
            got = ::read(self.goAhead, &byte, 1);
        } while (got < 0 && errno == EINTR);
        // A parent that is gone cannot let anyone finish.
        self.answer = got == 1 && byte == goAheadByte ? 1 : 0;
        closeQuietly(self.goAhead);
    }
    return self.answer == 1;
}

void reportToParent(const std::string& text) {
    if (self.result >= 0) writeAll(self.result, text.data(), text.size());
}

void endLike(const childEnd& end) {
    if (end.exited) exitProcess(end.status);
    std::fflush(stdout);
    std::fflush(stderr);
    std::signal(end.signal, SIG_DFL);
    std::raise(end.signal);
    _exit(128 + end.signal);
}

bool removeTree(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return !error;
}

sharedBytes::sharedBytes(size_t size) {
    const size_t lockSize = (sizeof(pthread_mutex_t) + 63) / 64 * 64;
    const size_t total = lockSize + std::max<size_t>(size, 1);
    void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return;
    auto* mutex = new (mapping) pthread_mutex_t;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    // A child that dies holding the lock must not stop the others.
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    const bool ready = pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!ready) {
        ::munmap(mapping, total);
        return;
    }
    mapping_ = mapping;
    mappingSize_ = total;
    bytes_ = static_cast<uint8_t*>(mapping) + lockSize;
    size_ = size;
}

sharedBytes::~sharedBytes() {
    if (mapping_ == nullptr) return;
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(mapping_));
    ::munmap(mapping_, mappingSize_);
}

void sharedBytes::lock() {
    if (mapping_ == nullptr) return;
    auto* mutex = static_cast<pthread_mutex_t*>(mapping_);
    if (pthread_mutex_lock(mutex) == EOWNERDEAD) pthread_mutex_consistent(mutex);
}

void sharedBytes::unlock() {
    if (mapping_ != nullptr) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mapping_));
}

}  // namespace sensconv::platform
