#pragma once
// Grouping the input files into recording sessions by the time gaps between them.

#include <cstdint>
#include <string>
#include <vector>

#include "common/outcome.h"

namespace sensconv {

// Sets fileSession to one 1-based session number per file. Without scanEnabled every
// file is in session 1 and nothing is opened or printed. With it, every file is read
// through once for its first and last packet time; unreadable files are removed from
// inputFiles, and a new session starts wherever the time between one file's end and
// the next file's start (either way round) is more than maxGap_sec. Fatal (status -1)
// when a file cannot be read to its end or no file is left. With jobs above 1, up to
// that many files are read at once; the lines are the same.
outcome segmentSessions(std::vector<std::string>& inputFiles, std::vector<int>& fileSession, bool scanEnabled,
                     double maxGap_sec, bool writeTraceFiles, int jobs = 1);

// Numbers the sessions along the list (fileSession holds one entry per file; file 0
// stays in the session it has): a new session starts where the time between one
// file's end and the next file's start (milliseconds since 1970, either way round)
// is more than maxGap_sec. Returns the last session number.
int groupSessions(const std::vector<uint64_t>& fileStart, const std::vector<uint64_t>& fileEnd, double maxGap_sec,
                  std::vector<int>& fileSession);

// Prints t (seconds since 1970-01-01 UTC) as local "dd.mm.yyyy hh:mm:ss.uuuuuu",
// without a line end.
void printTimestamp(double t);

}  // namespace sensconv
