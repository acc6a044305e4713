#pragma once
// Paths of the device store: joining components, and replacing a file whole.
#include <cstdint>
#include <string>

#include "common/aErr.h"

// first, then "/" and each further component, up to a null pointer. Nothing is
// collapsed or tested: BuildPath("a", "b", nullptr) is "a/b".
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

// Replaces the file at path with exactly these bytes, or leaves it as it was: the bytes
// go to a file without a name in the same directory (where the file system has them;
// else to a hidden temporary ".<name>.tmp-<pid>-<n>-<n>"), every write is checked and
// synced, and only then is the file named beside path and renamed over it. A crash or a
// full disk never leaves a truncated file behind, and a process killed while it writes
// leaves no temporary. aErrNotFound when the file cannot be created in its directory (or
// a directory stands in its place), aErrIO when writing or syncing fails; the errno value
// that tells why goes to *error when it is given.
aErr ReplaceFile(const std::string& path, const void* data, uint64_t length, int* error = nullptr);

// Removes the hidden temporaries of ReplaceFile in directory that a process which no
// longer runs left behind (killed between naming and renaming, or on a file system
// without unnamed files). Those of running processes stay: they may be in the middle of
// their write.
void RemoveStaleTemporaries(const std::string& directory);

// Opens a regular file for reading (a descriptor to close, or -1): anything else is
// refused without blocking, as ReadRegularFile says.
int OpenRegularFile(const std::string& path, aErr* result, int* error = nullptr);

// Reads a whole regular file into contents. Anything else (a FIFO, a device, a
// directory) is refused at once without a byte read, so that a path that names one
// can never block the caller. aErrNotFound when nothing is there (ENOENT, ENOTDIR),
// aErrMode when it is not a regular file, aErrOverrun when it is larger than limit,
// aErrIO when it cannot be opened or read; the errno value goes to *error when given.
aErr ReadRegularFile(const std::string& path, std::string& contents, uint64_t limit, int* error = nullptr);
