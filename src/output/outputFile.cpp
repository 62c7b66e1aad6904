#include "output/outputFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "output/outputMessages.h"

namespace sensconv {

outputFile::~outputFile() {
    close();
}

bool outputFile::create(const std::string& path) {
    close();
    failure_.reset(path);
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
}

size_t outputFile::write(const void* data, size_t size, size_t count, shortWrite mode) {
    int errorNumber = 0;
    const size_t written = putBytes(data, size, count, errorNumber);
    if (written != count && file_ != nullptr) tellShortWrite(errorNumber, mode);
    return written;
}

size_t outputFile::putBytes(const void* data, size_t size, size_t count, int& errorNumber) {
    errorNumber = 0;
    if (file_ == nullptr || count == 0) return 0;
    errno = 0;
    const size_t written = std::fwrite(data, size, count, file_);
    if (written != count) errorNumber = errno;
    return written;
}

void outputFile::tellShortWrite(int errorNumber, shortWrite mode) {
    if (mode == shortWrite::callerReports) {
        // The caller prints its own line; later failures of this file stay quiet.
        failure_.reportedByCaller();
    } else {
        fail(errorNumber);
    }
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

bool outputFile::printText(std::string_view text) {
    if (file_ == nullptr) return false;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        fail(errno);
        return false;
    }
    return true;
}

bool outputFile::close() {
    if (file_ == nullptr) return !failure_.failed();
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
    return !failure_.failed();
}

void outputFile::fail(int errorNumber) {
    failure_.report(errorNumber != 0 ? std::strerror(errorNumber) : outputMessages::writeErrorReason);
}

}  // namespace sensconv
