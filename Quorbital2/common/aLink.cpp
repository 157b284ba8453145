#include "aLink.h"

#include "aDebugging.h"
#include "aLinkManagerInternal.h"
#include "aStreamUSB.h"
#include "aTime.h"
#include "packetfifo.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using sClock = std::chrono::steady_clock;

// The link whose reader or writer runs on this thread, if any. Such a thread
// (a user filter, say) cannot stop, reset or destroy its own link: that
// would wait for itself.
thread_local const aLinkRecord* tOwnLink = nullptr;

bool sLive(const aLinkRecord* link) {
    return link != nullptr && link->check == aLINK_CHECK;
}

// The record of a live entry, or null.
aLinkRecord* sRecord(const aLinkEntryRef& entry) {
    return entry ? entry->link : nullptr;
}

class sMutexHeld {
public:
    explicit sMutexHeld(aMutex* mutex) : mutex_(mutex), held_(aMutex_Lock(mutex) == aErrNone) {}
    ~sMutexHeld() {
        if (held_) {
            aMutex_Unlock(mutex_);
        }
    }
    sMutexHeld(const sMutexHeld&) = delete;
    sMutexHeld& operator=(const sMutexHeld&) = delete;
    // False when the lock was not taken (the calling thread already holds it).
    bool held() const { return held_; }

private:
    aMutex* mutex_;
    bool held_;
};

// The control lock of a link. On the link's own reader thread (a user
// filter calling in) it is only taken when free: its holder may be waiting
// for that very thread to end.
class sControl {
public:
    explicit sControl(aLinkRecord* link) : lock_(link->control, std::defer_lock) {
        if (tOwnLink == link) {
            lock_.try_lock();
        } else {
            lock_.lock();
        }
    }
    bool held() const { return lock_.owns_lock(); }

private:
    std::unique_lock<std::mutex> lock_;
};

void sDestroyFifo(std::atomic<uint64_t>& fifo) {
    uint64_t id = fifo.exchange(0);
    if (id != 0) {
        aPacketFifo_Destroy(&id);
    }
}

// Packet log.

void sLogPacket(aLinkRecord* link, uint8_t direction, const aPacket* packet) {
    if (!link->packetLogOn) {
        return;
    }
    aMutex* lock = link->logLock;
    if (lock == nullptr) {
        return;
    }
    uint8_t bytes[aPACKET_MAXBYTES];
    bytes[0] = packet->address;
    bytes[1] = packet->length;
    memcpy(bytes + 2, packet->data, packet->length);
    sMutexHeld held(lock);
    if (link->packetLog != nullptr) {
        aPacketLog_Add(link->packetLog, direction, static_cast<uint8_t>(packet->length + 2), bytes);
    }
}

// Under control: drops the log (its lock stays with the record).
void sDropPacketLog(aLinkRecord* link) {
    link->packetLogOn = false;
    aMutex* lock = link->logLock;
    if (lock != nullptr) {
        sMutexHeld held(lock);
        if (link->packetLog != nullptr) {
            aPacketLog_Destroy(&link->packetLog);
        }
    }
    link->packetLogSize = 0;
}

// Synchronisation.

aPacket* sMakePacket(uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0; // an empty packet still needs a data pointer
    return aPacket_CreateWithData(address, length, length == 0 ? &none : data);
}

// Queues a burst of AD 00 packets and waits for the answers from the start.
void sStartSync(aLinkRecord* link) {
    link->status = aLINK_STATUS_SYNCING;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->assembling);
    aPacket* magic = sMakePacket(cmdMAGIC, 0, nullptr);
    bool queued = magic != nullptr;
    for (int i = 0; queued && i < aLINK_SYNC_BURST; i++) {
        queued = aPacketFifo_Put(link->outFifo, magic) == aErrNone;
    }
    aPacket_Destroy(&magic);
    if (queued) {
        link->syncState = kSyncStateByte1;
    }
}

// One incoming byte while synchronising: two empty packets in a row from the
// same even address restore framing.
void sSyncByte(aLinkRecord* link, uint8_t byte) {
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateIdle;
            link->status = aLINK_STATUS_RUNNING;
            aQuorbitalDebug(aQB_DEBUG_LINK, "link %d synchronised with module %d\n", link->id,
                            link->syncAddress.load());
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default: // idle, or a burst that could not be queued
        sStartSync(link);
        break;
    }
}

// A complete packet: logged, offered to the user filter, a heartbeat
// answered, anything else queued for readers.
aErr sHandlePacket(aLinkRecord* link) {
    aPacket* packet = link->assembling;
    sLogPacket(link, aPACKETLOG_FROM_MODULE, packet);
    bool consumed = false;
    {
        sMutexHeld held(link->filterLock);
        if (link->userFilter != nullptr) {
            // Only 1 means taken; any other answer passes the packet on.
            consumed = link->userFilter(packet, link->userFilterReference) == 1;
        }
    }
    aErr result = aErrNone;
    if (!consumed) {
        if (packet->length == 2 && packet->data[0] == cmdHEARTBEAT) {
            uint8_t x = packet->data[1];
            link->heartbeatState = 2 + x;
            if (x == 0) {
                aQuorbitalDebug(aQB_DEBUG_PACKETS, "sending HB UP\n");
            } else if (x == 1) {
                aQuorbitalDebug(aQB_DEBUG_PACKETS, "sending HB DOWN\n");
            }
            const uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(x + 2)};
            aPacket* reply = sMakePacket(packet->address, 2, answer);
            result = reply == nullptr ? aErrMemory : aPacketFifo_Put(link->outFifo, reply);
            aPacket_Destroy(&reply);
            link->heartbeatState = 0;
        } else {
            result = aPacketFifo_Put(link->inFifo, packet);
        }
    }
    aPacket_Reset(packet);
    return result;
}

// The reader: one byte per stream read.
void* sInPipeProcess(void* argument) {
    auto* link = static_cast<aLinkRecord*>(argument);
    tOwnLink = link;
    link->heartbeatState = 0;
    link->syncAddress = 1; // an address no module has
    link->inStarted = true;
    link->status = aLINK_STATUS_RUNNING;
    link->syncState = kSyncStateIdle;
    while (link->running) {
        uint8_t byte = 0;
        aErr read = aStream_Read(link->stream, &byte, 1);
        if (read == aErrNotReady) {
            // The stream waits a little itself before it answers this, so
            // going straight back to it does not spin.
            if (link->status == aLINK_STATUS_SYNCING) {
                sStartSync(link);
            }
            continue;
        }
        if (read != aErrNone) {
            link->status = aLINK_STATUS_IOERROR;
            aTime_MSSleep(aLINK_READ_ERROR_PAUSE_MS);
            continue;
        }
        if (link->status == aLINK_STATUS_SYNCING) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->assembling, byte) != aErrNone) {
            aQuorbitalDebug(aQB_DEBUG_PACKETS, "link %d lost framing at byte 0x%02X\n", link->id,
                            byte);
            sStartSync(link);
            continue;
        }
        if (aPacket_IsComplete(link->assembling) && sHandlePacket(link) != aErrNone) {
            link->status = aLINK_STATUS_QUEUEERROR;
        }
    }
    return nullptr;
}

// Writes one packet in one stream write and frees it. Called by the writer,
// and by aLink_Stop once the writer has ended.
void sWritePacket(aLinkRecord* link, aPacket** packet) {
    uint8_t bytes[aPACKET_MAXBYTES];
    bytes[0] = (*packet)->address;
    bytes[1] = (*packet)->length;
    memcpy(bytes + 2, (*packet)->data, (*packet)->length);
    aStream_Write(link->stream, bytes, 2u + (*packet)->length); // a failed write is not retried
    sLogPacket(link, aPACKETLOG_TO_MODULE, *packet);
    aPacket_Destroy(packet);
}

// The writer: the only thread that writes to the stream while the link runs.
void* sOutPipeProcess(void* argument) {
    auto* link = static_cast<aLinkRecord*>(argument);
    tOwnLink = link;
    link->outStarted = true;
    while (link->running) {
        aPacket* packet = aPacketFifo_Await(link->outFifo, aLINK_WRITER_WAIT_MS);
        if (packet != nullptr) {
            sWritePacket(link, &packet);
        }
    }
    aPacket* packet;
    while ((packet = aPacketFifo_Get(link->outFifo)) != nullptr) {
        sWritePacket(link, &packet);
    }
    return nullptr;
}

// Under control: (re)initialises the record around stream.
bool sInit(aLinkRecord* link, int32_t id, aStream* stream) {
    if (link->running) {
        return false;
    }
    uint64_t in = aPacketFifo_Create();
    uint64_t out = aPacketFifo_Create();
    aPacket* assembling = aPacket_Create();
    if (in == 0 || out == 0 || assembling == nullptr || link->filterLock == nullptr) {
        if (in != 0) {
            aPacketFifo_Destroy(&in);
        }
        if (out != 0) {
            aPacketFifo_Destroy(&out);
        }
        aPacket_Destroy(&assembling);
        return false;
    }
    // Whatever an earlier life of the record left goes.
    sDestroyFifo(link->inFifo);
    sDestroyFifo(link->outFifo);
    if (link->assembling != nullptr) {
        aPacket_Destroy(&link->assembling);
    }
    if (link->stream != nullptr && link->stream != stream) {
        aStream_Destroy(&link->stream);
    }
    sDropPacketLog(link);
    {
        sMutexHeld held(link->filterLock);
        link->userFilter = nullptr;
        link->userFilterReference = nullptr;
    }
    link->check = aLINK_CHECK;
    link->id = id;
    link->running = false;
    link->status = stream != nullptr ? aLINK_STATUS_STOPPED : aLINK_STATUS_NOSTREAM;
    link->inFifo = in;
    link->outFifo = out;
    link->inProcedure = sInPipeProcess;
    link->outProcedure = sOutPipeProcess;
    link->inStarted = false;
    link->outStarted = false;
    link->heartbeatState = 0;
    link->syncState = kSyncStateIdle;
    link->syncAddress = 1;
    link->assembling = assembling;
    link->stream = stream;
    return true;
}

// Under control: stops the threads.
aErr sStop(aLinkRecord* link) {
    int32_t status = link->status;
    if ((status == aLINK_STATUS_STOPPED || status == aLINK_STATUS_STOPPING) &&
        link->inThread == nullptr && link->outThread == nullptr) {
        return aErrNone;
    }
    link->status = aLINK_STATUS_STOPPING;
    aErr result = aErrNone;
    // `running` is cleared before force-route off is queued: the packet then
    // wakes a waiting writer, which sees at once that it must end, writes
    // what is queued and goes. Whatever it may have missed is written here
    // once it has ended, so the module still receives AF 01 00 before the
    // stream closes.
    link->running = false;
    if (link->inThread != nullptr && link->outThread != nullptr) {
        const uint8_t off = 0;
        aPacket* packet = sMakePacket(cmdFORCEROUTE, 1, &off);
        if (packet != nullptr) {
            aPacketFifo_Put(link->outFifo, packet);
            aPacket_Destroy(&packet);
        }
    }
    if (link->inThread != nullptr && aThread_Destroy(&link->inThread) != 0) {
        result = aErrUnknown;
    }
    if (link->outThread != nullptr && aThread_Destroy(&link->outThread) != 0) {
        result = aErrUnknown;
    }
    if (result == aErrNone) {
        aPacket* packet;
        while ((packet = aPacketFifo_Get(link->outFifo)) != nullptr) {
            sWritePacket(link, &packet);
        }
    }
    link->inStarted = false;
    link->outStarted = false;
    aPacket_Reset(link->assembling);
    link->status = aLINK_STATUS_STOPPED;
    link->heartbeatState = 0;
    return result;
}

// Under control: starts the threads and waits for them.
aErr sStart(aLinkRecord* link) {
    if (link->running) {
        return aErrNone;
    }
    link->running = true;
    link->status = aLINK_STATUS_STARTING;
    link->heartbeatState = 0;
    link->inStarted = false;
    link->outStarted = false;
    link->inThread = aThread_Create(link->inProcedure, link);
    if (link->inThread != nullptr) {
        link->outThread = aThread_Create(link->outProcedure, link);
    }
    if (link->inThread == nullptr || link->outThread == nullptr) {
        sStop(link);
        return aErrResource;
    }
    for (int i = 0; i < aLINK_POLL_COUNT; i++) {
        if (link->inStarted && link->outStarted && link->status == aLINK_STATUS_RUNNING) {
            return aErrNone;
        }
        aTime_MSSleep(aLINK_POLL_MS);
    }
    return aErrIndexRange;
}

// Under control: everything the record holds goes, then the record is dead.
void sTeardown(aLinkRecord* link) {
    if (link->filterLock != nullptr) {
        sMutexHeld held(link->filterLock);
        link->userFilter = nullptr;
        link->userFilterReference = nullptr;
    }
    sStop(link);
    sDestroyFifo(link->inFifo);
    sDestroyFifo(link->outFifo);
    if (link->assembling != nullptr) {
        aPacket_Destroy(&link->assembling);
    }
    sDropPacketLog(link);
    if (link->stream != nullptr) {
        aStream_Destroy(&link->stream);
    }
    link->check = 0;
}

// Waits for a packet the filter accepts while the link runs in status 2.
aPacket* sAwait(int32_t id, aPacketFilter filter, void* reference, uint32_t timeout) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return nullptr;
    }
    const sClock::time_point deadline = sClock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        uint64_t fifo = link->inFifo;
        if (!link->running || link->status != aLINK_STATUS_RUNNING || fifo == 0) {
            return nullptr;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - sClock::now());
        uint32_t wait = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
        aPacket* packet = aPacketFifo_AwaitFirst(fifo, filter, reference, wait);
        if (packet != nullptr || wait == 0 || sClock::now() >= deadline) {
            return packet;
        }
        // The FIFO went away under the wait (the link stops or is reset):
        // the next turn sees the new state.
    }
}

// Creation: a new stream for an entry's transport.
aErr sOpenStream(const aLinkManaged& entry, aStream** stream) {
    switch (entry.type) {
    case USB:
        return aStream_CreateUSB(entry.identifier, stream);
    case TCPIP:
        if (entry.port > UINT16_MAX) {
            return aErrParam;
        }
        return aStream_CreateSocket(entry.identifier, static_cast<uint16_t>(entry.port), stream);
    default:
        return aErrParam;
    }
}

// USB and TCP/IP links can be made again from their table entry. A TETHRA
// link would reconnect to its local link server, which does not exist yet;
// a serial entry does not keep its port, and a caller-made stream is the
// caller's.
bool sCanReopen(linkType type) {
    return type == USB || type == TCPIP;
}

// Sets up the link of an entry just added around stream (owned from here
// on), with its first holder, and starts it; synchronise and route as well
// when asked. Answers the id, or destroys the link and answers 0.
int32_t sBringUp(const aLinkEntryRef& entry, aStream* stream, bool synchroniseAndRoute) {
    int32_t id = entry->id;
    if (aLink_Init(id, stream) != id) {
        aStream_Destroy(&stream);
        aLink_Destroy(&id);
        return 0;
    }
    aLinkManager_SetUseCount(entry, 1);
    aErr result = aLink_Start(id);
    if (result == aErrNone && synchroniseAndRoute) {
        result = aLink_Sync(id);
        if (result == aErrNone) {
            result = aLink_ForceRoute(id, true);
        }
    }
    if (result != aErrNone) {
        aQuorbitalDebug(aQB_DEBUG_LINK, "link %d did not come up: %s\n", id,
                        aError_GetErrorText(result));
        aLink_Destroy(&id);
        return 0;
    }
    aLinkManager_SetReady(entry);
    aQuorbitalDebug(aQB_DEBUG_LINK, "link %d up\n", id);
    return id;
}

// Creators of shared links: true with the existing link's id (its use count
// raised), or with 0 when there is none and none may be added; else false
// with a new entry to set up in *entry.
bool sShared(const aLinkManager_Key& key, bool mayAdd, int32_t* id, aLinkEntryRef* entry) {
    aLinkManager_Acquired acquired = aLinkManager_Acquire(key, mayAdd);
    *id = 0;
    if (!acquired.entry || acquired.refused) {
        return true;
    }
    if (acquired.existing) {
        *id = acquired.entry->id;
        return true;
    }
    *entry = acquired.entry;
    return false;
}

} // namespace

aLinkRecord::aLinkRecord()
    : check(0), id(0), running(false), status(aLINK_STATUS_NOSTREAM), inFifo(0),
      assembling(nullptr), outFifo(0), inThread(nullptr), outThread(nullptr), inProcedure(nullptr),
      outProcedure(nullptr), inStarted(false), outStarted(false), stream(nullptr),
      heartbeatState(0), syncState(kSyncStateIdle), syncAddress(1), packetLog(nullptr),
      packetLogSize(0), logLock(nullptr), userFilter(nullptr), userFilterReference(nullptr),
      filterLock(nullptr), packetLogOn(false) {
    // Made with the record rather than by aLink_Init, so that it exists
    // before any other thread can find the record.
    char name[64];
    snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(this));
    filterLock = aMutex_Create(name);
}

aLinkRecord::~aLinkRecord() {
    // Normally aLink_Destroy has released everything but the two mutexes.
    sDestroyFifo(inFifo);
    sDestroyFifo(outFifo);
    if (assembling != nullptr) {
        aPacket_Destroy(&assembling);
    }
    if (packetLog != nullptr) {
        aPacketLog_Destroy(&packetLog);
    }
    if (stream != nullptr) {
        aStream_Destroy(&stream);
    }
    aMutex* lock = logLock.exchange(nullptr);
    if (lock != nullptr) {
        aMutex_Destroy(&lock);
    }
    if (filterLock != nullptr) {
        aMutex_Destroy(&filterLock);
    }
    check = 0;
}

// Creation.

int32_t aLink_CreateUSB(uint32_t serialNumber) {
    int32_t id;
    aLinkEntryRef entry;
    if (sShared({USB, serialNumber, 0}, true, &id, &entry)) {
        return id; // the existing link, or 0 when a server shares it
    }
    aStream* stream = nullptr;
    aErr opened = sOpenStream(*entry, &stream);
    if (opened != aErrNone) {
        aQuorbitalDebug(aQB_DEBUG_LINK, "link %d: module %08X not opened (%s)\n", entry->id,
                        serialNumber, aError_GetErrorText(opened));
        id = entry->id;
        aLink_Destroy(&id);
        return 0;
    }
    return sBringUp(entry, stream, true);
}

int32_t aLink_CreateTCPIP(uint32_t ipAddress, uint32_t port) {
    if (port > UINT16_MAX) {
        return 0;
    }
    int32_t id;
    aLinkEntryRef entry;
    if (sShared({TCPIP, ipAddress, port}, true, &id, &entry)) {
        return id;
    }
    aStream* stream = nullptr;
    aErr opened = sOpenStream(*entry, &stream);
    if (opened != aErrNone) {
        // Without a connection the link could only report status 6: it is
        // not made at all.
        aQuorbitalDebug(aQB_DEBUG_LINK, "link %d: no connection (%s)\n", entry->id,
                        aError_GetErrorText(opened));
        id = entry->id;
        aLink_Destroy(&id);
        return 0;
    }
    return sBringUp(entry, stream, false);
}

int32_t aLink_CreateSerial(uint32_t identifier, const char* portName, uint32_t baudRate) {
    int rateCode = -1;
    for (int i = 0; i < aSERIAL_RATE_COUNT; i++) {
        if (static_cast<uint32_t>(aSERIAL_RATES[i]) == baudRate) {
            rateCode = i;
        }
    }
    int32_t id;
    aLinkEntryRef entry;
    if (sShared({SERIAL, identifier, 0}, rateCode >= 0, &id, &entry)) {
        return id; // an existing link is shared whatever rate was asked
    }
    aStream* stream = nullptr;
    aErr opened = aStream_CreateSerialWaiting(portName, rateCode, 0, 0, 0,
                                              aSERIAL_LINK_READ_WAIT_MS, &stream);
    if (opened != aErrNone) {
        aQuorbitalDebug(aQB_DEBUG_LINK, "link %d: serial port not opened (%s)\n", entry->id,
                        aError_GetErrorText(opened));
        id = entry->id;
        aLink_Destroy(&id);
        return 0;
    }
    return sBringUp(entry, stream, false);
}

int32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress,
                           bool localOnly) {
    // Comes with the local link server; until it is built no USB link can be
    // shared through a server, and nothing is made.
    (void)serialNumber;
    (void)port;
    (void)interfaceAddress;
    (void)localOnly;
    return 0;
}

int32_t aLink_CreateClient(uint32_t ipAddress, uint32_t port, int32_t existingId) {
    // Comes with the local link server (its client stream); until it is
    // built there is no server to be a client of, and nothing is made.
    (void)ipAddress;
    (void)port;
    (void)existingId;
    return 0;
}

int32_t aLink_Create(aStream* stream) {
    if (!aVALIDSTREAM(stream)) {
        return 0;
    }
    aLinkEntryRef entry = aLinkManager_Add(INVALID, aLINK_ANY_IDENTIFIER, 0);
    if (!entry) {
        aStream_Destroy(&stream);
        return 0;
    }
    return sBringUp(entry, stream, false);
}

int32_t aLink_Init(int32_t id, aStream* stream) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return 0;
    }
    sControl control(link);
    return control.held() && sInit(link, id, stream) ? id : 0;
}

// Use.

int32_t aLink_GetStatus(int32_t id) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    return link == nullptr ? aLINK_STATUS_NOSTREAM : link->status.load();
}

aErr aLink_PutPacket(int32_t id, const aPacket* packet) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(int32_t id) {
    return aLink_GetFirst(id, nullptr, nullptr);
}

aPacket* aLink_AwaitPacket(int32_t id, uint32_t timeout) {
    return sAwait(id, nullptr, nullptr, timeout);
}

aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* reference) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    return link == nullptr ? nullptr : aPacketFifo_GetFirst(link->inFifo, filter, reference);
}

aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* reference, uint32_t timeout) {
    return sAwait(id, filter, reference, timeout);
}

size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* reference) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    return link == nullptr ? 0 : aPacketFifo_DrainPackets(link->inFifo, filter, reference);
}

aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* reference) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr || link->filterLock == nullptr) {
        return aErrParam;
    }
    sMutexHeld held(link->filterLock);
    if (!held.held()) {
        return aErrDuplicate; // called from the running filter itself
    }
    if (!sLive(link)) {
        return aErrParam;
    }
    link->userFilter = filter;
    link->userFilterReference = filter == nullptr ? nullptr : reference;
    return aErrNone;
}

aErr aLink_Start(int32_t id) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    if (link->running) {
        return aErrNone;
    }
    {
        sControl control(link);
        if (!control.held()) {
            return aErrBusy;
        }
        if (!sLive(link)) {
            return aErrParam;
        }
        if (link->running) {
            return aErrNone;
        }
        aErr started = sStart(link);
        if (started != aErrNone) {
            return started;
        }
    }
    return aLink_ForceRoute(id, true);
}

aErr aLink_Stop(aLinkRecord* link) {
    if (!sLive(link)) {
        return aErrParam;
    }
    if (tOwnLink == link) {
        return aErrBusy; // it would wait for its own thread
    }
    sControl control(link);
    return sStop(link);
}

aErr aLink_Sync(int32_t id) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    if (tOwnLink == link) {
        return aErrBusy; // the reader cannot synchronise while it waits here
    }
    sControl control(link);
    if (!sLive(link)) {
        return aErrParam;
    }
    // The reader starts a burst at its next idle read or byte.
    link->status = aLINK_STATUS_SYNCING;
    bool synchronised = false;
    for (int i = 0; i < aLINK_POLL_COUNT && !synchronised; i++) {
        aTime_MSSleep(aLINK_POLL_MS);
        synchronised = link->status == aLINK_STATUS_RUNNING;
    }
    // The answers to the rest of the burst arrive as empty packets.
    aPacketFifo_DrainPackets(link->outFifo, nullptr, nullptr);
    aTime_MSSleep(100);
    aPacketFifo_DrainPackets(link->inFifo, nullptr, nullptr);
    return synchronised ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(int32_t id, bool on) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    if (!entry) {
        return aErrNotFound;
    }
    aLinkRecord* link = entry->link;
    if (link == nullptr) {
        return aErrParam;
    }
    const uint8_t value = on ? 1 : 0;
    aPacket* packet = sMakePacket(cmdFORCEROUTE, 1, &value);
    if (packet == nullptr) {
        return aErrMemory;
    }
    aErr result = aPacketFifo_Put(link->outFifo, packet);
    aPacket_Destroy(&packet);
    return result;
}

aErr aLink_Reset(int32_t id) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    if (!sCanReopen(entry->type)) {
        // Checked before anything is stopped: a link whose stream cannot be
        // made again is left working.
        aQuorbitalDebug(aQB_DEBUG_LINK, "recreate invalid stream type\n");
        return aErrParam;
    }
    if (tOwnLink == link) {
        return aErrBusy;
    }
    aErr opened = aErrNone;
    {
        sControl control(link);
        if (!sLive(link)) {
            return aErrParam;
        }
        sStop(link);
        sDestroyFifo(link->inFifo);
        sDestroyFifo(link->outFifo);
        if (link->stream != nullptr) {
            aStream_Destroy(&link->stream);
        }
        aStream* stream = nullptr;
        for (int i = 0; i < aLINK_RESET_TRIES; i++) {
            opened = sOpenStream(*entry, &stream);
            if (opened == aErrNone) {
                break;
            }
            aTime_MSSleep(aLINK_RESET_PAUSE_MS);
        }
        if (!sInit(link, id, stream)) {
            aStream_Destroy(&stream);
            return aErrMemory;
        }
    }
    if (opened != aErrNone) {
        return opened;
    }
    return aLink_Start(id);
}

aErr aLink_Destroy(int32_t* id) {
    if (id == nullptr) {
        return aErrParam;
    }
    {
        aLinkRecord* own = sRecord(aLinkManager_Find(*id));
        if (own != nullptr && tOwnLink == own) {
            return aErrBusy; // cannot wait for the thread it runs on
        }
    }
    bool last = false;
    aLinkEntryRef entry = aLinkManager_Release(*id, &last);
    *id = 0;
    if (!entry) {
        return aErrParam;
    }
    if (!last) {
        return aErrNone;
    }
    int32_t parent = entry->parentId;
    {
        sControl control(entry->link);
        sTeardown(entry->link);
        // entry->server: a local link server is destroyed here once it exists.
    }
    if (parent != 0) {
        aLink_Destroy(&parent);
    }
    aLinkManager_Remove(entry);
    aQuorbitalDebug(aQB_DEBUG_LINK, "link %d destroyed\n", entry->id);
    return aErrNone;
}

// Packet log.

aErr aLink_PacketDebug_SetLogSize(int32_t id, int32_t size) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr || size > aPACKETLOG_MAX_SIZE) {
        return aErrParam;
    }
    sControl control(link);
    if (!control.held() || link->packetLog != nullptr) {
        return aErrBusy;
    }
    link->packetLogSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(int32_t id) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    sControl control(link);
    if (!control.held()) {
        return aErrBusy;
    }
    if (!sLive(link)) {
        return aErrParam;
    }
    if (link->logLock == nullptr) {
        char name[64];
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        aMutex* made = aMutex_Create(name);
        if (made == nullptr) {
            return aErrResource;
        }
        link->logLock = made;
    }
    {
        sMutexHeld held(link->logLock);
        if (link->packetLog == nullptr) {
            link->packetLog = aPacketLog_Create(link->packetLogSize);
            if (link->packetLog == nullptr) {
                return aErrMemory;
            }
        }
    }
    link->packetLogOn = true;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(int32_t id) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    sControl control(link);
    if (!control.held()) {
        return aErrBusy;
    }
    if (link->packetLog == nullptr) {
        return aErrNotReady;
    }
    link->packetLogOn = false;
    return aErrNone;
}

aErr aLink_PacketDebug_Read(int32_t id, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr || direction == nullptr || length == nullptr) {
        return aErrParam;
    }
    aMutex* lock = link->logLock;
    if (lock == nullptr) {
        return aErrNotFound;
    }
    sMutexHeld held(lock);
    if (link->packetLog == nullptr) {
        return aErrNotFound;
    }
    return aPacketLog_Read(link->packetLog, direction, length, buffer);
}

aErr aLink_PacketDebug_Write(int32_t id, uint8_t direction, uint8_t length, const uint8_t* bytes) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    aLinkRecord* link = sRecord(entry);
    if (link == nullptr) {
        return aErrParam;
    }
    aMutex* lock = link->logLock;
    if (lock == nullptr) {
        return aErrNotReady;
    }
    sMutexHeld held(lock);
    if (link->packetLog == nullptr) {
        return aErrNotReady;
    }
    return aPacketLog_Add(link->packetLog, direction, length, bytes);
}
