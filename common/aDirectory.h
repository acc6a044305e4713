#pragma once
// Directories of the portability layer, and joining path components.
#include <cstdint>
#include "common/aErr.h"

#define aDIR_PATH_SEP "/"
#define aDIR_LIST_PATH_SIZE 2048
#define aDIR_MAX_COMPONENTS 10

struct aDirectoryListData {
  const char* path;      // the listed directory and the entry's name, joined
  uint32_t size;         // low 32 bits of the entry's size
  uint32_t isDirectory;  // 1 for a directory
};

// Return false to stop the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* reference);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, unsigned mode);
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference);
// aErrNotFound when the user has no home directory (no password entry and no HOME, or
// an empty one); aErrOverrun when it does not fit with its terminator. The buffer always
// holds a terminated text afterwards (empty on failure) when length is above 0.
aErr aDirectory_GetHomeDirectory(char* buffer, uint64_t length);
aErr aDirectory_JoinPath(char* buffer, uint64_t length, const char* first, const char* second);
// Components end with a null pointer; at most aDIR_MAX_COMPONENTS of them.
aErr aDirectory_BuildPath(char* buffer, uint64_t length, const char* first, ...);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, uint64_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, uint64_t size);
