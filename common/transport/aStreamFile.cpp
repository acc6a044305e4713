// Streams over files of the portability layer.
#include <cstdint>

#include "common/aStream.h"
#include "common/unix/aFile.h"

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Read(static_cast<aFile*>(reference), byte, 1, nullptr);
}

aErr sFilePut(const uint8_t* byte, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(reference), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, uint64_t length, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(reference), data, length, nullptr);
}

aErr sFileDelete(void* reference) {
  if (reference == nullptr) return aErrIO;
  aFile* file = static_cast<aFile*>(reference);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aStream** stream, uint32_t mode) {
  if (path == nullptr || stream == nullptr) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;
  aStream* s = mode == aFileModeReadOnly
                   ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                   : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (s == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreateFileStream(path, stream, aFileModeReadOnly);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreateFileStream(path, stream, aFileModeWriteOnly);
}
