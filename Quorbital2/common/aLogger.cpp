#include "aLogger.h"

#include "aThread.h"

#include <atomic>
#include <mutex>
#include <new>

struct aLogger {
    uint16_t check;
    int32_t linkId;
    aLoggerProc callback;
    aFileRef file;
    std::atomic<bool> enabled;
    aThread* thread;
    std::mutex control; // enable, disable and destroy one at a time
};

namespace {

bool sValid(const aLogger* logger) {
    return logger != nullptr && logger->check == aLOGGER_CHECK;
}

// The logger whose thread this is, if any.
thread_local const aLogger* tOwnLogger = nullptr;

void* sLoggerProcess(void* argument) {
    auto* logger = static_cast<aLogger*>(argument);
    tOwnLogger = logger;
    while (logger->enabled) {
        logger->callback(logger->file, logger->linkId);
    }
    return nullptr;
}

} // namespace

aLogger* aLogger_Create(int32_t linkId, aLoggerProc callback, const char* path) {
    if (callback == nullptr) {
        return nullptr;
    }
    aFileRef file = aFile_Open(path, aFileModeAppend);
    if (file == nullptr) {
        return nullptr;
    }
    aFile_SetUnbuffered(file);
    auto* logger = new (std::nothrow) aLogger;
    if (logger == nullptr) {
        aFile_Close(&file);
        return nullptr;
    }
    logger->linkId = linkId;
    logger->callback = callback;
    logger->file = file;
    logger->enabled = false;
    logger->thread = nullptr;
    logger->check = aLOGGER_CHECK;
    return logger;
}

aErr aLogger_Enable(aLogger* logger) {
    if (!sValid(logger)) {
        return aErrParam;
    }
    std::lock_guard<std::mutex> guard(logger->control);
    if (logger->thread != nullptr) {
        return aErrNone;
    }
    logger->enabled = true;
    logger->thread = aThread_Create(sLoggerProcess, logger);
    if (logger->thread == nullptr) {
        logger->enabled = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
    if (!sValid(logger)) {
        return aErrParam;
    }
    if (tOwnLogger == logger) {
        return aErrNone; // the callback cannot wait for its own thread
    }
    std::lock_guard<std::mutex> guard(logger->control);
    logger->enabled = false;
    if (logger->thread != nullptr && aThread_Destroy(&logger->thread) != 0) {
        return aErrUnknown;
    }
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** reference) {
    if (reference == nullptr || !sValid(*reference)) {
        return aErrParam;
    }
    aLogger* logger = *reference;
    if (tOwnLogger == logger) {
        // Its thread would go on running on a freed logger.
        return aErrBusy;
    }
    aErr result = aLogger_Disable(logger);
    if (result != aErrNone) {
        return result; // its thread still runs: the logger must stay
    }
    aFile_Close(&logger->file);
    logger->check = 0;
    delete logger;
    *reference = nullptr;
    return aErrNone;
}
