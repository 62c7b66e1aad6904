#include "driver/fileScreening.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include "common/exitStatus.h"
#include "driver/driverMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

bool hasContainerExtension(const std::string& name) {
    static constexpr char extension[] = ".snsr";
    constexpr size_t length = sizeof(extension) - 1;
    if (name.size() < length) return false;
    return std::equal(name.end() - length, name.end(), extension, [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

// Size in bytes of a file that opens for reading, and which file it is; nothing when it
// does not open. A stream whose size cannot be told (a pipe, a terminal) counts as empty.
std::optional<int64_t> sizeOfFile(const std::string& path, std::optional<std::pair<uint64_t, uint64_t>>& identity) {
    std::FILE* file = platform::openForReading(path);
    if (file == nullptr) return std::nullopt;
    const int64_t size = platform::fileSize(file).value_or(-1);
    identity = platform::fileIdentity(file);
    std::fclose(file);
    return size;
}

}  // namespace

outcome scanDirectory(const std::string& dir, std::vector<std::string>& inputFiles) {
    inputFiles.clear();
    std::fprintf(stderr, msg::scanningDirectory);

    std::vector<std::string> names;
    std::string reason;
    if (platform::listDirectory(dir, names, reason)) {
        for (const std::string& name : names) {
            if (hasContainerExtension(name)) inputFiles.push_back(dir + name);
        }
    }
    std::fprintf(stderr, msg::foundFiles, static_cast<int>(inputFiles.size()));
    if (inputFiles.empty()) {
        return outcome::fatal(exitStatus::scanFoundNothing,
                              std::string(msg::noFilesFound) + msg::listingNeedsPermission);
    }
    return {};
}

void screenFiles(std::vector<std::string>& inputFiles, std::map<std::string, int64_t>* sizes) {
    // std::string compares its bytes as unsigned values, a prefix first.
    std::sort(inputFiles.begin(), inputFiles.end());

    // Each log file found is moved to the front in turn, so the log files end up
    // first in descending name order, the others after them in ascending order.
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        if (inputFiles[i].find("log.snsr") != std::string::npos) {
            std::rotate(inputFiles.begin(), inputFiles.begin() + static_cast<std::ptrdiff_t>(i),
                        inputFiles.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        }
    }

    std::fprintf(stderr, "\n");
    std::fprintf(stderr, msg::separatorLine);
    std::fprintf(stderr, msg::screeningBanner);

    int number = 1;  // position before any removal
    int removed = 0;
    // A file named twice, or reached through a link as well, would be converted twice
    // in a row, its times running backwards: it is taken once, under its first name.
    std::map<std::pair<uint64_t, uint64_t>, std::string> taken;
    for (size_t i = 0; i < inputFiles.size(); ++number) {
        const std::string& path = inputFiles[i];
        std::optional<std::pair<uint64_t, uint64_t>> identity;
        const std::optional<int64_t> size = sizeOfFile(path, identity);
        const char* status = !size ? msg::screenUnopenable : *size >= minimumFileSize ? msg::screenOpened
                                                                                       : msg::screenTooSmall;
        std::fprintf(stderr, msg::screenedFile, number, status, path.c_str());
        const bool usable = size && *size >= minimumFileSize;
        const auto first = usable && identity ? taken.emplace(*identity, path) : std::pair{taken.end(), true};
        if (!first.second) {
            std::fprintf(stderr, msg::sameFileTwice, path.c_str(), first.first->second.c_str());
            inputFiles.erase(inputFiles.begin() + static_cast<std::ptrdiff_t>(i));
            ++removed;
        } else if (usable) {
            if (sizes != nullptr) (*sizes)[path] = *size;
            ++i;
        } else {
            inputFiles.erase(inputFiles.begin() + static_cast<std::ptrdiff_t>(i));
            ++removed;
        }
    }
    if (removed == 0) return;

    std::fprintf(stderr, "\n");
    std::fprintf(stderr, msg::separatorLine);
    std::fprintf(stderr, msg::finalNumbering, removed);
    for (size_t j = 0; j < inputFiles.size(); ++j) {
        std::fprintf(stderr, msg::finalFile, static_cast<int>(j + 1), inputFiles[j].c_str());
    }
}

}  // namespace sensconv
