#pragma once
// Every line the output files print, in one place. The texts are fixed: operators and
// their scripts read them, so they never change wording or layout.

#include <cinttypes>

namespace sensconv::outputMessages {

inline constexpr char
    // Any output file
    unableToWrite[] = "# ERROR: Unable to write output file %s (%s)\n",
    writeErrorReason[] = "write error",

    // Channel files
    channelFileNotCreated[] =
        "# ERROR: Unable to open output file binaryData_%s%s in directory %s, full path:\n",
    fullPath[] = "# ERROR: %s\n",
    sparseFileNotCreated[] =
        "# ERROR: Unable to open sparse output file binaryData_%s.sparse in directory %s, full path:\n",
    sparseNotWritten[] = "# ERROR: Unable to write sparse matrix output for missing samples\n",
    shortChannelWrite[] =
        "# snsr_packetWriter: ERROR, attempted to write %d bytes but only %d were written for sensor %s\n",

    // WAV file
    wavNotOpened[] = "# ERROR: Unable to open the .wav file %s\n",
    wavLibraryReason[] = "# ERROR:  libsndfile: %s\n",
    wavSystemError[] = "System error : %s.",

    // Session files
    gpsFileNotOpened[] = "# snsr_packetWriter: ERROR, unable to open sirfGPSOutput.bin\n",
    gpsFileExiting[] = "# snsr_packetWriter: ERROR, Exiting\n",
    globalMetaNotWritten[] = "# ERROR: Unable to write global meta data to: %s\n",

    // Images
    creatingImageDirectory[] = "# INFO: Creating image output directory\n",
    imageDirectoryNotCreated[] = "# WARNING: Unable to create directory %s (%s)\n",
    imageNotCreated[] = "# WARNING: Unable to create image file %s (%s)\n",
    imageChecksumError[] = "# WARNING: JPEG CRC error. Dropping image.\n",
    noImageOpen[] = "# WARNING: jpegDumpFile == null!\n";

}  // namespace sensconv::outputMessages
