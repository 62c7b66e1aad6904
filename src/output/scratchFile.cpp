#include "output/scratchFile.h"

#include <cerrno>

#include "output/outputFile.h"
#include "platform/platform.h"

namespace sensconv {

scratchFile::~scratchFile() {
    close();
}

bool scratchFile::open(const std::string& directory) {
    close();
    file_ = platform::openScratchFile(directory);
    bytes_ = 0;
    errorNumber_ = 0;
    return file_ != nullptr;
}

void scratchFile::append(const void* data, size_t size) {
    if (file_ == nullptr || size == 0 || errorNumber_ != 0) return;
    errno = 0;
    if (std::fwrite(data, 1, size, file_) != size) errorNumber_ = errno != 0 ? errno : EIO;
    bytes_ += size;
}

bool scratchFile::rewindForReading() {
    if (errorNumber_ != 0) return false;
    errno = 0;
    if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
        errorNumber_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

size_t scratchFile::readBlock(std::vector<char>& block) {
    errno = 0;
    const size_t got = std::fread(block.data(), 1, block.size(), file_);
    if (got < block.size() && std::ferror(file_) != 0) {
        errorNumber_ = errno != 0 ? errno : EIO;
        return 0;
    }
    return got;
}

void scratchFile::copyTo(outputFile& target) {
    const bool read = readBack([&target](const char* block, size_t size) { target.write(block, 1, size); });
    if (!read) target.markFailed(errorNumber_);
}

void scratchFile::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

}  // namespace sensconv
