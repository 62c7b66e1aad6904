#pragma once
// A counting replacement of the global allocator for the benchmark programs that must
// show that their hot path allocates nothing: every program links countingAllocator.cpp.

#include <cstdint>

namespace sensconv::bench {

// Calls of operator new so far in this process.
int64_t allocationCount();

}  // namespace sensconv::bench
