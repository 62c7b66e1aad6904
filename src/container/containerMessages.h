#pragma once
// Every line the reader and its buffered input print, in one place. The texts are
// fixed: operators and their scripts read them, so they never change wording or layout.

#include <cinttypes>

namespace sensconv::containerMessages {

inline constexpr char
    // The reader
    cannotOpen[] = "# snsr_packetReader: ERROR, unable to open snsr file: %s\n",
    cannotWriteTraceFile[] = "# snsr_packetReader: ERROR, unable to write trace file: %s\n",
    traceFileInTheWay[] = "# WARNING: Trace file %s already exists or is a link, going on without it\n",
    invalidHeader[] = "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n",
    tooManyStreams[] = "# snsr_packetReader: WARNING, snsr header contains more streams, %d, than allowed, %d\n",
    fileIsBad[] = "# snsr_packetReader: ERROR snsr file is bad, unable to proceed\n",
    errorModeStart[] =
        "# snsr_packetReader: SNSR Error mode, looking for new snsr packet, start pos: %" PRId64 " packet:\n",
    errorModeEnd[] =
        "# snsr_packetReader: SNSR Error mode, found new snsr packet, at pos: %" PRId64 " (%" PRId64 " bytes skipped)\n",
    badId[] = "# snsr_packetReader: WARNING - file index %" PRId64 ", SNSR Packet's ID is invalid\n",
    badTimestamp[] = "# snsr_packetReader: WARNING - file index %" PRId64 ", SNSR Packet's timestamp is invalid\n",
    badLength[] = "# snsr_packetReader: WARNING - file index %" PRId64 ", SNSR Packet's length is invalid\n",
    cutOff[] = "# snsr_packetReader: ERROR - SNSR Packet not enough data left to read length\n",
    movedBackwards[] =
        "# WARNING: file index %" PRId64 ", SNSR Packet's timestamp has moved backwards, discarding read timestamp %" PRIu32
        ", and using previous timestamp %" PRIu32 "\n",

    // The buffered input
    consumedTooFar[] = "simpleBufferIO: Buffer error more bytes consumed than were available!\n",
    noFile[] = "simpleBufferIO: Error during read, file pointer is invalid!\n",
    cannotOpenInput[] = "ERROR: can't open file %s\n";

}  // namespace sensconv::containerMessages
