// Test helpers for code that writes files and traces: the trace log
// captured into a string, a file-size limit standing in for a full disk,
// whole-file writes and reads, directory listings. (TempDir.h gives the
// scratch directory, RunProgram.h reads text files.)
#ifndef QB_TEST_FILE_FIXTURES_H
#define QB_TEST_FILE_FIXTURES_H

#include "Log.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace qbtest {

// Names of the entries of a directory, sorted.
inline std::vector<std::string> ListNames(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Sends the trace log of the given packages into a string while alive.
class LogCapture {
public:
    explicit LogCapture(uint32_t mask) : mask(mask) {
        stream = open_memstream(&data, &size);
        Log::SetOutput(stream);
        Log::ActivatePackage(mask);
    }
    ~LogCapture() {
        Log::DeactivatePackage(mask);
        Log::SetOutput(nullptr);
        fclose(stream);
        free(data);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        fflush(stream);
        return std::string(data, size);
    }

private:
    uint32_t mask;
    FILE* stream = nullptr;
    char* data = nullptr;
    size_t size = 0;
};

// A full disk for this process: files cannot grow beyond `bytes` while
// alive (writes past it fail with EFBIG instead of raising SIGXFSZ).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previous);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit saved = {};
    void (*previous)(int) = SIG_DFL;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace qbtest

#endif
