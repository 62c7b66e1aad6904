#pragma once
// Every line the conversion prints for its user goes to standard error through here.
// While a session's files are written by a thread of their own, the session pipeline
// installs a barrier: before a line is printed, every block handed to that thread so
// far is written and its failure, if any, told. The lines then come in the order of a
// run that writes as it goes, whatever the other thread is doing.

#include <cstdio>

namespace sensconv {

class messageBarrier {
public:
    // Waits for the writes handed over so far and reports their failures.
    virtual void beforeMessage() = 0;

protected:
    ~messageBarrier() = default;
};

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void printMessage(const char* format, ...);
void putMessage(const char* text);

// Settles the installed barrier without printing, as before the process ends.
void settleMessages();

// Installs barrier for the lines this thread prints from now on; nullptr removes it.
// The barrier outlives its installation; lines of other threads never reach it.
void setMessageBarrier(messageBarrier* barrier);

// Prints the bytes [begin, end) of a file of captured lines.
void printCaptured(std::FILE* file, long begin, long end);

// While it lives, the lines printed on this thread go to file instead, to be printed
// in their turn by the thread that prints (work done beside others keeps its lines).
class messageCapture {
public:
    explicit messageCapture(std::FILE* file);
    ~messageCapture();
    messageCapture(const messageCapture&) = delete;
    messageCapture& operator=(const messageCapture&) = delete;

private:
    std::FILE* previous_;
};

}  // namespace sensconv
