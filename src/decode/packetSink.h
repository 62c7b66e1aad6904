#pragma once
// Where the decoded packets of an input file go: the session's writer in a conversion,
// nothing in info mode. The decode loop (driver/fileDecoding.h) hands the sink each
// packet's output while the decoder holds it.

namespace sensconv {

class packetSink {
public:
    // What the decoder produced for the last packet (see decoderView).
    virtual void writePacket() = 0;
    // The run ends in the middle of the file: what was decoded up to here reaches the
    // files.
    virtual void flushChannels() = 0;

protected:
    ~packetSink() = default;
};

// The sink of a decoding that writes nothing.
class nullSink final : public packetSink {
public:
    void writePacket() override {}
    void flushChannels() override {}
};

}  // namespace sensconv
