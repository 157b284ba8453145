// Plain file access through a validated handle. Every operation answers an
// aErr code (or a boolean / handle where stated) and never raises or logs.
#ifndef QB_AFILE_H
#define QB_AFILE_H

#include "aError.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Paths longer than this are refused by the operations that take a path.
constexpr size_t aFILE_MAX_PATH = 4096;

// Validity mark of an open handle.
constexpr uint32_t aFILE_CHECK = 0xFEED;

enum aFileMode : uint32_t {
    aFileModeRead = 0,
    aFileModeWrite = 1,
    aFileModeAppend = 2,
};

struct aFileHandle {
    FILE* stream;
    uint32_t mode;
    uint32_t check;
};
typedef aFileHandle* aFileRef;

inline bool aVALIDFILE(const aFileHandle* handle) {
    return handle != nullptr && handle->check == aFILE_CHECK;
}

// Seek origins.
enum aFileSeekOrigin : int {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
};

bool aFile_Exists(const char* path);
aFileRef aFile_Open(const char* path, uint32_t mode);
aErr aFile_Close(aFileRef* handle);
aErr aFile_Read(aFileRef handle, void* buffer, size_t length, size_t* count);
aErr aFile_Write(aFileRef handle, const void* data, size_t length, size_t* count);
aErr aFile_ReadLine(aFileRef handle, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFileRef handle, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_GetSize(aFileRef handle, size_t* size);
aErr aFile_Seek(aFileRef handle, uint64_t offset, int origin);
aErr aFile_GetPosition(aFileRef handle, size_t* position);
aErr aFile_SetUnbuffered(aFileRef handle);
aErr aFile_Delete(const char* path);

#endif
