#pragma once
// Everything that knows the operating system lives behind this header: path rules,
// directories, files, standard input, local time, where threads run and ending the
// process.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sensconv::platform {

inline constexpr char pathSeparator = '/';

// dir with one separator appended, unless it already ends in one.
std::string withTrailingSeparator(const std::string& dir);

// The directory part of a path, up to and including its last separator; nothing when
// the path holds no separator. Only the slash counts: a backslash is an ordinary
// character of a file name.
std::optional<std::string> directoryOfPath(const std::string& path);

// Creates dir and every missing parent; an existing directory is fine.
// On failure, reason holds the system's text.
bool makeDirectories(const std::string& dir, std::string& reason);

// Names (not paths) of the entries of dir, in the system's order; "." and ".." left out.
bool listDirectory(const std::string& dir, std::vector<std::string>& names, std::string& reason);

bool isRegularFile(const std::string& path);
// A directory itself, not a link to one.
bool isDirectory(const std::string& path);

// Opens path for binary reading. A directory is refused as if it could not be
// opened (errno EISDIR), although the C library would open it.
std::FILE* openForReading(const std::string& path);

// Creates (or truncates) path for writing and returns its descriptor, or -1 with errno
// set. For libraries that take a descriptor instead of a name of limited length.
int createForWriting(const std::string& path);

// Opens path for writing from its start without following a symbolic link in its
// last component; an existing plain file with no other name is emptied. A link, a
// file with other names (hard links), a directory or a pipe is left untouched:
// nullptr, errno ELOOP, EMLINK, EISDIR or EINVAL.
std::FILE* rewriteNoFollow(const std::string& path);

// Creates path as a new, empty file; nullptr when anything (a file, a link, even a
// dangling one) is already in the way (errno EEXIST or ELOOP).
bool createExclusive(const std::string& path);

// An anonymous file for scratch data inside directory: it has no name (or loses it
// at once), so it vanishes when closed or when the process ends. nullptr on failure.
std::FILE* openScratchFile(const std::string& directory);

// Creates a new directory named prefix followed by six characters that no other
// process can have chosen; its path, or nothing with reason set.
std::optional<std::string> createUniqueDirectory(const std::string& prefix, std::string& reason);

// Marks dir as being built by this process until releaseDirectory or the process's end
// (a lock on it), so that another run can tell it from a folder a stopped run left.
void holdDirectory(const std::string& dir);
void releaseDirectory(const std::string& dir);
// True when dir is a directory that no running process holds.
bool isAbandonedDirectory(const std::string& dir);

// Puts the directory staged at path target's place in one step: target, when it
// exists, is exchanged with it and then removed as a whole; a link in target's place
// is replaced, never followed. False with reason when staged stays where it is.
// removeFailure is set when the replaced target could not be removed completely.
bool moveDirectoryIntoPlace(const std::string& staged, const std::string& target, std::string& reason,
                            std::string& removeFailure);

// Gives dir the permissions a folder made with mkdir would have had: all of them less
// the process's file mode creation mask (a unique folder is made for its owner alone).
bool allowAccessByMask(const std::string& dir, std::string& reason);

// Brings every file and folder under dir (dir included) to stable storage; links are
// not followed. More than 64 files are brought there by one flush of their file system;
// fewer are flushed one by one, their writes all started first so that each flush mostly
// waits for work already under way. False with reason at the first failure.
bool flushTreeToDisk(const std::string& dir, std::string& reason);
// Hands what was written to file so far to the system and lets it start writing it to
// stable storage, without waiting for that: a flush later then has little left to do.
void startWriteBack(std::FILE* file);
// Brings dir's own entries (a rename in it) to stable storage.
bool flushDirectoryToDisk(const std::string& dir, std::string& reason);

// Descriptors 0, 1 and 2 open on the null device where they are closed, so that the
// first file the program opens can never take the place of a standard stream.
void ensureStandardDescriptors();

// Size of an open file in bytes (64-bit), or nothing when it cannot be told.
std::optional<int64_t> fileSize(std::FILE* file);

// What names an open file on its system whatever the path that led to it (device and
// inode on POSIX): two paths with the same identity are one file.
std::optional<std::pair<uint64_t, uint64_t>> fileIdentity(std::FILE* file);

// 64-bit seek and tell.
bool seekTo(std::FILE* file, int64_t offset);
int64_t tellPosition(std::FILE* file);

std::FILE* standardInput();

bool removeFile(const std::string& path);
// Removes dir only when it is empty.
bool removeEmptyDirectory(const std::string& dir);

// Seconds since 1970-01-01 UTC.
int64_t currentTime();

// Local calendar time of t; false when it cannot be represented.
bool localTime(int64_t t, std::tm& out);

// asctime layout, "Tue Dec  8 01:40:48 2026\n", of the local time t.
std::string asctimeText(int64_t t);

// The architecture label of the metadata's "createdBy" line.
const char* architectureLabel();

// Text of the system's last error (errno).
std::string lastErrorText();

// The processor the calling thread runs on at this moment; -1 when it cannot be told.
int currentProcessor();

// Lets thread run on every processor the calling thread may use except processor.
// False, and nothing changed, when no other processor is left or the system refuses.
bool keepThreadOff(std::thread& thread, int processor);

// Flushes the standard streams and ends the process with status (no unwinding).
[[noreturn]] void exitProcess(int status);

}  // namespace sensconv::platform
