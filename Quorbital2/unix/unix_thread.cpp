// aThread over POSIX threads.
#include "aThread.h"

#include <cerrno>
#include <cstdint>
#include <new>
#include <pthread.h>
#include <time.h>

struct aThread {
    pthread_t thread;
    uint16_t check;
};

namespace {

constexpr uint16_t sTHREADCHECK = 0x7ead;

bool sValid(const aThread* thread) {
    return thread != nullptr && thread->check == sTHREADCHECK;
}

} // namespace

aThread* aThread_Create(aThreadProc procedure, void* argument) {
    if (procedure == nullptr) {
        return nullptr;
    }
    auto* thread = new (std::nothrow) aThread;
    if (thread == nullptr) {
        return nullptr;
    }
    if (pthread_create(&thread->thread, nullptr, procedure, argument) != 0) {
        delete thread;
        return nullptr;
    }
    thread->check = sTHREADCHECK;
    return thread;
}

int aThread_Destroy(aThread** reference) {
    if (reference == nullptr || !sValid(*reference)) {
        return EINVAL;
    }
    aThread* thread = *reference;
    if (pthread_equal(thread->thread, pthread_self())) {
        return EDEADLK; // a thread cannot wait for its own end
    }
    int result = pthread_join(thread->thread, nullptr);
    if (result != 0) {
        return result;
    }
    thread->check = 0;
    delete thread;
    *reference = nullptr;
    return 0;
}

bool aThread_IsCurrent(const aThread* thread) {
    return sValid(thread) && pthread_equal(thread->thread, pthread_self());
}

void aThread_Yield() {
    timespec pause{0, 5000};
    nanosleep(&pause, nullptr);
}
