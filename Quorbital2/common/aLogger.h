// A log writer: a thread that calls a callback with an open file and a link
// id over and over while it is enabled, for example to print a link's packet
// log as it fills.
#ifndef QB_ALOGGER_H
#define QB_ALOGGER_H

#include "aError.h"
#include "aFile.h"

#include <cstdint>

constexpr uint16_t aLOGGER_CHECK = 0xDEED;

// Called over and over on the logger's thread while it is enabled; it should
// wait a little itself when it has nothing to write.
typedef aErr (*aLoggerProc)(aFileRef file, int32_t linkId);

struct aLogger;
typedef aLogger* aLoggerRef;

// Opens path for appending, unbuffered; the logger, or null when the file
// cannot be opened or no callback is given.
aLogger* aLogger_Create(int32_t linkId, aLoggerProc callback, const char* path);
// Starts the thread (aErrNone when it already runs); aErrResource when it
// cannot be started, aErrParam for an invalid logger.
aErr aLogger_Enable(aLogger* logger);
// Stops the thread and waits for it; does nothing when called from the
// logger's own thread. aErrUnknown when the join fails.
aErr aLogger_Disable(aLogger* logger);
// Disables, closes the file, frees the logger and clears the handle.
// aErrBusy, with the logger left as it is, when called from its own thread.
aErr aLogger_Destroy(aLogger** logger);

#endif
