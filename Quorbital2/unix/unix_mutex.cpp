// aMutex over POSIX mutexes of the error-checking kind, so that a second lock
// by the holder and an unlock by another thread are reported, not undefined.
#include "aMutex.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_MAX];
    uint16_t check;
};

namespace {

constexpr uint16_t sMUTEXCHECK = 0x1234;

bool sValid(const aMutex* mutex) {
    return mutex != nullptr && mutex->check == sMUTEXCHECK;
}

aErr sMap(int result) {
    switch (result) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EDEADLK:
        return aErrDuplicate;
    case EBUSY:
        return aErrBusy;
    case EPERM:
        return aErrPermission;
    case EAGAIN:
    case ENOMEM:
        return aErrResource;
    default:
        return aErrUnknown;
    }
}

} // namespace

aMutex* aMutex_Create(const char* name) {
    size_t length = name == nullptr ? 0 : strnlen(name, aMUTEX_NAME_MAX);
    if (length >= aMUTEX_NAME_MAX) {
        return nullptr;
    }
    auto* mutex = new (std::nothrow) aMutex;
    if (mutex == nullptr) {
        return nullptr;
    }
    pthread_mutexattr_t attributes;
    bool made = pthread_mutexattr_init(&attributes) == 0;
    if (made) {
        made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
               pthread_mutex_init(&mutex->mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    if (!made) {
        delete mutex;
        return nullptr;
    }
    memcpy(mutex->name, name == nullptr ? "" : name, length);
    mutex->name[length] = '\0';
    mutex->check = sMUTEXCHECK;
    return mutex;
}

aErr aMutex_Lock(aMutex* mutex) {
    if (!sValid(mutex)) {
        return aErrParam;
    }
    return sMap(pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) {
    if (!sValid(mutex)) {
        return aErrParam;
    }
    return sMap(pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) {
    if (!sValid(mutex)) {
        return aErrParam;
    }
    return sMap(pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** reference) {
    if (reference == nullptr || !sValid(*reference)) {
        return aErrParam;
    }
    aMutex* mutex = *reference;
    // A held mutex is refused before the system sees it: destroying a locked
    // mutex is undefined there.
    int held = pthread_mutex_trylock(&mutex->mutex);
    if (held != 0) {
        return held == EBUSY ? aErrBusy : sMap(held);
    }
    pthread_mutex_unlock(&mutex->mutex);
    int result = pthread_mutex_destroy(&mutex->mutex);
    if (result != 0) {
        return sMap(result);
    }
    mutex->check = 0;
    delete mutex;
    *reference = nullptr;
    return aErrNone;
}

const char* aMutex_GetName(const aMutex* mutex) {
    return sValid(mutex) ? mutex->name : nullptr;
}
