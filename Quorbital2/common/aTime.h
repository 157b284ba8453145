// Wall-clock time and sleeps.
#ifndef QB_ATIME_H
#define QB_ATIME_H

#include "aError.h"

#include <cstdint>

// Milliseconds since the epoch by the wall clock; 0 when it cannot be read.
uint64_t aTime_GetMSTicks();
// Returns at once for 0; otherwise sleeps ms milliseconds, in slices of
// less than a second.
aErr aTime_MSSleep(uint32_t ms);

#endif
