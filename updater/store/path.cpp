#include "updater/store/path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

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

void syncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace

aErr ReplaceFile(const std::string& path, const void* data, uint64_t length, int* error) {
  if (error != nullptr) *error = 0;
  if (path.empty() || (data == nullptr && length > 0)) {
    if (error != nullptr) *error = EINVAL;
    return aErrParam;
  }
  std::string temporary;
  int fd = -1;
  for (unsigned attempt = 0; attempt < 16 && fd < 0; attempt++) {
    temporary = temporaryPath(path, attempt);
    // Mode 0666 before the umask, as a file opened with "wb" would get.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return aErrNotFound;
  }

  bool ok = writeAll(fd, static_cast<const uint8_t*>(data), length);
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    discard(temporary);
    if (error != nullptr) *error = errno;
    return aErrIO;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    discard(temporary);
    if (error != nullptr) *error = errno;
    return aErrNotFound;
  }
  syncDirectoryOf(path);
  return aErrNone;
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
