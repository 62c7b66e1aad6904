#include "driver/fileDecoding.h"

#include <utility>

#include "common/userMessages.h"

namespace sensconv {

decodedFile decodeFile(packetReader& reader, sensorDecoder& decoder, packetSink& sink, snsrPacket& packet) {
    int64_t gpsRecords = 0;
    outcome ended;
    // Every record goes to the decoder, also the last one that carries no packet.
    while (reader.hasData()) {
        reader.readPacket(packet);
        if (outcome decoded = decoder.processPacket(packet); !decoded.ok()) {
            // The samples decoded up to here reach their files after the lines.
            putMessage(decoded.lines().c_str());
            sink.flushChannels();
            ended = std::move(decoded);
            break;
        }
        if (decoder.view().gpsRecord().length > 0) ++gpsRecords;
        sink.writePacket();
    }
    return {decoder.finishFile(reader, gpsRecords), std::move(ended)};
}

}  // namespace sensconv
