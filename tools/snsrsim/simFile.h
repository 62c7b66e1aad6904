#pragma once
// An output file of the simulator. The simulator is a tool: when a file cannot be
// written it says so and stops (status 1), rather than leave a recording or a ground
// truth that silently lacks data.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace snsrsim {

class simFile {
public:
    simFile() = default;
    explicit simFile(const std::string& path) { open(path); }
    ~simFile();
    simFile(const simFile&) = delete;
    simFile& operator=(const simFile&) = delete;
    simFile(simFile&& other) noexcept;
    simFile& operator=(simFile&& other) noexcept;

    void open(const std::string& path);
    void write(std::span<const uint8_t> bytes);
    void write(const void* data, size_t size);
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void print(const char* format, ...);
    void close();
    bool isOpen() const { return file_ != nullptr; }
    int64_t bytesWritten() const { return written_; }

    // Creates dir and its parents, or stops.
    static void makeDirectory(const std::string& dir);
    // Writes a whole file at once, or stops.
    static void writeWhole(const std::string& path, std::span<const uint8_t> bytes);

private:
    [[noreturn]] void fail() const;

    std::FILE* file_ = nullptr;
    std::string path_;
    int64_t written_ = 0;
};

}  // namespace snsrsim
