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

// How long a hidden temporary of ReplaceFile must have been left unwritten before it is
// taken for the leftover of a write that ended. No write of a store file comes near it
// (path.cpp says why), so it can belong to no write that still runs.
constexpr int64_t kStaleTemporarySeconds = 24 * 60 * 60;

// Removes from the device entry at directory the hidden temporaries that ReplaceFile
// made for a file the store writes (a stored build "<n>.bird" or ".settings") and that
// a write which ended left behind (killed between naming and renaming, or on a file
// system without unnamed files). A temporary is taken as stale only when its name is
// exactly one ReplaceFile makes for such a file, it is a regular file, the process that
// named it does not run as far as this process can see, and it has not been written
// for kStaleTemporarySeconds: a writer in another pid namespace shows no running pid,
// so the age is what protects it. A directory that is a symbolic link is not followed,
// and every removal is made relative to the directory that was opened.
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
