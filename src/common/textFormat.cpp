#include "common/textFormat.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>

namespace sensconv {

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

void appendFixed(std::string& text, double value, int decimals) {
    decimals = std::clamp(decimals, 0, 17);
    // Room for the longest: a sign, 309 digits before the point, the point and the decimals.
    const size_t start = text.size();
    text.resize(start + 311 + static_cast<size_t>(decimals));
    const auto [end, error] = std::to_chars(text.data() + start, text.data() + text.size(), value,
                                            std::chars_format::fixed, decimals);
    text.resize(error == std::errc() ? static_cast<size_t>(end - text.data()) : start);
}

void appendInteger(std::string& text, int64_t value) {
    const size_t start = text.size();
    text.resize(start + 20);
    const auto [end, error] = std::to_chars(text.data() + start, text.data() + text.size(), value);
    text.resize(error == std::errc() ? static_cast<size_t>(end - text.data()) : start);
}

}  // namespace sensconv
