#pragma once
// trace.log: a small CSV file that shows an operator how far a conversion has come.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sensconv {

// The directory of the running log: that of the first input file, or outputdir when
// the file was named without a directory. Prints where the log goes.
std::string chooseTraceLogDir(const std::string& outputdir, const std::vector<std::string>& inputFiles);

// Rewrites dir + "trace.log" with one line per input file: its path, session index,
// state (files before current "completed", current "processing", the rest "queued")
// and its session's output directory under outputdir. A log that cannot be written is
// reported and otherwise ignored.
void updateTraceLog(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession, size_t current,
                    const std::string& dir, const std::string& outputdir);

// The state of each input file when sessions are converted side by side, one byte per
// file in the order of inputFiles.
enum class traceState : uint8_t { queued = 0, processing = 1, completed = 2 };

// As above with every file's own state; a log that cannot be written is reported only
// when report is set.
void updateTraceLogOfStates(const std::vector<std::string>& inputFiles, const std::vector<int>& fileSession,
                            const uint8_t* states, const std::string& dir, const std::string& outputdir, bool report = true);

}  // namespace sensconv
