// Shared set-up of the fuzz targets: inputs are handed to the code under
// test as files (a memory file reached through /proc), the trace log is
// formatted but thrown away, and standard output is silenced.
#ifndef QB_FUZZ_SUPPORT_H
#define QB_FUZZ_SUPPORT_H

#include "Log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace qbfuzz {

// A file whose content is replaced by every input.
class InputFile {
public:
    InputFile() {
        fd = memfd_create("qbfuzz-input", 0);
        if (fd < 0) {
            perror("memfd_create");
            abort();
        }
        name = "/proc/self/fd/" + std::to_string(fd);
    }
    const std::string& set(const uint8_t* data, size_t size) {
        if (ftruncate(fd, 0) != 0 ||
            (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))) {
            abort();
        }
        return name;
    }
    const std::string& path() const { return name; }

private:
    int fd = -1;
    std::string name;
};

inline void quietLogging(uint32_t packages) {
    FILE* sink = fopen("/dev/null", "w");
    Log::SetOutput(sink);
    Log::ActivatePackage(packages);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
}

inline void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace qbfuzz

#endif
