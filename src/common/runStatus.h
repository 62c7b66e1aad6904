#pragma once
// The record of one conversion run that outlives its files: which output files failed.
// Any output file whose creation, write, flush or close failed is counted once, and the
// driver then ends the run with status -1 instead of 0, so a full disk or a file size
// limit never passes for a finished conversion. Each run (and each test) has its own.

#include <cstdint>

namespace sensconv {

class runStatus {
public:
    // One output file did not reach the disk whole. Call once per file.
    void fileFailed() { ++filesFailed_; }

    bool outputLost() const { return filesFailed_ > 0; }
    int64_t filesFailed() const { return filesFailed_; }

private:
    int64_t filesFailed_ = 0;
};

}  // namespace sensconv
