#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/textFormat.h"

namespace sensconv::platform {

std::string withTrailingSeparator(const std::string& dir) {
    if (!dir.empty() && dir.back() == pathSeparator) return dir;
    return dir + pathSeparator;
}

std::optional<std::string> directoryOfPath(const std::string& path) {
    std::optional<std::string> result;
    if (auto pos = path.rfind('/'); pos != std::string::npos) result = path.substr(0, pos + 1);
    return result;
}

bool makeDirectories(const std::string& dir, std::string& reason) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == pathSeparator) path.pop_back();
    if (path.empty()) return true;

    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        reason = std::strerror(ENOTDIR);
        return false;
    }
    const auto parentEnd = path.rfind(pathSeparator);
    if (parentEnd != std::string::npos && parentEnd > 0) {
        if (!makeDirectories(path.substr(0, parentEnd), reason)) return false;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

bool listDirectory(const std::string& dir, std::vector<std::string>& names, std::string& reason) {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(handle);
    if (readError != 0) {
        reason = std::strerror(readError);
        return false;
    }
    return true;
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::FILE* openForReading(const std::string& path) {
    // Opened without blocking: a named pipe without a writer would otherwise hold the
    // run forever at its first look at the file. Reads block again as usual afterwards.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    std::FILE* file = flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ? nullptr : ::fdopen(fd, "rb");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

int createForWriting(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

std::FILE* rewriteNoFollow(const std::string& path) {
    // Without blocking: a pipe planted under the name would otherwise hold the run.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat info {};
    int error = 0;
    if (::fstat(fd, &info) != 0) {
        error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    } else if (info.st_nlink > 1) {
        // Another name of the same file may lie anywhere; emptying it would reach there.
        error = EMLINK;
    } else if (::ftruncate(fd, 0) != 0) {
        error = errno;
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
    }
    std::FILE* file = error == 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        if (error == 0) error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

bool createExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::FILE* openScratchFile(const std::string& directory) {
    const std::string dir = directory.empty() ? std::string(".") : directory;
    int fd = -1;
#if defined(O_TMPFILE)
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        // File systems without unnamed files: a unique name, removed at once.
        std::string pattern = withTrailingSeparator(dir) + ".scratch.XXXXXX";
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) return nullptr;
        ::unlink(pattern.c_str());
    }
    std::FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) ::close(fd);
    return file;
}

std::optional<std::string> createUniqueDirectory(const std::string& prefix, std::string& reason) {
    std::string pattern = prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    return pattern;
}

namespace {

void removeReplaced(const std::string& path, std::string& removeFailure) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) removeFailure = error.message();
}

}  // namespace

bool moveDirectoryIntoPlace(const std::string& staged, const std::string& target, std::string& reason,
                            std::string& removeFailure) {
    // Another run may put its own folder in place at any moment: a failed attempt
    // because target appeared or vanished meanwhile is tried again.
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
            removeReplaced(staged, removeFailure);
            return true;
        }
        if (errno == ENOENT) {
            if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
            if (errno == EEXIST) continue;
            if (errno != EINVAL && errno != ENOSYS) break;
            if (::rename(staged.c_str(), target.c_str()) == 0) return true;
            if (errno == EEXIST || errno == ENOTEMPTY) continue;
            break;
        }
        if (errno != EINVAL && errno != ENOSYS) break;
        // File systems that cannot exchange: the old folder steps aside under a unique
        // name first; for a moment there is no folder under target's name.
        std::string aside = target + ".replaced.XXXXXX";
        if (::mkdtemp(aside.data()) == nullptr) break;
        if (::rename(target.c_str(), aside.c_str()) != 0) {
            const int error = errno;
            ::rmdir(aside.c_str());
            if (error == ENOENT) continue;
            errno = error;
            break;
        }
        if (::rename(staged.c_str(), target.c_str()) == 0) {
            removeReplaced(aside, removeFailure);
            return true;
        }
        const int error = errno;
        ::rename(aside.c_str(), target.c_str());
        if (error == EEXIST || error == ENOTEMPTY) continue;
        errno = error;
        break;
    }
    reason = std::strerror(errno);
    return false;
}

namespace {
// A descriptor that closes itself.
struct openedEntry {
    explicit openedEntry(int fd) : fd(fd) {}
    ~openedEntry() {
        if (fd >= 0) ::close(fd);
    }
    openedEntry(const openedEntry&) = delete;
    openedEntry& operator=(const openedEntry&) = delete;
    int fd;
};

bool failedWith(const std::string& path, std::string& reason) {
    reason = path + ": " + std::strerror(errno);
    return false;
}
}  // namespace

bool allowAccessByMask(const std::string& dir, std::string& reason) {
    // The mask is read where the system shows it, so that no other thread ever sees it
    // changed; where it does not, it is set and put back at once.
    mode_t mask = 0;
    bool known = false;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (!known && std::fgets(line, sizeof(line), status) != nullptr) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                known = true;
            }
        }
        std::fclose(status);
    }
    if (!known) {
        mask = ::umask(077);
        ::umask(mask);
    }
    if (::chmod(dir.c_str(), static_cast<mode_t>(0777 & ~mask)) != 0) return failedWith(dir, reason);
    return true;
}

bool flushTreeToDisk(const std::string& dir, std::string& reason) {
    namespace fs = std::filesystem;
    constexpr size_t manyFiles = 64;
    std::vector<std::string> files;
    std::vector<std::string> folders{dir};
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error) break;
        if (fs::is_regular_file(status)) files.push_back(it->path().string());
        if (fs::is_directory(status)) folders.push_back(it->path().string());
    }
    if (error) {
        reason = dir + ": " + error.message();
        return false;
    }
    // Many files (the images, the channels of both boards) cost a flush and a journal
    // commit each: one flush of the whole file system then costs less (measured on ext4:
    // 0.03 to 0.11 s against 0.18 to 0.54 s for a session of 490 files) and covers every
    // file and folder alike. Should it fail, each file is flushed on its own.
    if (files.size() > manyFiles) {
        const openedEntry entry(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (entry.fd >= 0 && ::syncfs(entry.fd) == 0) return true;
    }
    // Their writes start together; each flush then waits for its own.
    for (const std::string& file : files) {
        const openedEntry entry(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (entry.fd >= 0) (void)::sync_file_range(entry.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    for (const std::string& file : files) {
        const openedEntry entry(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (entry.fd < 0 || ::fsync(entry.fd) != 0) return failedWith(file, reason);
    }
    for (const std::string& folder : folders) {
        if (!flushDirectoryToDisk(folder, reason)) return false;
    }
    return true;
}

namespace {
std::mutex heldLock;
std::map<std::string, int> held;  // directory -> the descriptor that holds its lock
}  // namespace

void holdDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    const std::lock_guard<std::mutex> lock(heldLock);
    if (!held.emplace(dir, fd).second) ::close(fd);
}

void releaseDirectory(const std::string& dir) {
    const std::lock_guard<std::mutex> lock(heldLock);
    const auto it = held.find(dir);
    if (it == held.end()) return;
    ::close(it->second);
    held.erase(it);
}

bool isAbandonedDirectory(const std::string& dir) {
    if (!isDirectory(dir)) return false;
    const openedEntry entry(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return entry.fd >= 0 && ::flock(entry.fd, LOCK_EX | LOCK_NB) == 0;
}

void startWriteBack(std::FILE* file) {
    // A failure stays in the stream's error state and is reported when it is closed.
    if (std::fflush(file) == 0) (void)::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool flushDirectoryToDisk(const std::string& dir, std::string& reason) {
    const openedEntry entry(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (entry.fd < 0 || ::fsync(entry.fd) != 0) return failedWith(dir, reason);
    return true;
}

void ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is taken, and the lower ones are open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

std::optional<int64_t> fileSize(std::FILE* file) {
    struct stat info {};
    if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode)) return static_cast<int64_t>(info.st_size);
    return std::nullopt;
}

std::optional<std::pair<uint64_t, uint64_t>> fileIdentity(std::FILE* file) {
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0) return std::nullopt;
    return std::pair<uint64_t, uint64_t>{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

bool seekTo(std::FILE* file, int64_t offset) {
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int64_t tellPosition(std::FILE* file) {
    return static_cast<int64_t>(::ftello(file));
}

std::FILE* standardInput() {
    return stdin;
}

bool removeFile(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

bool removeEmptyDirectory(const std::string& dir) {
    return ::rmdir(dir.c_str()) == 0;
}

int64_t currentTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool localTime(int64_t t, std::tm& out) {
    const std::time_t value = static_cast<std::time_t>(t);
    return ::localtime_r(&value, &out) != nullptr;
}

std::string asctimeText(int64_t t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm parts{};
    if (!localTime(t, parts) || parts.tm_wday < 0 || parts.tm_wday > 6 || parts.tm_mon < 0 || parts.tm_mon > 11) {
        return "??? ??? ?? ??:??:?? ????\n";
    }
    return formatText("%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[parts.tm_wday], months[parts.tm_mon],
                      parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, 1900 + parts.tm_year);
}

const char* architectureLabel() {
#if defined(__linux__)
    return "Linux";
#elif defined(__APPLE__)
    return "Darwin";
#else
    return "Unkown Arch";
#endif
}

int currentProcessor() {
#if defined(__linux__)
    return sched_getcpu();
#else
    return -1;
#endif
}

bool keepThreadOff(std::thread& thread, int processor) {
#if defined(__linux__)
    cpu_set_t allowed;
    if (processor < 0 || processor >= CPU_SETSIZE || !thread.joinable() ||
        pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0) {
        return false;
    }
    CPU_CLR(processor, &allowed);
    if (CPU_COUNT(&allowed) == 0) return false;
    return pthread_setaffinity_np(thread.native_handle(), sizeof allowed, &allowed) == 0;
#else
    (void)thread;
    (void)processor;
    return false;
#endif
}

std::string lastErrorText() {
    return std::strerror(errno);
}

void exitProcess(int status) {
    std::fflush(stderr);
    std::fflush(stdout);
    std::exit(status);
}

}  // namespace sensconv::platform
