#include "aPacketDebug.h"

#include <cstring>
#include <new>

struct aPacketLog {
    uint8_t* ring;
    uint32_t capacity;
    uint32_t head;  // next byte to read
    uint32_t count; // bytes held; at most capacity - 1
};

namespace {

void sPut(aPacketLog* log, uint8_t byte) {
    log->ring[(log->head + log->count) % log->capacity] = byte;
    log->count++;
}

uint8_t sPeek(const aPacketLog* log, uint32_t offset) {
    return log->ring[(log->head + offset) % log->capacity];
}

void sDrop(aPacketLog* log, uint32_t bytes) {
    log->head = (log->head + bytes) % log->capacity;
    log->count -= bytes;
}

// Size of the oldest record.
uint32_t sFrontSize(const aPacketLog* log) {
    return 2u + sPeek(log, 1);
}

} // namespace

aPacketLog* aPacketLog_Create(int32_t capacity) {
    if (capacity > aPACKETLOG_MAX_SIZE) {
        return nullptr;
    }
    if (capacity <= 0) {
        capacity = aPACKETLOG_DEFAULT_SIZE;
    }
    auto* log = new (std::nothrow) aPacketLog{};
    if (log == nullptr) {
        return nullptr;
    }
    log->ring = new (std::nothrow) uint8_t[static_cast<uint32_t>(capacity)];
    if (log->ring == nullptr) {
        delete log;
        return nullptr;
    }
    log->capacity = static_cast<uint32_t>(capacity);
    return log;
}

aErr aPacketLog_Add(aPacketLog* log, uint8_t direction, uint8_t length, const uint8_t* bytes) {
    if (log == nullptr || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    uint32_t size = 2u + length;
    if (size >= log->capacity) {
        return aErrOverrun;
    }
    // One byte of the ring always stays free, so a record fits when the
    // held bytes and it stay below the capacity.
    while (log->count + size > log->capacity - 1) {
        sDrop(log, sFrontSize(log));
    }
    sPut(log, direction);
    sPut(log, length);
    for (uint32_t i = 0; i < length; i++) {
        sPut(log, bytes[i]);
    }
    return aErrNone;
}

aErr aPacketLog_Read(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
    if (log == nullptr || direction == nullptr || length == nullptr) {
        return aErrParam;
    }
    if (log->count == 0) {
        return aErrNotFound;
    }
    uint8_t recordLength = sPeek(log, 1);
    if (*length < recordLength || (buffer == nullptr && recordLength > 0)) {
        return aErrOverrun;
    }
    *direction = sPeek(log, 0);
    for (uint32_t i = 0; i < recordLength; i++) {
        buffer[i] = sPeek(log, 2 + i);
    }
    *length = recordLength;
    sDrop(log, 2u + recordLength);
    return aErrNone;
}

int32_t aPacketLog_Capacity(const aPacketLog* log) {
    return log == nullptr ? 0 : static_cast<int32_t>(log->capacity);
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (log == nullptr || *log == nullptr) {
        return aErrParam;
    }
    delete[](*log)->ring;
    delete *log;
    *log = nullptr;
    return aErrNone;
}
