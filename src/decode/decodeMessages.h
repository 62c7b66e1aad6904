#pragma once
// Every line the decoders print, in one place. The texts are fixed: operators and
// their scripts read them, so they never change wording or layout.

#include <cinttypes>

namespace sensconv::decodeMessages {

inline constexpr char
    // Channels and gap repair
    repairBufferNotAllocated[] =
        "# ERROR: unable to allocate an internal buffer to store repair data\n",
    mallocFailed[] = "# ERROR: malloc failed asking for %zu bytes\n",
    nullData[] = "# ERROR: NULL dataPtr passed in\n",
    fillingSamples[] = "# WARNING: Packet %6" PRId64 ", Filling %3.0f missing samples for field %s\n",
    tooManyMissing[] = "# ERROR: Too many missing samples to output, input is badly corrupted!\n",

    // File set-up
    noHeader[] = "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n",
    tooManyStreams[] = "# WARNING: snsr header contains more streams, %d, than allowed, %d\n",
    nullStream[] = "# ERROR: SNSR File header error, stream found with NULL pointer\n",
    gpsBufferNotAllocated[] = "# ERROR: SNSR unable to allocate buffer for sirfGPS\n",

    // Packets
    qor2BadChecksum[] = "# WARNING: QOR2 packet %" PRId64 ", Packet CRC invalid\n",
    qor2ParserError[] = "# WARNING: QOR2 packet %" PRId64 ", unknown parser error\n",
    juxBadChecksum[] = "# WARNING: JUX packet %" PRId64 ", Packet CRC invalid\n",
    juxParserError[] = "# WARNING: JUX packet %" PRId64 ", unknown parser error\n",
    gpsTooShort[] = "# WARNING: SIRF_GPS packet %" PRId64 " too short, skipped\n",

    // Board clocks
    wrapRule[] = "# INFO: ---------------------\n",
    wrapDetected[] =
        "# INFO: QOR, SNSR Packet %6" PRId64 ", possible wrap around detected in timestamps, timeElapsed %" PRId64 "\n",
    wrapCounters[] =
        "# INFO: Interrupt max: %7d. Previous: %4d ts, %5d int, current: %4d ts, %5d int\n",
    notARollOver[] = "# ERROR: This wrap around was not a 255->0 roll over event\n",
    ignoreRolloverHint[] =
        "# ERROR: If you want to ignore this use -ignoreRollover, this may result in corrupt files\n",
    timeMovedBackwards[] =
        "# ERROR: QOR, SNSR Packet %6" PRId64 ", computed %s timestamps moved backwards, went from %" PRId64 " to %" PRId64 "\n",
    likelyCorrupt[] =
        "# ERROR: File is likely corrupt, use the blacklist feature to remove damaged packets\n";

}  // namespace sensconv::decodeMessages
