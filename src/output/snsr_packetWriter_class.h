#pragma once
// The writer of one recording session: binds to each input file's decoder in turn,
// writes channel files, the GPS byte file and the WAV file, and collects the
// session metadata written to binaryData.meta when the writer is destroyed.

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/metaLists.h"

namespace sensconv {

class sensorDecoder;

class snsr_packetWriter_class {
public:
    snsr_packetWriter_class();
    // Closes every channel, writes binaryData.meta, closes the GPS file and finishes the WAV file.
    ~snsr_packetWriter_class();
    snsr_packetWriter_class(const snsr_packetWriter_class&) = delete;
    snsr_packetWriter_class& operator=(const snsr_packetWriter_class&) = delete;

    bool beginFile(const std::string& directory, sensorDecoder* decoder);
    void writePacket();
    void endFile();

    metaList metaKeys;
    metaList metaValues;

    // ... private state designed with the output implementation
};

}  // namespace sensconv
