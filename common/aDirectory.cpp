#include "common/aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeOne(const std::string& path, unsigned mode) {
  return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

// Joins directory and entry name into a fixed buffer; false when it does not fit.
bool joinEntry(char (&buffer)[aDIR_LIST_PATH_SIZE], const char* directory, const char* name) {
  return aDirectory_JoinPath(buffer, sizeof buffer, directory, name) == aErrNone;
}

aErr buildPath(char* buffer, uint64_t length, const std::vector<const char*>& parts) {
  if (buffer == nullptr) return aErrParam;
  if (length > 0) buffer[0] = '\0';
  if (parts.size() > aDIR_MAX_COMPONENTS) return aErrParam;
  for (const char* part : parts) {
    if (part == nullptr || part == buffer) return aErrParam;
  }
  if (length == 0) return aErrOverrun;
  const size_t firstLength = std::strlen(parts[0]);
  if (firstLength >= length - 1) return aErrOverrun;
  std::memcpy(buffer, parts[0], firstLength + 1);
  uint64_t used = firstLength;
  for (size_t i = 1; i < parts.size(); i++) {
    const char* part = parts[i];
    uint64_t room = length - used - 1;
    if (room > 1 && (used == 0 || buffer[used - 1] != '/') && part[0] != '/') {
      buffer[used++] = '/';
      buffer[used] = '\0';
      room--;
    }
    const size_t partLength = std::strlen(part);
    if (partLength >= room) return aErrOverrun;
    std::memcpy(buffer + used, part, partLength + 1);
    used += partLength;
  }
  return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path) { return path != nullptr && isDirectory(path); }

aErr aDirectory_Ensure(const char* path, unsigned mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  const std::string full(path);
  if (isDirectory(full)) return aErrNone;

  // Start creating just after the deepest ancestor that already exists.
  size_t start = 0;
  for (size_t cut = full.rfind('/'); cut != std::string::npos && cut > 0; cut = full.rfind('/', cut - 1)) {
    if (isDirectory(full.substr(0, cut))) {
      start = cut;
      break;
    }
  }
  bool failed = false;
  for (size_t sep = full.find('/', start + 1); sep != std::string::npos && !failed; sep = full.find('/', sep + 1)) {
    const std::string prefix = full.substr(0, sep);
    if (!prefix.empty() && !isDirectory(prefix) && !makeOne(prefix, mode)) failed = true;
  }
  if (!failed && !isDirectory(full) && !makeOne(full, mode)) failed = true;
  // EEXIST for a file of the same name is no success: the directory is not there.
  if (!failed && !isDirectory(full)) failed = true;
  return failed ? aErrPermission : aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference) {
  if (path == nullptr || callback == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  char entryPath[aDIR_LIST_PATH_SIZE];
  while (struct dirent* entry = readdir(dir)) {
    // An entry whose full path does not fit could not be used by the caller anyway.
    if (!joinEntry(entryPath, path, entry->d_name)) continue;
    struct stat st;
    if (stat(entryPath, &st) != 0) continue;
    const aDirectoryListData data = {entryPath, static_cast<uint32_t>(st.st_size),
                                     S_ISDIR(st.st_mode) ? 1u : 0u};
    if (!callback(&data, reference)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, uint64_t length) {
  if (buffer == nullptr || length == 0) return aErrParam;
  buffer[0] = '\0';
  std::string home;
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == ERANGE &&
         scratch.size() < (1u << 20)) {
    scratch.resize(scratch.size() * 2);
  }
  if (found != nullptr && found->pw_dir != nullptr) {
    home = found->pw_dir;
  } else if (const char* env = std::getenv("HOME")) {
    home = env;
  }
  if (home.empty()) return aErrNotFound;
  if (home.size() >= length) return aErrOverrun;
  std::memcpy(buffer, home.c_str(), home.size() + 1);
  return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, uint64_t length, const char* first, const char* second) {
  return aDirectory_BuildPath(buffer, length, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buffer, uint64_t length, const char* first, ...) {
  std::vector<const char*> parts;
  if (first == nullptr) {
    if (buffer != nullptr && length > 0) buffer[0] = '\0';
    return aErrParam;
  }
  parts.push_back(first);
  va_list args;
  va_start(args, first);
  // Read one past the limit so that an eleventh component is seen and refused.
  while (parts.size() <= aDIR_MAX_COMPONENTS) {
    const char* part = va_arg(args, const char*);
    if (part == nullptr) break;
    parts.push_back(part);
  }
  va_end(args);
  return buildPath(buffer, length, parts);
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  char entryPath[aDIR_LIST_PATH_SIZE];
  aErr result = aErrNone;
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!joinEntry(entryPath, path, entry->d_name)) {
      result = aErrFileNameLength;
      break;
    }
    // lstat: a link to a directory is removed as a link, never followed out of the tree.
    struct stat st;
    if (lstat(entryPath, &st) != 0) {
      result = aErrUnknown;
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      result = aDirectory_DeleteTree(entryPath);
      if (result != aErrNone) break;
    } else if (unlink(entryPath) != 0) {
      std::perror("aDirectory_DeleteTree");
      std::printf("---error unlink-ing file [%s]\n", entryPath);
      result = aErrUnknown;
      break;
    }
  }
  closedir(dir);
  if (result != aErrNone) return result;
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, uint64_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, uint64_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  const ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}
