#pragma once
// printf-style formatting into an owned string: message texts and file lines keep
// their C format strings, without fixed-size character buffers.

#include <cstdint>
#include <string>

namespace sensconv {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string formatText(const char* format, ...);

// Appends value as "%.<decimals>f" prints it (0 <= decimals <= 17), and an integer as
// "%d" does: the same characters, without printf's way through its format string,
// for files of many numbers.
void appendFixed(std::string& text, double value, int decimals);
void appendInteger(std::string& text, int64_t value);

}  // namespace sensconv
