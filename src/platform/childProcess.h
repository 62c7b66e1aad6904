#pragma once
// Sessions converted side by side, each in a child process of its own: the child's
// standard error goes to an unnamed scratch file that the parent reads once the child
// has ended, so that the messages of every session can be printed whole and in order.
// A child finishes its session only when the parent gives it the go-ahead (every
// earlier session has ended without ending the run); without it, the child removes
// what it built and ends without a word.
//
// Also a small block of memory shared by the parent and all its children, with a
// lock, for state that every process must see at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sensconv::platform {

struct childProcess {
    int pid = -1;
    int errorsDescriptor = -1;  // the child's standard error, read back from its start
    int resultDescriptor = -1;  // what the child reported through reportToParent
    int goAheadDescriptor = -1; // the parent's end of the go-ahead pipe
};

// How a child ended: its exit status, or the signal that ended it, and its report.
struct childEnd {
    bool exited = false;
    int status = 0;  // exit status 0..255 when exited
    int signal = 0;  // otherwise the signal
    std::string result;
};

// Runs body in a new child process, which ends with body's return value as its exit
// status (or earlier, through exitProcess). Standard output and error are flushed
// first. The child ends with this process, whatever ends it. label is what
// stopChildren tells of it. Nothing with reason set when no child can be started.
std::optional<childProcess> startChild(const std::function<int()>& body, std::string& reason, int label = 0);

// Requests to end (SIGTERM, SIGINT, SIGHUP) call onRequest with the signal, and the
// process then ends by that signal. They are taken either by a thread of their own
// (takeTerminationRequests: no child may be started afterwards, as a process with
// threads cannot be forked safely), or, held until then, while a child is waited for
// (holdTerminationRequests). Either is called before any other thread is started;
// children take the default again.
void handleTerminationRequests(std::function<void(int)> onRequest);
void takeTerminationRequests();
void holdTerminationRequests();

// For onRequest: ends every child still running and waits for it. Each one's label,
// report and standard error so far, in the order they were started. Afterwards no
// other thread collects a child or passes on its messages.
struct stoppedChild {
    int label = 0;
    std::string result;
    std::string errors;
};
std::vector<stoppedChild> stopChildren();

// The system's name of a signal ("Terminated").
std::string signalName(int signal);

// In the parent: lets the child finish, or (withhold) tells it to remove its work.
void giveGoAhead(childProcess& child);
void withholdGoAhead(childProcess& child);

// Waits until the child has ended and collects its report; with passOnErrors, the
// child's standard error is copied to this process's, a block at a time (it can be
// long for a damaged recording). Releases the child.
childEnd waitForChild(childProcess& child, bool passOnErrors);

// In a child: blocks until the parent decides; true to go ahead. A process that is not
// such a child always goes ahead at once. The answer is kept for later calls.
bool waitForGoAhead();
bool isChildSession();

// In a child: text for the parent, appended to the child's report.
void reportToParent(const std::string& text);

// Ends this process the way the child ended: the same exit status, or the same signal.
[[noreturn]] void endLike(const childEnd& end);

// Removes path and everything below it; false when something is left.
bool removeTree(const std::string& path);

// Bytes shared between this process and the children it starts afterwards, zeroed,
// with a lock between the processes. Empty (size 0) when it cannot be made.
class sharedBytes {
public:
    explicit sharedBytes(size_t size);
    ~sharedBytes();
    sharedBytes(const sharedBytes&) = delete;
    sharedBytes& operator=(const sharedBytes&) = delete;

    size_t size() const { return size_; }
    uint8_t* data() const { return bytes_; }
    void lock();
    void unlock();

private:
    void* mapping_ = nullptr;
    size_t mappingSize_ = 0;
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

}  // namespace sensconv::platform
