#pragma once
// One output file of a session, created with mode "wb". Every write and the final
// flush and close are checked; a failure follows the one policy of outputFailure
// (one line with the path and the system's reason, the file counted in the run's
// status), so a full disk or a file size limit never passes for a finished conversion.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/runStatus.h"
#include "output/outputFailure.h"

namespace sensconv {

class outputFile {
public:
    // Who tells the user about a short write: this file's own line, or the caller,
    // which has a message of its own for that case.
    enum class shortWrite { report, callerReports };

    explicit outputFile(runStatus& run) : failure_(run) {}
    ~outputFile();
    outputFile(const outputFile&) = delete;
    outputFile& operator=(const outputFile&) = delete;

    // False when the file cannot be created; the caller prints its own lines then and
    // decides whether that counts as lost output (lostWithoutFile).
    bool create(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    std::FILE* handle() const { return file_; }
    const std::string& path() const { return failure_.path(); }

    // Counts the file that could not be created in the run's status.
    void lostWithoutFile() { failure_.reportedByCaller(); }

    // Writes count items of size bytes and returns the number of whole items written.
    size_t write(const void* data, size_t size, size_t count, shortWrite mode = shortWrite::report);
    // The two halves of write, for a block written on another thread: putBytes touches
    // nothing but the stream and keeps the system's reason in errorNumber; the short
    // write is then told on the converting thread.
    size_t putBytes(const void* data, size_t size, size_t count, int& errorNumber);
    void tellShortWrite(int errorNumber, shortWrite mode);

    // Formatted text; false when it could not be written.
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    bool print(const char* format, ...);
    // Text already formatted: as print("%s", text), without the format's way.
    bool printText(std::string_view text);

    // Flushes and closes. False when anything written to the file may be lost.
    bool close();

    // For data that failed on its way to this file: reported and counted as this
    // file's own failure.
    void markFailed(int errorNumber) { fail(errorNumber); }

private:
    void fail(int errorNumber);

    std::FILE* file_ = nullptr;
    outputFailure failure_;
};

}  // namespace sensconv
