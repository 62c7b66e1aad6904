#pragma once
// Files for the whole test suite: the one scratch directory, and whole-file reads.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

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
        std::error_code ignored;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
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

}  // namespace sensconv::testing_support
