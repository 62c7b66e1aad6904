#pragma once
// The decode loop of one input file, the one a conversion and info mode share: every
// record of the reader goes to the decoder, and each decoded packet to the sink (the
// session's writer, or nothing), until the data ends or a decoding failure ends the
// conversion in this file. The file's report is then made.

#include "common/outcome.h"
#include "container/packetReader.h"
#include "decode/fileReport.h"
#include "decode/packetSink.h"
#include "decode/sensorDecoder.h"

namespace sensconv {

struct decodedFile {
    fileReport report;
    // Fatal when a decoding failure would end a conversion here: its lines are printed
    // already, and what the sink took up to there is flushed.
    outcome ended;
};

// packet is the caller's buffer, kept from file to file.
decodedFile decodeFile(packetReader& reader, sensorDecoder& decoder, packetSink& sink, snsrPacket& packet);

}  // namespace sensconv
