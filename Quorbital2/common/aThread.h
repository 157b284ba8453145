// Threads over the platform's threads: start with a procedure and an
// argument, end by joining.
#ifndef QB_ATHREAD_H
#define QB_ATHREAD_H

#include "aError.h"

typedef void* (*aThreadProc)(void* argument);

struct aThread;
typedef aThread* aThreadRef;

// Starts procedure(argument) on a new thread; its handle, or null when the
// thread cannot be started.
aThread* aThread_Create(aThreadProc procedure, void* argument);
// Joins the thread, frees the handle and clears it. Answers the join's
// result: 0 on success, else the system's error number (also for a missing
// handle, and when the calling thread is the one to be joined).
int aThread_Destroy(aThread** thread);
// Whether the calling thread is the one the handle names.
bool aThread_IsCurrent(const aThread* thread);
// Gives the processor away briefly (sleeps 5 microseconds).
void aThread_Yield();

#endif
