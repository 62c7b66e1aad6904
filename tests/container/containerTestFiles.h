#pragma once
// Memory-backed streams for the container tests; their files are made with
// common/testFiles.h.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/testFiles.h"

namespace sensconv::testing_support {

// A read-only stream over bytes (not empty), which must outlive it.
inline std::FILE* memoryStream(std::vector<uint8_t>& bytes) {
    return fmemopen(bytes.data(), bytes.size(), "rb");
}

}  // namespace sensconv::testing_support
