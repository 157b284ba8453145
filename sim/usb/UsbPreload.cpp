#include "UsbPreload.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace qbsim::usb {

namespace {

// Set in the environment of the re-executed program so that it never loops.
constexpr const char* kReexecMark = "QBSIM_USB_PRELOAD_REEXEC";

} // namespace

bool preloadActive() {
    void* handle = dlopen(kPreloadLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

bool preloadInstalled() {
#ifdef QBSIM_UMOCKDEV_PRELOAD_PATH
    if (access(QBSIM_UMOCKDEV_PRELOAD_PATH, R_OK) == 0) {
        return true;
    }
#endif
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib64",
                            "/usr/lib", "/usr/local/lib"}) {
        std::string path = std::string(dir) + "/" + kPreloadLibrary;
        if (access(path.c_str(), R_OK) == 0) {
            return true;
        }
    }
    return false;
}

std::string preloadValue() {
    const char* current = std::getenv("LD_PRELOAD");
    std::string value = current != nullptr ? current : "";
    if (value.find(kPreloadLibrary) != std::string::npos) {
        return value;
    }
    return value.empty() ? std::string(kPreloadLibrary) : value + ":" + kPreloadLibrary;
}

std::string asanOptionsWithPreload() {
    // The preload library comes before the sanitizer runtime in the library
    // list, which AddressSanitizer would otherwise refuse.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr ? asan : "";
    if (options.find("verify_asan_link_order") == std::string::npos) {
        options += options.empty() ? "" : ":";
        options += "verify_asan_link_order=0";
    }
    return options;
}

void reexecWithPreload(int argc, char** argv) {
    (void)argc;
    if (preloadActive() || std::getenv(kReexecMark) != nullptr || !preloadInstalled()) {
        return;
    }
    setenv("LD_PRELOAD", preloadValue().c_str(), 1);
    setenv("ASAN_OPTIONS", asanOptionsWithPreload().c_str(), 1);
    setenv(kReexecMark, "1", 1);
    execv("/proc/self/exe", argv);
    // Could not start again: go on without devices.
    unsetenv(kReexecMark);
}

} // namespace qbsim::usb
