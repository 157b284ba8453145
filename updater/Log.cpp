#include "Log.h"

#include <cstdarg>

void Log::log(uint32_t mask, const char* format, ...) {
    if (mask != 0 && (package_bitmask & mask) == 0) {
        return;
    }
    char text[BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    FILE* out = fh;
    if (out != nullptr) {
        fwrite(text, 1, length, out);
    }
}
