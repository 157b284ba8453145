// Packet FIFOs: thread-safe queues of packets named by process-wide ids.
//
// Readers take the oldest packet, or the oldest one a filter accepts, with or
// without waiting. Every store wakes all waiters, so several readers with
// different filters can wait on one FIFO. A FIFO that would hold more than
// 1000 packets is emptied. Ids are never 0 and never reused; an unknown or
// destroyed id behaves as an empty FIFO. Packets handed out are fresh copies
// that belong to the caller.
#ifndef QB_PACKETFIFO_H
#define QB_PACKETFIFO_H

#include "aError.h"
#include "aPacket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

// Most packets a FIFO holds; a store beyond it empties the FIFO.
constexpr size_t aPACKETFIFO_MAX = 1000;

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// One queued packet with its sequence id. Movable, not copyable.
struct SerialPacket {
    int64_t id;
    std::unique_ptr<aPacket, aPacketDeleter> packet;
};

struct packetFifo {
    std::deque<SerialPacket> queue; // oldest first
    std::condition_variable condition;
    std::mutex lock; // guards the queue
    std::atomic<bool> active{true};
    // Id of the oldest queued packet, or of the next packet when empty.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};
    // Counts stores, so that a waiter can watch for one without the lock.
    std::atomic<uint64_t> stores{0};
};

// How long a waiter watches for a store before it sleeps on the condition.
// A reply usually arrives within this time of its request, and catching it
// awake saves the wake-up of a sleeping thread, which is what dominates a
// request-and-reply exchange between the link's threads.
constexpr uint32_t aPACKETFIFO_SPIN_US = 200;

// The directory of all FIFOs, guarded by its mutex (held only for lookup,
// insertion and removal, never while waiting).
extern std::map<uint64_t, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
extern std::mutex gpPacketFifoDictionaryMutex;
// Source of FIFO ids: starts at 1, 0 is never handed out.
extern std::atomic<uint64_t> gpSequentialId;

// A new FIFO's id, or 0 when it cannot be made.
uint64_t aPacketFifo_Create();
// Removes the FIFO, empties it, wakes every waiter and clears the caller's id.
// aErrParam without an id pointer, aErrNotFound for an unknown id.
aErr aPacketFifo_Destroy(uint64_t* id);
// Number of queued packets; 0 for an unknown id.
size_t aPacketFifo_GetLength(uint64_t id);
// Stores a copy of the packet; the caller keeps its own. aErrParam for an
// unknown id or an invalid packet, aErrResource when storing fails.
aErr aPacketFifo_Put(uint64_t id, const aPacket* packet);
// The oldest packet, or null when there is none.
aPacket* aPacketFifo_Get(uint64_t id);
// aPacketFifo_Get waiting up to timeout milliseconds for a packet.
aPacket* aPacketFifo_Await(uint64_t id, uint32_t timeout);
// The oldest packet the filter accepts, or null. A null filter accepts every packet.
aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilter filter, void* reference);
// aPacketFifo_GetFirst waiting up to timeout milliseconds. Each queued packet
// is offered to the filter at most once per call; declined packets stay queued
// in their order for other readers.
aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilter filter, void* reference,
                                uint32_t timeout);
// Removes and frees every packet the filter accepts (all with a null filter);
// answers how many.
size_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilter filter, void* reference);

#endif
