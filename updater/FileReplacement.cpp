#include "FileReplacement.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> sSequence{0};

// "dir/name" gives "dir/.name.tmp<pid>-<n>"; a bare name stays in the
// working directory.
std::string sTemporaryPath(const std::string& target) {
    size_t slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return directory + "." + name + ".tmp" + std::to_string(getpid()) + "-" +
           std::to_string(sSequence.fetch_add(1));
}

// A target that is a symbolic link is replaced where the link points, so
// the link itself survives; a link to nowhere is replaced as it stands.
std::string sResolvedTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        return path;
    }
    return resolved;
}

// Makes the rename itself lasting. A directory that cannot be opened or
// flushed leaves the replacement done, only less certain to survive a power
// cut, so that is not reported.
void sSyncDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

FileReplacement::FileReplacement(const std::string& path)
    : target(sResolvedTarget(path)), temporary(sTemporaryPath(target)) {}

FileReplacement::~FileReplacement() {
    discard();
}

void FileReplacement::discard() {
    if (handle != nullptr) {
        aFile_Close(&handle);
    }
    if (created) {
        aFile_Delete(temporary.c_str());
        created = false;
    }
}

aFileRef FileReplacement::Open() {
    discard();
    error = 0;
    // What could not be opened in place cannot be replaced either.
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = EISDIR;
            return nullptr;
        }
        if (access(target.c_str(), W_OK) != 0) {
            error = errno;
            return nullptr;
        }
    }
    errno = 0;
    handle = aFile_Open(temporary.c_str(), aFileModeWrite);
    if (handle == nullptr) {
        error = errno != 0 ? errno : EINVAL;
        return nullptr;
    }
    created = true;
    return handle;
}

aErr FileReplacement::Commit() {
    if (handle == nullptr) {
        error = EBADF;
        return aErrIO;
    }
    // A full disk often shows only when the buffered rest is written out.
    errno = 0;
    if (aFile_Close(&handle) != aErrNone) {
        error = errno != 0 ? errno : EIO;
        discard();
        return aErrIO;
    }
    // Keep the permission bits of the file being replaced.
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        chmod(temporary.c_str(), st.st_mode & 07777);
    }
    int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        error = errno;
        if (fd >= 0) {
            close(fd);
        }
        discard();
        return aErrIO;
    }
    close(fd);
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
        discard();
        return aErrIO;
    }
    created = false;
    sSyncDirectoryOf(target);
    return aErrNone;
}
