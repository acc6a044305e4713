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

// Files are read and written at once; nothing waits on them.
const aStreamOps kFileInputOps = {sFileGet, nullptr, nullptr, sFileDelete, /*pending*/ nullptr,
                                  /*waitDescriptor*/ nullptr, /*promptWrites*/ false, /*connection*/ nullptr};
const aStreamOps kFileOutputOps = {nullptr, sFilePut, sFileWrite, sFileDelete, /*pending*/ nullptr,
                                   /*waitDescriptor*/ nullptr, /*promptWrites*/ false, /*connection*/ nullptr};

aErr sCreateFileStream(const char* path, aStream** stream, uint32_t mode) {
  if (path == nullptr || stream == nullptr) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;
  aStream* s = aStream_CreateWith(mode == aFileModeReadOnly ? kFileInputOps : kFileOutputOps, file);
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
