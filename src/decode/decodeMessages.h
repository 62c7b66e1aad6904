#pragma once
// Every line the decoders print, in one place. The texts are fixed: operators and
// their scripts read them, so they never change wording or layout.

#include <cinttypes>

namespace sensconv::decodeMessages {

// Channels and gap repair
inline constexpr char invalidInputs[] = "# ERROR: invalid number of inputs specified %d\n";
inline constexpr char repairBufferNotAllocated[] =
    "# ERROR: unable to allocate an internal buffer to store repair data\n";
inline constexpr char mallocFailed[] = "# ERROR: malloc failed asking for %zu bytes\n";
inline constexpr char nullData[] = "# ERROR: NULL dataPtr passed in\n";
inline constexpr char fillingSamples[] = "# WARNING: Packet %6d, Filling %3.0f missing samples for field %s\n";
inline constexpr char tooManyMissing[] = "# ERROR: Too many missing samples to output, input is badly corrupted!\n";

// File set-up
inline constexpr char noHeader[] = "# ERROR: snsr structure is a NULL pointer, invalid snsr file\n";
inline constexpr char tooManyStreams[] = "# WARNING: snsr header contains more streams, %d, than allowed, %d\n";
inline constexpr char nullStream[] = "# ERROR: SNSR File header error, stream found with NULL pointer\n";
inline constexpr char gpsBufferNotAllocated[] = "# ERROR: SNSR unable to allocate buffer for sirfGPS\n";

// Packets
inline constexpr char qor2BadChecksum[] = "# WARNING: QOR2 packet %d, Packet CRC invalid\n";
inline constexpr char qor2ParserError[] = "# WARNING: QOR2 packet %d, unknown parser error\n";
inline constexpr char juxBadChecksum[] = "# WARNING: JUX packet %d, Packet CRC invalid\n";
inline constexpr char juxParserError[] = "# WARNING: JUX packet %d, unknown parser error\n";
inline constexpr char gpsTooShort[] = "# WARNING: SIRF_GPS packet %d too short, skipped\n";

// Board clocks
inline constexpr char wrapRule[] = "# INFO: ---------------------\n";
inline constexpr char wrapDetected[] =
    "# INFO: QOR, SNSR Packet %6d, possible wrap around detected in timestamps, timeElapsed %" PRId64 "\n";
inline constexpr char wrapCounters[] =
    "# INFO: Interrupt max: %7d. Previous: %4d ts, %5d int, current: %4d ts, %5d int\n";
inline constexpr char notARollOver[] = "# ERROR: This wrap around was not a 255->0 roll over event\n";
inline constexpr char ignoreRolloverHint[] =
    "# ERROR: If you want to ignore this use -ignoreRollover, this may result in corrupt files\n";
inline constexpr char timeMovedBackwards[] =
    "# ERROR: QOR, SNSR Packet %6d, computed %s timestamps moved backwards, went from %" PRId64 " to %" PRId64 "\n";
inline constexpr char likelyCorrupt[] =
    "# ERROR: File is likely corrupt, use the blacklist feature to remove damaged packets\n";

// Images
inline constexpr char creatingImageDirectory[] = "# INFO: Creating image output directory\n";
inline constexpr char imageDirectoryNotCreated[] = "# WARNING: Unable to create directory %s (%s)\n";
inline constexpr char imageNotCreated[] = "# WARNING: Unable to create image file %s (%s)\n";
inline constexpr char imageChecksumError[] = "# WARNING: JPEG CRC error. Dropping image.\n";
inline constexpr char noImageOpen[] = "# WARNING: jpegDumpFile == null!\n";

}  // namespace sensconv::decodeMessages
