// Named, non-recursive mutexes over the platform's threads, with the
// platform's answers mapped to aErr codes.
#ifndef QB_AMUTEX_H
#define QB_AMUTEX_H

#include "aError.h"

#include <cstddef>

struct aMutex;
typedef aMutex* aMutexRef;

// Longest name a mutex carries (a name must be shorter than this).
constexpr size_t aMUTEX_NAME_MAX = 256;

// A new unlocked mutex carrying name (null for none), or null when the name
// is 256 characters or longer or the mutex cannot be made.
aMutex* aMutex_Create(const char* name);

// aErrNone; aErrParam for an invalid mutex; aErrDuplicate when the calling
// thread already holds it; aErrResource when the system lacks resources;
// aErrUnknown for anything else.
aErr aMutex_Lock(aMutex* mutex);
// As aMutex_Lock, and aErrBusy when another thread (or the caller) holds it.
aErr aMutex_TryLock(aMutex* mutex);
// aErrPermission when the calling thread does not hold it.
aErr aMutex_Unlock(aMutex* mutex);
// Frees the mutex and clears the caller's handle. aErrParam for an invalid
// mutex; aErrBusy while it is held (the mutex and the handle are kept).
aErr aMutex_Destroy(aMutex** mutex);

// The name given at creation ("" for none); null for an invalid mutex.
const char* aMutex_GetName(const aMutex* mutex);

#endif
