#include "packetfifo.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <sched.h>

std::map<uint64_t, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
std::mutex gpPacketFifoDictionaryMutex;
std::atomic<uint64_t> gpSequentialId{1};

namespace {

using sClock = std::chrono::steady_clock;
using sIterator = std::deque<SerialPacket>::iterator;

// A shared reference to the FIFO, so that a destroy on another thread cannot
// free it while this operation runs. Null for an unknown id.
std::shared_ptr<packetFifo> sFind(uint64_t id) {
    std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    return it == gpPacketFifoDictionary.end() ? nullptr : it->second;
}

// Under the FIFO lock: windowStart follows the front of the queue.
void sSyncWindow(packetFifo& fifo) {
    fifo.windowStart = fifo.queue.empty() ? fifo.nextId.load() : fifo.queue.front().id;
}

// Under the FIFO lock: takes one element out of the queue and hands its packet
// to the caller (the caller gets the only copy; nothing else refers to it).
aPacket* sTake(packetFifo& fifo, sIterator element) {
    aPacket* packet = element->packet.release();
    fifo.queue.erase(element);
    sSyncWindow(fifo);
    return packet;
}

bool sAccepts(aPacketFilter filter, const SerialPacket& element, void* reference) {
    return filter == nullptr || filter(element.packet.get(), reference) != 0;
}

// Under the FIFO lock: the first element whose id is above mark. Ids rise
// from front to back, also after elements were taken from the middle.
sIterator sAfterMark(packetFifo& fifo, int64_t mark) {
    return std::upper_bound(fifo.queue.begin(), fifo.queue.end(), mark,
                            [](int64_t m, const SerialPacket& e) { return m < e.id; });
}

sClock::time_point sDeadline(uint32_t timeout) {
    return sClock::now() + std::chrono::milliseconds(timeout);
}

// With the FIFO lock held and the waiter's test failed: watches for a store
// (or destruction) for a short while without the lock, yielding the processor
// between looks, then takes the lock again. The caller re-runs its test.
void sWatchForStore(packetFifo& fifo, std::unique_lock<std::mutex>& lock,
                    sClock::time_point deadline) {
    auto until = std::min(deadline, sClock::now() + std::chrono::microseconds(aPACKETFIFO_SPIN_US));
    uint64_t seen = fifo.stores.load(std::memory_order_relaxed);
    lock.unlock();
    while (fifo.stores.load(std::memory_order_acquire) == seen && fifo.active &&
           sClock::now() < until) {
        sched_yield();
    }
    lock.lock();
}

} // namespace

uint64_t aPacketFifo_Create() {
    try {
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
        for (;;) {
            // 0 names no FIFO; after a wrap-around, ids still in use are passed over.
            uint64_t id = gpSequentialId++;
            if (id != 0 && gpPacketFifoDictionary.emplace(id, fifo).second) {
                return id;
            }
        }
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(uint64_t* id) {
    if (id == nullptr) {
        return aErrParam;
    }
    uint64_t key = *id;
    *id = 0;
    try {
        std::shared_ptr<packetFifo> fifo;
        {
            // Out of the directory first, so that no new operation finds it.
            std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
            auto it = gpPacketFifoDictionary.find(key);
            if (it == gpPacketFifoDictionary.end()) {
                return aErrNotFound;
            }
            fifo = std::move(it->second);
            gpPacketFifoDictionary.erase(it);
        }
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->queue.clear();
            fifo->windowStart = fifo->nextId.load();
            fifo->active = false;
        }
        fifo->condition.notify_all();
        // The memory goes with the last operation still holding a reference.
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(uint64_t id) {
    auto fifo = sFind(id);
    if (fifo == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    return fifo->queue.size();
}

aErr aPacketFifo_Put(uint64_t id, const aPacket* packet) {
    auto fifo = sFind(id);
    if (fifo == nullptr || !aVALIDPACKET(packet)) {
        return aErrParam;
    }
    std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
    if (copy == nullptr) {
        return aErrParam;
    }
    {
        std::lock_guard<std::mutex> guard(fifo->lock);
        if (!fifo->active) { // destroyed since the lookup
            return aErrParam;
        }
        try {
            fifo->queue.push_back(SerialPacket{fifo->nextId.load(), std::move(copy)});
        } catch (...) {
            return aErrResource;
        }
        fifo->nextId++;
        fifo->stores.fetch_add(1, std::memory_order_release);
        sSyncWindow(*fifo);
        if (fifo->queue.size() > aPACKETFIFO_MAX) {
            // Overflow: nobody is reading. Drop everything, the new packet too,
            // and wake nobody.
            fifo->queue.clear();
            sSyncWindow(*fifo);
            return aErrNone;
        }
    }
    fifo->condition.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(uint64_t id) {
    return aPacketFifo_Await(id, 0);
}

aPacket* aPacketFifo_Await(uint64_t id, uint32_t timeout) {
    auto fifo = sFind(id);
    if (fifo == nullptr) {
        return nullptr;
    }
    auto deadline = sDeadline(timeout);
    std::unique_lock<std::mutex> lock(fifo->lock);
    auto ready = [&] { return !fifo->queue.empty() || !fifo->active; };
    if (!ready() && timeout > 0) {
        sWatchForStore(*fifo, lock, deadline);
    }
    fifo->condition.wait_until(lock, deadline, ready);
    if (fifo->queue.empty()) {
        return nullptr;
    }
    return sTake(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilter filter, void* reference) {
    return aPacketFifo_AwaitFirst(id, filter, reference, 0);
}

aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilter filter, void* reference,
                                uint32_t timeout) {
    auto fifo = sFind(id);
    if (fifo == nullptr) {
        return nullptr;
    }
    auto deadline = sDeadline(timeout);
    std::unique_lock<std::mutex> lock(fifo->lock);
    // Every packet is offered to the filter at most once per call, however
    // often this waiter wakes: the mark is the id of the last one offered.
    int64_t mark = fifo->windowStart - 1;
    sIterator found = fifo->queue.end();
    auto test = [&] {
        if (!fifo->active) {
            return true;
        }
        for (auto it = sAfterMark(*fifo, mark); it != fifo->queue.end(); ++it) {
            mark = it->id;
            if (sAccepts(filter, *it, reference)) {
                found = it;
                return true;
            }
        }
        return false;
    };
    // With a timeout of 0 the test still runs once on what is queued.
    bool done = test();
    if (!done && timeout > 0) {
        sWatchForStore(*fifo, lock, deadline);
        done = fifo->condition.wait_until(lock, deadline, test);
    }
    if (!done || !fifo->active) {
        return nullptr;
    }
    return sTake(*fifo, found);
}

size_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilter filter, void* reference) {
    auto fifo = sFind(id);
    if (fifo == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    size_t before = fifo->queue.size();
    auto end = std::remove_if(fifo->queue.begin(), fifo->queue.end(), [&](const SerialPacket& e) {
        return sAccepts(filter, e, reference);
    });
    fifo->queue.erase(end, fifo->queue.end());
    sSyncWindow(*fifo);
    return before - fifo->queue.size();
}
