#include "snsrsim/simFile.h"

#include <cstdarg>
#include <cstdlib>
#include <utility>

#include "platform/platform.h"

namespace snsrsim {

simFile::~simFile() {
    if (file_ != nullptr) std::fclose(file_);
}

simFile::simFile(simFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), path_(std::move(other.path_)), written_(other.written_) {}

simFile& simFile::operator=(simFile&& other) noexcept {
    if (this != &other) {
        if (file_ != nullptr) std::fclose(file_);
        file_ = std::exchange(other.file_, nullptr);
        path_ = std::move(other.path_);
        written_ = other.written_;
    }
    return *this;
}

void simFile::fail() const {
    std::fprintf(stderr, "snsrsim: cannot write %s (%s)\n", path_.c_str(), sensconv::platform::lastErrorText().c_str());
    std::exit(1);
}

void simFile::open(const std::string& path) {
    close();
    path_ = path;
    written_ = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) fail();
}

void simFile::write(const void* data, size_t size) {
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) fail();
    written_ += static_cast<int64_t>(size);
}

void simFile::write(std::span<const uint8_t> bytes) {
    write(bytes.data(), bytes.size());
}

void simFile::print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(file_, format, args);
    va_end(args);
    if (n < 0) fail();
    written_ += n;
}

void simFile::close() {
    if (file_ == nullptr) return;
    std::FILE* file = std::exchange(file_, nullptr);
    if (std::fclose(file) != 0) fail();
}

void simFile::makeDirectory(const std::string& dir) {
    std::string reason;
    if (!sensconv::platform::makeDirectories(dir, reason)) {
        std::fprintf(stderr, "snsrsim: cannot create directory %s (%s)\n", dir.c_str(), reason.c_str());
        std::exit(1);
    }
}

void simFile::writeWhole(const std::string& path, std::span<const uint8_t> bytes) {
    simFile file(path);
    file.write(bytes);
    file.close();
}

}  // namespace snsrsim
