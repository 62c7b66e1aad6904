#pragma once
// trace.log: a small CSV file that shows an operator how far a conversion has come.

#include <cstddef>
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

}  // namespace sensconv
