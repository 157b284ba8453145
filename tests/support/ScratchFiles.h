// Test helpers: a scratch directory removed with its contents, the trace
// log captured into a string, whole-file reads and writes.
#ifndef QB_TESTS_SCRATCHFILES_H
#define QB_TESTS_SCRATCHFILES_H

#include "Log.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace qbtest {

class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qbtest-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root = buffer.data();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return root; }
    std::string operator/(const std::string& name) const { return root + "/" + name; }

    // Names of the entries of a directory below the root ("" for the root).
    std::vector<std::string> list(const std::string& sub = "") const {
        std::vector<std::string> names;
        for (const auto& entry :
             std::filesystem::directory_iterator(sub.empty() ? root : root + "/" + sub)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

private:
    std::string root;
};

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

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

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
