#pragma once
// Buffered files of the portability layer.
#include <cstdint>
#include <cstdio>
#include "common/aErr.h"

#define aFILE_CHECK 0xFEED
#define aFILE_MAX_PATH 4096

enum aFileMode : uint32_t {
  aFileModeReadOnly = 0,    // "rb"
  aFileModeWriteOnly = 1,   // "wb": truncate or create
  aFileModeAppend = 2,      // "ab+": read anywhere, write at the end
};

struct aFile {
  FILE* fp;
  uint32_t mode;
  uint32_t check;
};

#define aVALIDFILE(f) ((f) != nullptr && (f)->check == aFILE_CHECK)

bool aFile_Exists(const char* path);
aFile* aFile_Open(const char* path, uint32_t mode);
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, uint64_t length, uint64_t* count);
aErr aFile_Write(aFile* file, const void* data, uint64_t length, uint64_t* count);
aErr aFile_Seek(aFile* file, int64_t offset, int origin);
aErr aFile_GetSize(aFile* file, uint64_t* size);
aErr aFile_Delete(const char* path);
aErr aFile_ReadLine(aFile* file, char* buffer, uint64_t size, uint64_t* length);
aErr aFile_SetUnbuffered(aFile* file);
aErr aFile_GetPosition(aFile* file, int64_t* position);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
