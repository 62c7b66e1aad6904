#pragma once
// Helpers for the driver's tests: captured stderr, exact-text patterns for death
// tests, and the folders an unfinished session leaves.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/testFiles.h"

namespace sensconv::testing_support {

inline std::string capturedStderr(const std::function<void()>& action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

// A death-test pattern that matches exactly text.
inline std::string exactly(const std::string& text) {
    std::string pattern = "^";
    for (char c : text) {
        if (std::string(".[]{}()*+?^$|\\").find(c) != std::string::npos) pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

// The folders named partName + ".incomplete-" and six characters in dir: where a
// session that was not finished left its output.
inline std::vector<std::string> incompleteFolders(const std::string& dir, const std::string& partName) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        const std::string prefix = partName + ".incomplete-";
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) found.push_back(entry.path().string());
    }
    return found;
}

}  // namespace sensconv::testing_support
