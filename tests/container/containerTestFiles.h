#pragma once
// Small helpers for the container tests: fixture files in the test's temporary
// directory, and memory-backed streams.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace sensconv::testing_support {

// A path in the temporary directory that is unique to the running test.
inline std::string tempPath(const std::string& name) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string path = ::testing::TempDir();
    if (!path.empty() && path.back() != '/') path += '/';
    return path + info->test_suite_name() + "_" + info->name() + "_" + name;
}

inline bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

inline bool appendBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

inline bool fileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// A read-only stream over bytes (not empty), which must outlive it.
inline std::FILE* memoryStream(std::vector<uint8_t>& bytes) {
    return fmemopen(bytes.data(), bytes.size(), "rb");
}

}  // namespace sensconv::testing_support
