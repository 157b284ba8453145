#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool isDirectory(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one directory; "already exists" counts as success.
bool makeOne(const std::string& path, mode_t permissions) {
    if (path.empty() || isDirectory(path.c_str())) {
        return true;
    }
    return mkdir(path.c_str(), permissions) == 0 || errno == EEXIST;
}

bool overlaps(const char* buffer, size_t size, const char* text) {
    if (text == nullptr) {
        return false;
    }
    size_t len = strlen(text) + 1;
    return text < buffer + size && buffer < text + len;
}

aErr buildPath(char* buffer, size_t size, const char* first, va_list args) {
    if (buffer == nullptr || size == 0 || first == nullptr) {
        return aErrParam;
    }
    std::vector<const char*> parts{first};
    for (const char* part = va_arg(args, const char*); part != nullptr;
         part = va_arg(args, const char*)) {
        if (parts.size() == static_cast<size_t>(aDIRECTORY_MAX_COMPONENTS)) {
            buffer[0] = '\0';
            return aErrParam;
        }
        parts.push_back(part);
    }
    for (const char* part : parts) {
        if (overlaps(buffer, size, part)) {
            return aErrParam; // the buffer may not be emptied: it is an input
        }
    }
    buffer[0] = '\0';

    size_t length = strlen(first);
    if (length >= size - 1) {
        return aErrOverrun;
    }
    memcpy(buffer, first, length + 1);
    for (size_t i = 1; i < parts.size(); ++i) {
        const char* part = parts[i];
        size_t room = size - length - 1;
        // An empty first component stays relative: no separator is put in
        // front of the next one.
        if (room > 1 && length > 0 && buffer[length - 1] != '/' && part[0] != '/') {
            buffer[length++] = '/';
            buffer[length] = '\0';
            --room;
        }
        size_t partLength = strlen(part);
        if (partLength >= room) {
            return aErrOverrun;
        }
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

} // namespace

const char* backwards_memcmp(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr) {
        return nullptr;
    }
    size_t textLength = strlen(text);
    size_t patternLength = strlen(pattern);
    if (patternLength == 0) {
        return text;
    }
    if (patternLength > textLength) {
        return nullptr;
    }
    for (size_t i = textLength - patternLength + 1; i-- > 0;) {
        if (memcmp(text + i, pattern, patternLength) == 0) {
            return text + i;
        }
    }
    return nullptr;
}

bool aDirectory_Exists(const char* path) {
    return isDirectory(path);
}

aErr aDirectory_Ensure(const char* path, mode_t permissions) {
    if (path == nullptr || path[0] == '\0') {
        return aErrParam;
    }
    if (isDirectory(path)) {
        return aErrNone;
    }
    std::string work(path);

    // Walk back to the deepest ancestor that exists; creation starts after it.
    size_t start = 0;
    std::string probe = work;
    while (true) {
        const char* sep = backwards_memcmp(probe.c_str(), aDIR_PATH_SEP);
        if (sep == nullptr) {
            start = 0;
            break;
        }
        size_t cut = static_cast<size_t>(sep - probe.c_str());
        probe.resize(cut);
        if (cut == 0) {
            start = 0; // only the root is left, which exists
            break;
        }
        if (isDirectory(probe.c_str())) {
            start = cut + 1;
            break;
        }
    }

    bool failed = false;
    for (size_t pos = work.find('/', start); pos != std::string::npos && !failed;
         pos = work.find('/', pos + 1)) {
        std::string part = work.substr(0, pos);
        if (part.empty() || part.back() == '/') {
            continue; // a leading or doubled separator names no new directory
        }
        if (!makeOne(part, permissions)) {
            failed = true;
        }
    }
    if (!failed && !makeOne(work, permissions)) {
        failed = true;
    }
    // A file standing where the directory belongs is a failure too.
    if (!failed && !isDirectory(path)) {
        failed = true;
    }
    return failed ? aErrPermission : aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context) {
    if (path == nullptr || callback == nullptr) {
        return aErrParam;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return aErrNotFound;
    }
    char entryPath[aDIRECTORY_ENTRY_PATH];
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (aDirectory_BuildPath(entryPath, sizeof entryPath, path, entry->d_name, nullptr) !=
            aErrNone) {
            continue;
        }
        struct stat st;
        if (stat(entryPath, &st) != 0) {
            continue;
        }
        aDirectoryListData data{entryPath, static_cast<uint32_t>(st.st_size),
                                S_ISDIR(st.st_mode) ? 1 : 0};
        if (!callback(&data, context)) {
            break;
        }
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (path == nullptr) {
        return aErrParam;
    }
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (path == nullptr) {
        return aErrParam;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return aErrNotFound;
    }
    aErr result = aErrNone;
    char entryPath[aDIRECTORY_ENTRY_PATH];
    for (struct dirent* entry = readdir(dir); entry != nullptr && result == aErrNone;
         entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        if (aDirectory_BuildPath(entryPath, sizeof entryPath, path, entry->d_name, nullptr) !=
            aErrNone) {
            result = aErrUnknown;
            break;
        }
        // lstat: a link to a directory is removed as a link, never followed.
        struct stat st;
        if (lstat(entryPath, &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            aDirectory_DeleteTree(entryPath);
        } else if (unlink(entryPath) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entryPath);
            result = aErrUnknown;
        }
    }
    closedir(dir);
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    buffer[0] = '\0';
    const char* home = nullptr;
    struct passwd entry;
    struct passwd* found = nullptr;
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
    if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        home = found->pw_dir;
    } else {
        home = getenv("HOME");
    }
    if (home == nullptr) {
        return aErrNotFound;
    }
    snprintf(buffer, size, "%s", home);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, nullptr);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    va_list args;
    va_start(args, first);
    aErr result = buildPath(buffer, size, first, args);
    va_end(args);
    return result;
}
