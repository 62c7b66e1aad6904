#pragma once
// One sensor channel of a recording session on disk. It is bound to the matching
// sampleChannel of each input file in turn, appends every packet's batch to the .bin
// file and merges each file's timestamps and filled-in positions at the file's end,
// so one .bin holds the whole session back to back.

#include <cstdint>
#include <string>

#include "common/outcome.h"
#include "common/runStatus.h"
#include "output/binaryDataFile.h"

namespace sensconv {

class sampleChannel;

class outputChannel {
public:
    static constexpr int32_t dataTypeFloat32 = 1;

    // A channel named after source and bound to it; open creates its files. Full
    // blocks of samples go to the session's thread (writer) when there is one.
    outputChannel(runStatus& run, const sampleChannel& source, handOff* writer = nullptr);

    // Creates the channel's files in directory (ending in a separator), named after the
    // source's short name. Fatal (status -1) when a file cannot be created.
    outcome open(const std::string& directory);

    // Binds the channel to the next input file's sampleChannel.
    void bind(const sampleChannel& source) { bound_ = &source; }
    void unbind() { bound_ = nullptr; }
    bool isBound() const { return bound_ != nullptr; }
    const sampleChannel* source() const { return bound_; }

    // Appends the bound channel's batch of the current packet. An unbound channel (its
    // board is missing from this input file) writes nothing.
    void writeBatch();

    // Takes over the input file's timestamps, hands the file's samples to the disk
    // and unbinds.
    // A channel that was not bound during the file keeps its state unchanged.
    void mergeFileEnd();

    void flush() { file_.flush(); }
    void close() { file_.close(); }

    const std::string& longName() const { return longName_; }
    const binaryDataFile& file() const { return file_; }

private:
    // Appends the bound channel's filled positions of the current packet to the file.
    void takeFilledPositions();

    const sampleChannel* bound_ = nullptr;
    std::string longName_;
    int64_t baseIndex_ = 0;  // samples in the .bin before the current input file
    binaryDataFile file_;
};

}  // namespace sensconv
