#pragma once
// Makes sure that every input file of the run was recorded with the first file's
// stream layout, and reports the first difference in detail.

#include <string>
#include <vector>

#include "container/snsrHeader.h"

namespace sensconv {

// Compares each file's header with the first file's. False (after the report lines and
// "# ERROR: Exiting") when a file cannot be opened or its stream layout differs; a
// difference in the values of the header's own atoms is only reported.
bool checkFileHeaders(const std::vector<std::string>& inputFiles);

// True when the two headers agree; otherwise prints the lines of the first difference,
// each beginning with prefix.
bool compareHeaders(const snsrHeader& a, const snsrHeader& b, const std::string& prefix);

// True when the two atoms agree; context is placed into some of the report lines.
bool compareAtoms(const metaDataAtom& x, const metaDataAtom& y, const std::string& prefix,
                  const std::string& context);

}  // namespace sensconv
