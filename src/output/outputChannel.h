#pragma once
// One sensor channel of a recording session on disk. It is bound to the matching
// sampleChannel of each input file in turn, appends every packet's batch to the .bin
// file and merges each file's timestamps and filled-in positions at the file's end,
// so one .bin holds the whole session back to back.

#include <cstdint>
#include <string>

#include "output/binaryDataFile.h"

namespace sensconv {

class sampleChannel;

class outputChannel {
public:
    static constexpr int32_t dataTypeFloat32 = 1;

    // Creates the channel's files in directory (ending in a separator), named after the
    // source's short name, and binds the source. Ends the process (status -1) when a
    // file cannot be created.
    outputChannel(const std::string& directory, sampleChannel& source);

    // Binds the channel to the next input file's sampleChannel.
    void bind(sampleChannel& source) { bound_ = &source; }
    void unbind() { bound_ = nullptr; }
    bool isBound() const { return bound_ != nullptr; }
    const sampleChannel* source() const { return bound_; }

    // Appends the bound channel's current batch and marks it consumed. An unbound
    // channel (its board is missing from this input file) writes nothing.
    void writeBatch();

    // Takes over the input file's timestamps and last filled-in positions, hands the
    // file's samples to the disk and unbinds.
    // A channel that was not bound during the file keeps its state unchanged.
    void mergeFileEnd();

    void close() { file_.close(); }

    const std::string& longName() const { return longName_; }
    const binaryDataFile& file() const { return file_; }

private:
    // Moves the bound channel's filled positions over to the file.
    void takeFilledPositions();

    sampleChannel* bound_ = nullptr;
    std::string longName_;
    int64_t baseIndex_ = 0;  // samples in the .bin before the current input file
    binaryDataFile file_;
};

}  // namespace sensconv
