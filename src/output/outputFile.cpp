#include "output/outputFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common/outputStatus.h"

namespace sensconv {

outputFile::~outputFile() {
    close();
}

bool outputFile::create(const std::string& path) {
    close();
    path_ = path;
    failed_ = false;
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
}

size_t outputFile::write(const void* data, size_t size, size_t count, shortWrite mode) {
    if (file_ == nullptr || count == 0) return 0;
    errno = 0;
    const size_t written = std::fwrite(data, size, count, file_);
    if (written != count) {
        const int errorNumber = errno;
        if (mode == shortWrite::callerReports) {
            // The caller prints its own line; later failures of this file stay quiet.
            failed_ = true;
            markOutputLost();
        } else {
            fail(errorNumber);
        }
    }
    return written;
}

bool outputFile::print(const char* format, ...) {
    if (file_ == nullptr) return false;
    va_list args;
    va_start(args, format);
    errno = 0;
    const int result = std::vfprintf(file_, format, args);
    const int errorNumber = errno;
    va_end(args);
    if (result < 0) {
        fail(errorNumber);
        return false;
    }
    return true;
}

bool outputFile::close() {
    if (file_ == nullptr) return !failed_;
    std::FILE* file = file_;
    file_ = nullptr;
    const bool streamFailed = std::ferror(file) != 0;
    errno = 0;
    // fclose flushes what is still buffered; a failure there is the usual way a full
    // disk shows up for small files.
    if (std::fclose(file) != 0) {
        fail(errno);
    } else if (streamFailed) {
        // An earlier write failed without telling why.
        fail(EIO);
    }
    return !failed_;
}

void outputFile::fail(int errorNumber) {
    markOutputLost();
    if (failed_) return;
    failed_ = true;
    const char* reason = errorNumber != 0 ? std::strerror(errorNumber) : "write error";
    std::fprintf(stderr, "# ERROR: Unable to write output file %s (%s)\n", path_.c_str(), reason);
}

}  // namespace sensconv
