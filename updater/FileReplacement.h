// Replaces a file as a whole or not at all. The new content goes into a
// temporary file in the target's directory, which is flushed to the disk and
// renamed over the target only once everything was written. A crash or a
// full disk half-way leaves the old file as it was. The temporary name
// begins with ".", so the store's listings pass over one left by a crash.
// A target that is a symbolic link is replaced where the link points.
#ifndef UPDATER_FILEREPLACEMENT_H
#define UPDATER_FILEREPLACEMENT_H

#include "aError.h"
#include "aFile.h"

#include <string>

class FileReplacement {
public:
    explicit FileReplacement(const std::string& target);
    // Removes the temporary file unless Commit succeeded.
    ~FileReplacement();

    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Opens the temporary file for writing; null when the target cannot be
    // written (it is a directory, or its directory cannot take a new file).
    // Error() then holds the system's reason.
    aFileRef Open();

    // Closes the temporary file, flushes it to the disk and renames it over
    // the target. aErrIO, with Error() set, when any of that fails; the
    // target is then untouched.
    aErr Commit();

    // The system error number of the last failure (0 when none).
    int Error() const { return error; }

    const std::string& TemporaryPath() const { return temporary; }

private:
    void discard();

    std::string target;
    std::string temporary;
    aFileRef handle = nullptr;
    bool created = false;
    int error = 0;
};

#endif
