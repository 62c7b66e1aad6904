#pragma once
// An owned C stdio stream, closed when it goes.

#include <cstdio>
#include <memory>

namespace sensconv {

struct stdioFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using stdioFile = std::unique_ptr<std::FILE, stdioFileCloser>;

}  // namespace sensconv
