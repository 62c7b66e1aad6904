#pragma once
// Round trips: simulated recordings (with their ground truth) converted by the real
// program, and the outputs read back by readers of their own (plain float files,
// libsndfile for the WAV file, libjpeg for the images, a parser of the GPS
// receiver's messages) and compared with what the simulator encoded.

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e/e2eSupport.h"

namespace sensconv::roundtrip {

namespace fs = std::filesystem;

using toolRun = testing_support::programRun;
using testing_support::runBinary;
using testing_support::scratchDirectory;

std::vector<uint8_t> readBytes(const fs::path& path);
std::string readText(const fs::path& path);
// Number of lines in text that contain needle.
int countLines(const std::string& text, const std::string& needle);

// One input file's block of "key",value lines, between its #FileStart and #FileEnd.
using metaBlock = std::map<std::string, std::string>;
struct metaFile {
    std::vector<std::string> sourceFiles;
    std::map<std::string, std::string> session;  // lines outside the blocks
    std::vector<metaBlock> blocks;
};
metaFile readMeta(const fs::path& path);

// Names of the entries of dir; none when it is not a directory.
std::set<std::string> namesIn(const fs::path& dir);

// The receiver's bytes of a sirfGPSOutput.bin: its records' payloads, concatenated.
// Records must be whole and hold 1 to 254 bytes, as the recorder's packets do.
std::vector<uint8_t> receiverBytes(const std::vector<uint8_t>& gpsFile);

// Decodes a whole JPEG file; false when libjpeg finds an error or warns.
bool decodeJpeg(const std::vector<uint8_t>& bytes, int& width, int& height);

// What one session's comparison found; the checks record failures through gtest.
struct sessionSummary {
    int64_t samples = 0;         // channel samples compared (audio included)
    int64_t exactSamples = 0;    // of them, equal to the single-precision truth bit for bit
    int64_t filledSamples = 0;   // positions listed in the .sparse files
    int32_t images = 0;
    int32_t badImages = 0;       // dropped for a wrong CRC, from the metadata
    int64_t gpsBytes = 0;
    // Largest distance of a session.json anchor from the truth, in sample periods.
    double worstAnchorPeriods = 0.0;
};

// Compares a converted session directory (part_NN) with the simulator's truth for it,
// session.json included: valid against its schema, its counts as the files show them,
// every anchor within one sample period of the truth or within the interval the
// container stamps allow (where the board's clock keeps step with them).
// With wholeGpsStream, no GPS packet was lost, so the receiver's bytes must form an
// unbroken stream of well-formed messages.
sessionSummary checkSession(const fs::path& converted, const fs::path& truth, bool wholeGpsStream);

}  // namespace sensconv::roundtrip
