#pragma once
// The session as EDF+ and BDF+ files (through EDFlib), for the tools of sleep and
// clinical research. Per input file of the session one continuous file (EDF+C) per
// group of channels, each starting at its own board's first sample in that file, so the
// pauses between the input files stay exact:
//   <part>_file<NN>_qor2.bdf   the main board's channels, 24-bit (BDF+)
//   <part>_file<NN>_jux.edf    the second board's channels, 16-bit (EDF+)
//   <part>_file<NN>_audio.edf  the microphone, 16-bit (EDF+), so that no reader must
//                              resample the other channels to its 8 kHz
// The values are physical (channelTable.h, the acceleration calibrated), rounded to the
// file's digital steps by us. Filled samples become annotations "BAD_filled <channel>"
// over each filled span, the tail a channel lacks to end its last data record
// "BAD_padding <channel>"; images ("image <name>") and GPS fixes ("GPS <lat> <lon>")
// become annotations of the main board's file; the exact start is the annotation
// "start <UTC to the nanosecond>".

#include <string>
#include <vector>

#include "output/sessionFolder.h"

namespace sensconv {

// Writes the EDF+/BDF+ files of folder into outputDirectory (which exists). Returns
// the reason it failed, empty on success; written gets the paths of the finished files.
std::string exportEdf(const sessionFolder& folder, const std::string& outputDirectory,
                      std::vector<std::string>& written);

// The physical minimum and maximum an EDF header can hold exactly (8 characters of
// text) around [low, high]: low rounded down and high up at the most decimals that fit.
// False when the values need more than 8 characters even without decimals.
bool edfHeaderRange(double low, double high, double& headerLow, double& headerHigh);

}  // namespace sensconv
