#include "updater/store/path.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "common/aDirectory.h"

std::string BuildPath(const char* first, ...) {
  std::string path = first != nullptr ? first : "";
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(args);
  return path;
}

namespace {

std::atomic<unsigned> temporaryCounter{0};

// Names a temporary is tried under before ReplaceFile gives up (each attempt is the
// last number of the name).
constexpr unsigned kNameAttempts = 16;

bool writeAll(int fd, const uint8_t* bytes, uint64_t length) {
  while (length > 0) {
    const size_t chunk = length > (1u << 20) ? (1u << 20) : static_cast<size_t>(length);
    const ssize_t n = ::write(fd, bytes, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes += n;
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

// The temporary lies in the same directory (so the rename stays on one file system)
// and its name begins with "." (so a leftover one is never taken for a store item).
std::string temporaryPath(const std::string& path, unsigned attempt) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%u-%u", static_cast<long>(getpid()),
                temporaryCounter.fetch_add(1), attempt);
  return directory + "." + name + suffix;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

void syncDirectoryOf(const std::string& path) {
  const int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The rename has happened; a failed directory sync only weakens crash durability.
  (void)::fsync(fd);
  ::close(fd);
}

// Removes a temporary that will not be used, keeping errno for the caller's report.
void discard(const std::string& temporary) {
  const int error = errno;
  ::unlink(temporary.c_str());
  errno = error;
}

// Writes every byte and syncs them; errno says why when it fails.
bool fill(int fd, const void* data, uint64_t length) {
  return writeAll(fd, static_cast<const uint8_t*>(data), length) && ::fsync(fd) == 0;
}

// Closes fd; a failed close (a write the file system took back) counts as a failure.
bool closeChecked(int fd, bool ok) {
  const int error = errno;
  const bool closed = ::close(fd) == 0;
  if (!ok) errno = error;
  return ok && closed;
}

// A file without a name in the directory of path, or -1 where the file system has none
// (or refuses one). A process killed while it writes leaves nothing behind.
int openUnnamed(const std::string& path) {
  // Mode 0666 before the umask, as a file opened with "wb" would get.
  return ::open(directoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

// Gives the unnamed file a temporary name beside path (only the rename that follows can
// be cut off now); false when it cannot (no /proc, say).
bool nameUnnamed(int fd, const std::string& path, std::string& temporary) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  for (unsigned attempt = 0; attempt < kNameAttempts; attempt++) {
    temporary = temporaryPath(path, attempt);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) break;
  }
  temporary.clear();
  return false;
}

int openNamed(const std::string& path, std::string& temporary) {
  int fd = -1;
  for (unsigned attempt = 0; attempt < kNameAttempts && fd < 0; attempt++) {
    temporary = temporaryPath(path, attempt);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

// A decimal number as temporaryPath writes one: digits only, no sign, no leading zero
// (but "0" itself), within 32 bits.
bool decimalField(const std::string& text, unsigned long* value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > UINT32_MAX) return false;
  *value = static_cast<unsigned long>(v);
  return true;
}

// The files the store writes through ReplaceFile: the attribute file and stored builds,
// named "<build>.bird" by the download. A temporary of anything else is not the
// store's, whatever its name looks like.
bool storeTarget(const std::string& name) {
  if (name == ".settings") return true;
  const std::string suffix = ".bird";
  if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  unsigned long build = 0;
  return decimalField(name.substr(0, name.size() - suffix.size()), &build);
}

// The pid in a name that temporaryPath made for a store file
// (".<target>.tmp-<pid>-<n>-<attempt>"), or 0 for any other name.
long temporaryOwner(const std::string& name) {
  const std::string marker = ".tmp-";
  const size_t at = name.find(marker);
  if (name.empty() || name[0] != '.' || at == std::string::npos || at < 2 || !storeTarget(name.substr(1, at - 1)))
    return 0;
  std::string fields[3];
  size_t from = at + marker.size();
  for (int i = 0; i < 3; i++) {
    const size_t dash = i < 2 ? name.find('-', from) : name.size();
    if (dash == std::string::npos) return 0;
    fields[i] = name.substr(from, dash - from);
    from = dash + 1;
  }
  unsigned long pid = 0, counter = 0, attempt = 0;
  if (!decimalField(fields[0], &pid) || !decimalField(fields[1], &counter) || !decimalField(fields[2], &attempt))
    return 0;
  if (pid == 0 || pid > static_cast<unsigned long>(std::numeric_limits<pid_t>::max()) || attempt >= kNameAttempts)
    return 0;
  return static_cast<long>(pid);
}

// Seconds since the file was last written; negative for a time in the future (a clock
// set back, another machine's clock on a shared file system), which counts as recent.
int64_t quietFor(const struct stat& st) {
  return static_cast<int64_t>(::time(nullptr)) - static_cast<int64_t>(st.st_mtime);
}

}  // namespace

aErr ReplaceFile(const std::string& path, const void* data, uint64_t length, int* error) {
  if (error != nullptr) *error = 0;
  if (path.empty() || (data == nullptr && length > 0)) {
    if (error != nullptr) *error = EINVAL;
    return aErrParam;
  }
  std::string temporary;
  const int unnamed = openUnnamed(path);
  if (unnamed >= 0) {
    const bool written = fill(unnamed, data, length);
    // Where no name can be given to it (no /proc), a named temporary is written instead.
    const bool named = written && nameUnnamed(unnamed, path, temporary);
    if (!closeChecked(unnamed, written)) {
      if (named) discard(temporary);
      if (error != nullptr) *error = errno;
      return aErrIO;
    }
  }
  if (temporary.empty()) {
    const int fd = openNamed(path, temporary);
    if (fd < 0) {
      if (error != nullptr) *error = errno;
      return aErrNotFound;
    }
    if (!closeChecked(fd, fill(fd, data, length))) {
      discard(temporary);
      if (error != nullptr) *error = errno;
      return aErrIO;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    discard(temporary);
    if (error != nullptr) *error = errno;
    return aErrNotFound;
  }
  syncDirectoryOf(path);
  return aErrNone;
}

// What the age must cover: the temporary is written in chunks of 1 MiB, then synced and
// renamed, and its time of last modification is that of its last chunk. A stored build
// is at most 64 MiB and an attribute file about 16 MiB, so even on a medium that takes
// 64 KiB/s the whole write, its final sync included, is over in about 17 minutes. A day
// lies far beyond that, and beyond a machine that sleeps through a night in the middle
// of a write. Should a writer be held longer still (stopped, in a pid namespace of its
// own), losing its temporary costs it only its rename, which then fails: the stored
// file stays as it was.
void RemoveStaleTemporaries(const std::string& directory) {
  // The entry itself, not what a symbolic link in its place points to; from here on
  // everything is relative to the directory opened, so swapping the path for a link
  // cannot redirect a removal.
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    ::close(fd);
    return;
  }
  const long self = static_cast<long>(getpid());
  while (const dirent* entry = ::readdir(listing)) {
    const long owner = temporaryOwner(entry->d_name);
    // A temporary of a process that still runs may be in the middle of its write.
    if (owner == 0 || owner == self || ::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (quietFor(st) < kStaleTemporarySeconds) continue;
    ::unlinkat(fd, entry->d_name, 0);
  }
  ::closedir(listing);
}

int OpenRegularFile(const std::string& path, aErr* result, int* error) {
  auto fail = [result, error](aErr code, int why) {
    if (result != nullptr) *result = code;
    if (error != nullptr) *error = why;
    return -1;
  };
  if (result != nullptr) *result = aErrNone;
  if (error != nullptr) *error = 0;
  if (path.empty()) return fail(aErrNotFound, ENOENT);
  // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int why = errno;
    return fail(why == ENOENT || why == ENOTDIR ? aErrNotFound : aErrIO, why);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int why = errno;
    ::close(fd);
    return fail(aErrIO, why);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(aErrMode, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  return fd;
}

aErr ReadRegularFile(const std::string& path, std::string& contents, uint64_t limit, int* error) {
  contents.clear();
  aErr result = aErrNone;
  const int fd = OpenRegularFile(path, &result, error);
  if (fd < 0) return result;
  auto fail = [&](aErr code, int why) {
    ::close(fd);
    contents.clear();
    if (error != nullptr) *error = why;
    return code;
  };
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(aErrIO, errno);
  if (static_cast<uint64_t>(st.st_size) > limit) return fail(aErrOverrun, EFBIG);
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(aErrIO, errno);
    if (n == 0) break;
    // The file may grow while it is read: the limit holds for what is read as well.
    if (contents.size() + static_cast<size_t>(n) > limit) return fail(aErrOverrun, EFBIG);
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return aErrNone;
}
