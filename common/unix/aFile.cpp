#include "common/unix/aFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

bool pathFits(const char* path) { return strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH; }

bool mayRead(const aFile* f) { return f->mode != aFileModeWriteOnly; }
bool mayWrite(const aFile* f) { return f->mode != aFileModeReadOnly; }

}  // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || !pathFits(path)) return false;
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode) {
  if (path == nullptr || path[0] == '\0' || !pathFits(path)) return nullptr;
  const char* stdioMode = nullptr;
  switch (mode) {
    case aFileModeReadOnly: stdioMode = "rb"; break;
    case aFileModeWriteOnly: stdioMode = "wb"; break;
    case aFileModeAppend: stdioMode = "ab+"; break;
    default: return nullptr;
  }
  aFile* file = new (std::nothrow) aFile{nullptr, mode, aFILE_CHECK};
  if (file == nullptr) return nullptr;
  file->fp = std::fopen(path, stdioMode);
  if (file->fp == nullptr) {
    file->check = 0;
    delete file;
    return nullptr;
  }
  if (mode == aFileModeAppend) aFile_Seek(file, 0, SEEK_END);
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr) return aErrParam;
  aFile* f = *file;
  *file = nullptr;
  if (!aVALIDFILE(f)) return aErrParam;
  aErr result = aErrNone;
  if (f->fp != nullptr && std::fclose(f->fp) != 0) result = aErrIO;  // buffered data lost
  f->check = 0;
  delete f;
  return result;
}

aErr aFile_Read(aFile* file, void* buffer, uint64_t length, uint64_t* count) {
  if (count != nullptr) *count = 0;
  if (!aVALIDFILE(file) || buffer == nullptr) return aErrParam;
  if (!mayRead(file)) return aErrMode;
  // In append mode the previous operation may have been a write: stdio needs a
  // positioning call between a write and a read.
  if (file->mode == aFileModeAppend) std::fflush(file->fp);
  const size_t n = std::fread(buffer, 1, length, file->fp);
  if (count != nullptr) *count = n;
  if (n == 0 && length > 0) return std::ferror(file->fp) ? aErrIO : aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, uint64_t length, uint64_t* count) {
  if (count != nullptr) *count = 0;
  if (!aVALIDFILE(file) || data == nullptr) return aErrParam;
  if (!mayWrite(file)) return aErrMode;
  const size_t n = std::fwrite(data, 1, length, file->fp);
  if (count != nullptr) *count = n;
  // A short write loses data just as surely as no write at all.
  if (n < length) return aErrIO;
  return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size) {
  if (size == nullptr || !aVALIDFILE(file)) return aErrParam;
  const off_t here = ftello(file->fp);
  if (here < 0 || fseeko(file->fp, 0, SEEK_END) != 0) {
    *size = 0;
    return aErrIO;
  }
  const off_t end = ftello(file->fp);
  if (end < 0) {
    *size = 0;
    fseeko(file->fp, here, SEEK_SET);
    return aErrIO;
  }
  *size = static_cast<uint64_t>(end);
  return fseeko(file->fp, here, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin) {
  if (!aVALIDFILE(file)) return aErrParam;
  const off_t here = ftello(file->fp);
  if (here < 0) return aErrIO;
  uint64_t size = 0;
  if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;
  int64_t base = 0;
  if (origin == SEEK_CUR) base = here;
  else if (origin == SEEK_END) base = static_cast<int64_t>(size);
  // Overflow of base + offset is out of range in either direction.
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target)) return aErrRange;
  if (target < 0 || static_cast<uint64_t>(target) > size) return aErrRange;
  if (fseeko(file->fp, static_cast<off_t>(target), SEEK_SET) != 0) return aErrIO;
  if (ftello(file->fp) < 0) return aErrIO;
  return aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (!pathFits(path)) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES: return aErrPermission;
    default: return aErrIO;
  }
}

aErr aFile_ReadLine(aFile* file, char* buffer, uint64_t size, uint64_t* length) {
  if (length != nullptr) *length = 0;
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (!aVALIDFILE(file) || buffer == nullptr) return aErrParam;
  if (!mayRead(file)) return aErrMode;
  if (size < 2) return aErrOverrun;  // no room for even one character
  const int chunk = size > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
  if (std::fgets(buffer, chunk, file->fp) == nullptr) {
    buffer[0] = '\0';
    return std::ferror(file->fp) ? aErrIO : aErrEOF;
  }
  const uint64_t n = std::strlen(buffer);
  if (length != nullptr) *length = n;
  if (n == static_cast<uint64_t>(chunk) - 1 && buffer[n - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!aVALIDFILE(file)) return aErrParam;
  if (!mayWrite(file)) return aErrMode;
  return std::setvbuf(file->fp, nullptr, _IONBF, 8192) == 0 ? aErrNone : aErrMode;
}

aErr aFile_GetPosition(aFile* file, int64_t* position) {
  if (!aVALIDFILE(file)) return aErrParam;
  const off_t here = ftello(file->fp);
  if (here < 0) return aErrIO;
  if (position != nullptr) *position = here;
  return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!aVALIDFILE(file) || format == nullptr) return aErrParam;
  if (!mayWrite(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  const int n = std::vfprintf(file->fp, format, args);
  va_end(args);
  return n < 0 ? aErrIO : aErrNone;
}
