#pragma once
// Bytes a session collects until its end, kept on disk instead of in memory: an
// unnamed file inside the session's own folder, gone when it is closed or the process
// ends. Keeps what grows with the input (filled positions, per-file statistics) from
// growing the program's memory.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace sensconv {

class outputFile;

class scratchFile {
public:
    scratchFile() = default;
    ~scratchFile();
    scratchFile(const scratchFile&) = delete;
    scratchFile& operator=(const scratchFile&) = delete;

    // Opens the file in directory; false when it cannot be made (the caller then keeps
    // its data in memory).
    bool open(const std::string& directory);
    bool isOpen() const { return file_ != nullptr; }
    bool empty() const { return bytes_ == 0; }

    void append(const void* data, size_t size);

    // Hands everything appended so far to consume(block, size), in order and in
    // blocks of any size. False when a write or read of the scratch file failed;
    // errorNumber then tells why.
    template <typename consumer>
    bool readBack(consumer&& consume);

    // Appends everything to target; a failure counts as one of target's own.
    void copyTo(outputFile& target);

    int errorNumber() const { return errorNumber_; }
    void close();

private:
    static constexpr size_t blockSize = 65536;

    bool rewindForReading();
    size_t readBlock(std::vector<char>& block);

    std::FILE* file_ = nullptr;
    size_t bytes_ = 0;
    int errorNumber_ = 0;
};

template <typename consumer>
bool scratchFile::readBack(consumer&& consume) {
    if (file_ == nullptr) return bytes_ == 0;
    if (!rewindForReading()) return false;
    std::vector<char> block(blockSize);
    for (size_t got = readBlock(block); got > 0; got = readBlock(block)) consume(block.data(), got);
    return errorNumber_ == 0;
}

}  // namespace sensconv
