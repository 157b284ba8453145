// Directory operations and path building into caller buffers.
#ifndef QB_ADIRECTORY_H
#define QB_ADIRECTORY_H

#include "aError.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#define aDIR_PATH_SEP "/"

// Entry paths made while listing or removing a tree use buffers of this size.
constexpr size_t aDIRECTORY_ENTRY_PATH = 2048;

// The most components aDirectory_BuildPath joins.
constexpr int aDIRECTORY_MAX_COMPONENTS = 10;

struct aDirectoryListData {
    const char* path;    // listed directory, "/", entry name
    uint32_t size;       // low 32 bits of the entry's size
    int32_t isDirectory; // 1 for a directory, else 0
};

// Return true to go on listing, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* context);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, mode_t permissions);
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

// Joins up to ten components, the list ended by a null pointer. A separator
// is put between two components unless one of them already supplies it.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// The last place where pattern occurs in text; text itself for an empty
// pattern; null when the pattern does not occur or is longer than text.
const char* backwards_memcmp(const char* text, const char* pattern);

#endif
