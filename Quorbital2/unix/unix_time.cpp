// Wall-clock milliseconds and sleeps.
#include "aTime.h"

#include <cerrno>
#include <time.h>

uint64_t aTime_GetMSTicks() {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

aErr aTime_MSSleep(uint32_t ms) {
    while (ms > 0) {
        // Slices of less than a second keep every request within what the
        // system's sleep takes in its nanoseconds field.
        uint32_t slice = ms > 999 ? 999 : ms;
        timespec pause{0, static_cast<long>(slice) * 1000000L};
        timespec rest;
        while (nanosleep(&pause, &rest) != 0 && errno == EINTR) {
            pause = rest;
        }
        ms -= slice;
    }
    return aErrNone;
}
