#pragma once
// Where a conversion puts what: the name of every file and folder of the output, each
// spelled once. Folders given to these functions already end in a separator where a
// function joins onto them; the functions themselves build names, not paths.
//
//   outputdir/
//     trace.log                          -tracelog
//     part_NN/                           one per session, NN from 00 (built as part_NN.incomplete-XXXXXX)
//       binaryData_<name>.bin/.meta/.sparse   one sensor channel
//       binaryData.meta                  source files, boards, statistics
//       completeSensorAudio.wav          the microphone
//       sirfGPSOutput.bin, gps.csv, gps.gpx   the receiver's records and the fixes
//       images/NNNNNNNNNNN.jpg           the camera, by session time in ms
//       session.json, epochs.csv         the session's summary and its epochs
//       export/                          -export: <part>_fileNN_qor2.bdf (jux.edf, audio.edf), <part>.nc

#include <cstdint>
#include <string>
#include <string_view>

#include "common/textFormat.h"

namespace sensconv::outputLayout {

// -- the session folders ----------------------------------------------------------

inline constexpr char sessionFolderPrefix[] = "part_";
// A session folder is built under its name plus this and six characters of its own.
inline constexpr char stagingInfix[] = ".incomplete-";

// "part_00" for index 0 (at least two digits, more where the index needs them).
inline std::string sessionFolderName(long long index) {
    return formatText("%s%02lld", sessionFolderPrefix, index);
}

// True for the names of staging folders: a session folder's name, the infix and six
// letters or digits.
inline bool isStagingFolderName(std::string_view name) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto isAlphanumeric = [&isDigit](char c) {
        return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    const std::string_view prefix = sessionFolderPrefix;
    const std::string_view infix = stagingInfix;
    constexpr size_t uniqueLength = 6;
    if (!name.starts_with(prefix)) return false;
    size_t digits = prefix.size();
    while (digits < name.size() && isDigit(name[digits])) ++digits;
    if (digits - prefix.size() < 2 || name.substr(digits, infix.size()) != infix) return false;
    const std::string_view unique = name.substr(digits + infix.size());
    if (unique.size() != uniqueLength) return false;
    for (char c : unique) {
        if (!isAlphanumeric(c)) return false;
    }
    return true;
}

// -- one sensor channel -------------------------------------------------------------

inline constexpr char channelFilePrefix[] = "binaryData_";
inline constexpr char dataExtension[] = ".bin";
inline constexpr char metaExtension[] = ".meta";
inline constexpr char sparseExtension[] = ".sparse";

// "binaryData_BarPres": a channel's files are this and an extension.
inline std::string channelFileStem(std::string_view name) {
    return std::string(channelFilePrefix).append(name);
}
inline std::string channelDataFileName(std::string_view name) { return channelFileStem(name) + dataExtension; }
inline std::string channelMetaFileName(std::string_view name) { return channelFileStem(name) + metaExtension; }
inline std::string channelSparseFileName(std::string_view name) { return channelFileStem(name) + sparseExtension; }

// -- the other files of a session -------------------------------------------------------

inline constexpr char sessionMetaFileName[] = "binaryData.meta";
inline constexpr char audioFileName[] = "completeSensorAudio.wav";
inline constexpr char gpsRecordsFileName[] = "sirfGPSOutput.bin";
inline constexpr char gpsTableFileName[] = "gps.csv";
inline constexpr char gpsTrackFileName[] = "gps.gpx";
inline constexpr char sessionSummaryFileName[] = "session.json";
inline constexpr char epochsFileName[] = "epochs.csv";

// The camera's images go here unless -NoWriteImageSubDir puts them into the session
// folder itself (".").
inline constexpr char imagesDirectoryName[] = "images";
inline constexpr char imageExtension[] = ".jpg";
inline constexpr int imageNameDigits = 11;

// "00000012345.jpg": an image by the session time in ms at which it began.
inline std::string imageFileName(int32_t sessionMs) {
    return formatText("%0*d%s", imageNameDigits, sessionMs, imageExtension);
}

// True for the names imageFileName gives (any 11 digits).
inline bool isImageFileName(std::string_view name) {
    constexpr size_t extensionLength = sizeof imageExtension - 1;
    if (name.size() != imageNameDigits + extensionLength || name.substr(imageNameDigits) != imageExtension) {
        return false;
    }
    for (size_t i = 0; i < imageNameDigits; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

// -- beside the sessions ----------------------------------------------------------------

inline constexpr char traceLogFileName[] = "trace.log";

// Where -export writes when no -outputdir is given: a folder in the session folder.
inline constexpr char exportDirectoryName[] = "export";
inline constexpr char netcdfExtension[] = ".nc";

// The EDF family files of one input file: the main board, the second board, the audio.
inline constexpr char edfMainBoardName[] = "qor2.bdf";
inline constexpr char edfSecondBoardName[] = "jux.edf";
inline constexpr char edfAudioName[] = "audio.edf";

// One EDF family file of an export: "part_00_file01_qor2.bdf" for input file 1.
inline std::string edfFileName(std::string_view part, int inputFile, std::string_view groupFileName) {
    return formatText("%.*s_file%02d_%.*s", static_cast<int>(part.size()), part.data(), inputFile,
                      static_cast<int>(groupFileName.size()), groupFileName.data());
}

}  // namespace sensconv::outputLayout
