#pragma once
// Files for the whole test suite: the one scratch directory, whole-file reads and
// writes, and whether a name is taken.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace sensconv::testing_support {

// A fresh directory under the system's temporary directory, removed with everything
// in it when the test ends, also when it holds paths longer than the system takes in
// one piece or entries without permissions. path() ends in a separator, as the
// program's directories do.
class scratchDirectory {
public:
    scratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sensconv-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~scratchDirectory() {
        std::error_code error;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, error);
        if (std::filesystem::remove_all(root_, error) != static_cast<std::uintmax_t>(-1) && !error) return;
        // rm walks the tree relative to each directory, so no path length limit applies.
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/rm", "rm", "-rf", "--", root_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
    scratchDirectory(const scratchDirectory&) = delete;
    scratchDirectory& operator=(const scratchDirectory&) = delete;

    std::string path() const { return root_ + "/"; }
    std::string file(const std::string& name) const { return path() + name; }
    std::string operator/(const std::string& name) const { return file(name); }

private:
    std::string root_;
};

inline std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Size in bytes, or -1 when there is no such file.
inline int64_t fileSizeOf(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<int64_t>(size);
}

// Whether anything is there under that name: a file, a directory, a link (even one
// that leads nowhere), a pipe.
inline bool fileExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

inline bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// A file of size bytes, each of them fill.
inline bool writeBytes(const std::string& path, size_t size, char fill = 'x') {
    return writeBytes(path, std::vector<uint8_t>(size, static_cast<uint8_t>(fill)));
}

inline bool appendBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace sensconv::testing_support
