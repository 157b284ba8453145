#include "aDebugging.h"

#include <cstdarg>
#include <cstdio>

std::atomic<bool> aQuorbitalDebuggingEnable{false};
std::atomic<uint32_t> aQuorbitalDebuggingLevel{0};

void aQuorbitalDebug(uint32_t area, const char* format, ...) {
    if (!aQuorbitalDebugging(area)) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}
