#pragma once
// printf-style formatting into an owned string: message texts and file lines keep
// their C format strings, without fixed-size character buffers.

#include <string>

namespace sensconv {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string formatText(const char* format, ...);

}  // namespace sensconv
