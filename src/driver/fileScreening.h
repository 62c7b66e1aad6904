#pragma once
// Preparing the list of input files: the directory scan that replaces the command-line
// files, and the screening that sorts the list and drops files that cannot be used.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/outcome.h"

namespace sensconv {

// Files smaller than this cannot hold a useful recording.
inline constexpr int64_t minimumFileSize = 1024;

// Replaces inputFiles by dir + name for every entry of dir whose name ends in ".snsr"
// (any letter case). dir ends in the platform separator. Fatal (status -1) when the
// directory cannot be listed or holds no such entry.
outcome scanDirectory(const std::string& dir, std::vector<std::string>& inputFiles);

// Sorts inputFiles byte-wise, moves the files whose path contains "log.snsr" to the
// front and removes every file that cannot be opened or is smaller than
// minimumFileSize, with one line per file examined. With sizes, the size of every file
// kept is recorded there: data that ends before it was lost while the file was read.
void screenFiles(std::vector<std::string>& inputFiles, std::map<std::string, int64_t>* sizes = nullptr);

}  // namespace sensconv
