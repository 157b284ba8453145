#include "aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool pathUsable(const char* path) {
    return path != nullptr && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool canRead(const aFileHandle* h) {
    return h->mode == aFileModeRead || h->mode == aFileModeAppend;
}

bool canWrite(const aFileHandle* h) {
    return h->mode == aFileModeWrite || h->mode == aFileModeAppend;
}

} // namespace

bool aFile_Exists(const char* path) {
    if (!pathUsable(path)) {
        return false;
    }
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, uint32_t mode) {
    const char* fmode = nullptr;
    switch (mode) {
    case aFileModeRead:
        fmode = "rb";
        break;
    case aFileModeWrite:
        fmode = "wb";
        break;
    case aFileModeAppend:
        fmode = "a+b";
        break;
    default:
        return nullptr;
    }
    if (!pathUsable(path) || path[0] == '\0') {
        return nullptr;
    }
    auto* handle = new (std::nothrow) aFileHandle{nullptr, mode, 0};
    if (handle == nullptr) {
        return nullptr;
    }
    handle->stream = fopen(path, fmode);
    if (handle->stream == nullptr) {
        int saved = errno; // callers report the system's reason
        delete handle;
        errno = saved;
        return nullptr;
    }
    // Reading in "a+" starts at the beginning; this mode starts at the end.
    if (mode == aFileModeAppend && fseek(handle->stream, 0, SEEK_END) != 0) {
        int saved = errno;
        fclose(handle->stream);
        delete handle;
        errno = saved;
        return nullptr;
    }
    handle->check = aFILE_CHECK;
    return handle;
}

aErr aFile_Close(aFileRef* handle) {
    if (handle == nullptr) {
        return aErrParam;
    }
    aFileRef h = *handle;
    *handle = nullptr;
    if (!aVALIDFILE(h)) {
        return aErrParam;
    }
    int rc = fclose(h->stream);
    h->check = 0;
    h->stream = nullptr;
    delete h;
    return rc == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef handle, void* buffer, size_t length, size_t* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    if (!canRead(handle)) {
        return aErrMode;
    }
    if (buffer == nullptr) {
        return aErrParam;
    }
    size_t n = fread(buffer, 1, length, handle->stream);
    if (count != nullptr) {
        *count = n;
    }
    if (n == 0 && length > 0) {
        return aErrEOF;
    }
    return aErrNone;
}

aErr aFile_Write(aFileRef handle, const void* data, size_t length, size_t* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    if (!canWrite(handle)) {
        return aErrMode;
    }
    if (data == nullptr) {
        return aErrParam;
    }
    size_t n = fwrite(data, 1, length, handle->stream);
    if (count != nullptr) {
        *count = n;
    }
    if (n == 0 && length > 0) {
        return aErrIO;
    }
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef handle, char* buffer, size_t size, size_t* length) {
    if (length != nullptr) {
        *length = 0;
    }
    if (buffer != nullptr && size > 0) {
        buffer[0] = '\0';
    }
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    if (!canRead(handle)) {
        return aErrMode;
    }
    // A buffer must hold at least one character and the terminator, or no
    // call could ever make progress through the file.
    if (buffer == nullptr || size < 2) {
        return aErrParam;
    }
    int want = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
    if (fgets(buffer, want, handle->stream) == nullptr) {
        buffer[0] = '\0';
        return ferror(handle->stream) ? aErrIO : aErrEOF;
    }
    size_t n = strlen(buffer);
    if (length != nullptr) {
        *length = n;
    }
    if (n == static_cast<size_t>(want) - 1 && buffer[n - 1] != '\n') {
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFileRef handle, const char* format, ...) {
    if (!aVALIDFILE(handle) || format == nullptr) {
        return aErrParam;
    }
    if (!canWrite(handle)) {
        return aErrMode;
    }
    va_list args;
    va_start(args, format);
    int rc = vfprintf(handle->stream, format, args);
    va_end(args);
    return rc < 0 ? aErrIO : aErrNone;
}

aErr aFile_GetSize(aFileRef handle, size_t* size) {
    if (size == nullptr) {
        return aErrParam;
    }
    *size = 0;
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    off_t here = ftello(handle->stream);
    if (here < 0 || fseeko(handle->stream, 0, SEEK_END) != 0) {
        return aErrIO;
    }
    off_t end = ftello(handle->stream);
    if (fseeko(handle->stream, here, SEEK_SET) != 0 || end < 0) {
        return aErrIO;
    }
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_Seek(aFileRef handle, uint64_t offset, int origin) {
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    off_t here = ftello(handle->stream);
    if (here < 0 || fseeko(handle->stream, 0, SEEK_END) != 0) {
        return aErrIO;
    }
    off_t end = ftello(handle->stream);
    if (end < 0 || fseeko(handle->stream, here, SEEK_SET) != 0) {
        return aErrIO;
    }
    uint64_t base = 0;
    switch (origin) {
    case aSeekStart:
        base = 0;
        break;
    case aSeekCurrent:
        base = static_cast<uint64_t>(here);
        break;
    case aSeekEnd:
        base = static_cast<uint64_t>(end);
        break;
    default:
        return aErrParam;
    }
    auto target = static_cast<int64_t>(base + offset);
    if (target < 0 || target > static_cast<int64_t>(end)) {
        return aErrRange;
    }
    return fseeko(handle->stream, static_cast<off_t>(target), SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetPosition(aFileRef handle, size_t* position) {
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    off_t here = ftello(handle->stream);
    if (here < 0) {
        return aErrIO;
    }
    if (position != nullptr) {
        *position = static_cast<size_t>(here);
    }
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef handle) {
    if (!aVALIDFILE(handle)) {
        return aErrParam;
    }
    if (!canWrite(handle)) {
        return aErrMode;
    }
    return setvbuf(handle->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Delete(const char* path) {
    if (path == nullptr) {
        return aErrParam;
    }
    if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) {
        return aErrFileNameLength;
    }
    if (unlink(path) == 0) {
        return aErrNone;
    }
    switch (errno) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
    case EPERM:
        return aErrPermission;
    default:
        return aErrIO;
    }
}
