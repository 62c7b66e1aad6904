#pragma once
// Every line the output files print, in one place. The texts are fixed: operators and
// their scripts read them, so they never change wording or layout.

#include <cinttypes>

namespace sensconv::outputMessages {

// Any output file
inline constexpr char unableToWrite[] = "# ERROR: Unable to write output file %s (%s)\n";
inline constexpr char writeErrorReason[] = "write error";

// Channel files
inline constexpr char channelFileNotCreated[] =
    "# ERROR: Unable to open output file binaryData_%s%s in directory %s, full path:\n";
inline constexpr char fullPath[] = "# ERROR: %s\n";
inline constexpr char samplesNotAsExpected[] =
    "# ERROR: Number of samples written to binary file %s does not match the number expected\n";
inline constexpr char expectedSamples[] = "# ERROR: Expected to write %7d, only wrote %7" PRId64 "\n";
inline constexpr char sparseFileNotCreated[] =
    "# ERROR: Unable to open sparse output file binaryData_%s.sparse in directory %s, full path:\n";
inline constexpr char sparseNotWritten[] = "# ERROR: Unable to write sparse matrix output for missing samples\n";
inline constexpr char shortChannelWrite[] =
    "# snsr_packetWriter: ERROR, attempted to write %d bytes but only %d were written for sensor %s\n";

// WAV file
inline constexpr char wavNotOpened[] = "# ERROR: Unable to open the .wav file %s\n";
inline constexpr char wavLibraryReason[] = "# ERROR:  libsndfile: %s\n";
inline constexpr char wavSystemError[] = "System error : %s.";

// Session files
inline constexpr char gpsFileNotOpened[] = "# snsr_packetWriter: ERROR, unable to open sirfGPSOutput.bin\n";
inline constexpr char gpsFileExiting[] = "# snsr_packetWriter: ERROR, Exiting\n";
inline constexpr char globalMetaNotWritten[] = "# ERROR: Unable to write global meta data to: %s\n";

}  // namespace sensconv::outputMessages
