// Packet FIFOs, alone and under real concurrency: waiters with different
// filters, destruction while readers wait, overflow.
#include "aPacket.h"
#include "packetfifo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A packet from module 6 with data [command, sequence].
aErr put(uint64_t fifo, uint8_t command, uint8_t sequence) {
    const uint8_t data[2] = {command, sequence};
    aPacket* p = aPacket_CreateWithData(6, 2, data);
    aErr err = aPacketFifo_Put(fifo, p);
    aPacket_Destroy(&p);
    return err;
}

// Command and sequence of a packet taken from a FIFO, which is freed; -1 for none.
std::pair<int, int> take(aPacket* p) {
    if (p == nullptr) {
        return {-1, -1};
    }
    std::pair<int, int> v{p->data[0], p->data[1]};
    aPacket_Destroy(&p);
    return v;
}

int commandFilter(const aPacket* p, void* reference) {
    return p->data[0] == *static_cast<const uint8_t*>(reference);
}

// Owns one FIFO for a test.
struct Fifo {
    uint64_t id = aPacketFifo_Create();
    ~Fifo() {
        if (id != 0) {
            aPacketFifo_Destroy(&id);
        }
    }
    std::vector<std::pair<int, int>> drainAll() {
        std::vector<std::pair<int, int>> all;
        while (aPacketFifo_GetLength(id) > 0) {
            all.push_back(take(aPacketFifo_Get(id)));
        }
        return all;
    }
};

// Number of shared references to a FIFO: the directory's plus one per
// operation in progress.
long references(uint64_t id) {
    std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    return it == gpPacketFifoDictionary.end() ? 0 : it->second.use_count();
}

void waitForWaiters(uint64_t id, long waiters) {
    auto until = Clock::now() + 10s;
    while (references(id) < 1 + waiters && Clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms); // let them reach the condition variable
}

TEST(PacketFifo, PutGetInOrder) {
    Fifo f;
    ASSERT_NE(f.id, 0u);
    const uint8_t data[1] = {7};
    aPacket* mine = aPacket_CreateWithData(4, 1, data);
    EXPECT_EQ(aPacketFifo_Put(f.id, mine), aErrNone);
    EXPECT_TRUE(aVALIDPACKET(mine)); // the caller keeps its packet
    aPacket* got = aPacketFifo_Get(f.id);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, mine);
    EXPECT_EQ(memcmp(got, mine, sizeof *mine), 0);
    aPacket_Destroy(&got);
    aPacket_Destroy(&mine);

    for (uint8_t i = 0; i < 5; i++) {
        ASSERT_EQ(put(f.id, 3, i), aErrNone);
    }
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 5u);
    EXPECT_EQ(f.drainAll(),
              (std::vector<std::pair<int, int>>{{3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}}));
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);

    aPacket invalid{};
    EXPECT_EQ(aPacketFifo_Put(f.id, &invalid), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(f.id, nullptr), aErrParam);
}

TEST(PacketFifo, UnknownIdIsAnEmptyFifo) {
    uint64_t id = aPacketFifo_Create();
    uint64_t stale = id;
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    for (uint64_t unknown : {uint64_t{0}, id, stale}) {
        EXPECT_EQ(put(unknown, 3, 0), aErrParam);
        EXPECT_EQ(aPacketFifo_GetLength(unknown), 0u);
        EXPECT_EQ(aPacketFifo_Get(unknown), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(unknown, nullptr, nullptr), nullptr);
        EXPECT_EQ(aPacketFifo_DrainPackets(unknown, nullptr, nullptr), 0u);
        auto start = Clock::now();
        EXPECT_EQ(aPacketFifo_Await(unknown, 5000), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(unknown, nullptr, nullptr, 5000), nullptr);
        EXPECT_LT(Clock::now() - start, 2s); // no wait on a FIFO that does not exist
    }
}

TEST(PacketFifo, IdsAreNeverZeroOrReused) {
    uint64_t saved = gpSequentialId;
    Fifo kept;
    gpSequentialId = UINT64_MAX;
    Fifo last;
    EXPECT_EQ(last.id, UINT64_MAX);
    gpSequentialId = kept.id; // as if the counter came round to an id in use
    Fifo wrapped;
    EXPECT_NE(wrapped.id, 0u);
    EXPECT_NE(wrapped.id, kept.id);
    gpSequentialId = UINT64_MAX;
    Fifo afterWrap;
    EXPECT_NE(afterWrap.id, 0u);
    EXPECT_NE(afterWrap.id, last.id);
    gpSequentialId = std::max<uint64_t>(saved, wrapped.id + 1) + 1;
}

TEST(PacketFifo, OverflowEmptiesTheQueue) {
    Fifo f;
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(put(f.id, 3, static_cast<uint8_t>(i)), aErrNone);
    }
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1000u);
    EXPECT_EQ(put(f.id, 3, 0xEE), aErrNone); // nothing is reported to the writer
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    EXPECT_EQ(aPacketFifo_Await(f.id, 30), nullptr);
    // The FIFO goes on working.
    EXPECT_EQ(put(f.id, 95, 1), aErrNone);
    EXPECT_EQ(take(aPacketFifo_Get(f.id)), std::make_pair(95, 1));
}

TEST(PacketFifo, FiltersAndDraining) {
    Fifo f;
    for (auto [cmd, seq] : std::vector<std::pair<uint8_t, uint8_t>>{
             {1, 0}, {3, 1}, {95, 2}, {3, 3}, {8, 4}, {95, 5}}) {
        put(f.id, cmd, seq);
    }
    uint8_t wanted = 3;
    EXPECT_EQ(take(aPacketFifo_GetFirst(f.id, commandFilter, &wanted)), std::make_pair(3, 1));
    wanted = 50;
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, commandFilter, &wanted), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, commandFilter, &wanted, 0), nullptr);
    // A timeout of 0 still tests what is queued.
    wanted = 8;
    EXPECT_EQ(take(aPacketFifo_AwaitFirst(f.id, commandFilter, &wanted, 0)), std::make_pair(8, 4));
    // Declined packets stay in their order.
    wanted = 95;
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, commandFilter, &wanted), 2u);
    EXPECT_EQ(f.drainAll(), (std::vector<std::pair<int, int>>{{1, 0}, {3, 3}}));

    for (uint8_t i = 0; i < 4; i++) {
        put(f.id, i, i);
    }
    EXPECT_EQ(aPacketFifo_DrainPackets(
                  f.id, [](const aPacket*, void*) { return 1; }, nullptr),
              4u);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, AwaitTimesOut) {
    Fifo f;
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(f.id, 60), nullptr);
    uint8_t wanted = 3;
    put(f.id, 95, 0);
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, commandFilter, &wanted, 60), nullptr);
    EXPECT_GE(Clock::now() - start, 110ms);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1u);
}

// Two waiters on one FIFO, one for command 3 and one for command 95, each
// get only their own packets, in arrival order; packets neither accepts stay.
TEST(PacketFifo, WaitersWithDifferentFilters) {
    Fifo f;
    constexpr int kEach = 150;
    auto waiter = [&](uint8_t command) {
        std::vector<int> got;
        while (static_cast<int>(got.size()) < kEach) {
            aPacket* p = aPacketFifo_AwaitFirst(f.id, commandFilter, &command, 5000);
            if (p == nullptr) {
                break;
            }
            EXPECT_EQ(p->data[0], command);
            got.push_back(p->data[1]);
            aPacket_Destroy(&p);
        }
        return got;
    };
    auto system = std::async(std::launch::async, waiter, uint8_t{3});
    auto upgrade = std::async(std::launch::async, waiter, uint8_t{95});
    waitForWaiters(f.id, 2);
    for (int i = 0; i < kEach; i++) {
        ASSERT_EQ(put(f.id, 3, static_cast<uint8_t>(i)), aErrNone);
        ASSERT_EQ(put(f.id, 42, static_cast<uint8_t>(i)), aErrNone);
        ASSERT_EQ(put(f.id, 95, static_cast<uint8_t>(i)), aErrNone);
        if (i % 16 == 0) {
            std::this_thread::yield();
        }
    }
    std::vector<int> expected(kEach);
    for (int i = 0; i < kEach; i++) {
        expected[i] = i;
    }
    EXPECT_EQ(system.get(), expected);
    EXPECT_EQ(upgrade.get(), expected);
    auto rest = f.drainAll();
    ASSERT_EQ(rest.size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; i++) {
        EXPECT_EQ(rest[i], std::make_pair(42, i));
    }
}

struct OfferLog {
    std::vector<int> offered; // sequence numbers, in the order offered
    uint8_t wanted;
};

int loggingFilter(const aPacket* p, void* reference) {
    auto* log = static_cast<OfferLog*>(reference);
    log->offered.push_back(p->data[1]);
    return p->data[0] == log->wanted;
}

// However often a waiter wakes, each packet is offered to its filter once per call.
TEST(PacketFifo, AwaitFirstOffersEachPacketOnce) {
    Fifo f;
    put(f.id, 1, 0); // already queued when the call starts
    OfferLog log{{}, 2};
    auto waiter = std::async(std::launch::async, [&] {
        return take(aPacketFifo_AwaitFirst(f.id, loggingFilter, &log, 10000));
    });
    waitForWaiters(f.id, 1);
    for (int i = 1; i <= 40; i++) {
        put(f.id, 1, static_cast<uint8_t>(i)); // each store wakes the waiter
        std::this_thread::sleep_for(1ms);
    }
    put(f.id, 2, 41);
    EXPECT_EQ(waiter.get(), std::make_pair(2, 41));
    std::vector<int> expected;
    for (int i = 0; i <= 41; i++) {
        expected.push_back(i);
    }
    EXPECT_EQ(log.offered, expected);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 41u);

    // A new call offers the declined packets again.
    log.offered.clear();
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, loggingFilter, &log, 0), nullptr);
    EXPECT_EQ(log.offered.size(), 41u);
}

TEST(PacketFifo, DestroyWakesEveryWaiter) {
    uint64_t id = aPacketFifo_Create();
    put(id, 95, 0); // not what the filtered waiters want
    uint8_t wanted = 3;
    auto waitAny = [&] {
        auto start = Clock::now();
        aPacket* p = aPacketFifo_Await(id, 20000);
        EXPECT_EQ(p, nullptr);
        return Clock::now() - start;
    };
    auto waitFiltered = [&] {
        auto start = Clock::now();
        aPacket* p = aPacketFifo_AwaitFirst(id, commandFilter, &wanted, 20000);
        EXPECT_EQ(p, nullptr);
        return Clock::now() - start;
    };
    // The filtered waiters wait with a packet queued that they decline; the
    // unfiltered one starts on the emptied FIFO.
    auto a = std::async(std::launch::async, waitFiltered);
    auto b = std::async(std::launch::async, waitFiltered);
    waitForWaiters(id, 2);
    EXPECT_EQ(take(aPacketFifo_Get(id)), std::make_pair(95, 0));
    auto c = std::async(std::launch::async, waitAny);
    waitForWaiters(id, 3);
    uint64_t copy = id;
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    for (auto* waiter : {&a, &b, &c}) {
        ASSERT_EQ(waiter->wait_for(10s), std::future_status::ready);
        EXPECT_LT(waiter->get(), 10s);
    }
    EXPECT_EQ(put(copy, 3, 0), aErrParam);
}

// Several writers and readers at once: nothing lost, nothing duplicated.
TEST(PacketFifo, WritersAndReaders) {
    Fifo f;
    constexpr int kWriters = 4;
    constexpr int kEach = 200; // all of them fit below the overflow limit
    std::vector<std::vector<int>> seen(kWriters);
    std::mutex seenLock;
    std::atomic<int> received{0};
    auto reader = [&] {
        while (received < kWriters * kEach) {
            aPacket* p = aPacketFifo_Await(f.id, 50);
            if (p == nullptr) {
                continue;
            }
            std::lock_guard<std::mutex> guard(seenLock);
            seen[p->data[0]].push_back(p->data[1]);
            received++;
            aPacket_Destroy(&p);
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(reader);
    threads.emplace_back(reader);
    for (int w = 0; w < kWriters; w++) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kEach; i++) {
                EXPECT_EQ(put(f.id, static_cast<uint8_t>(w), static_cast<uint8_t>(i)), aErrNone);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<int> all(kEach);
    for (int i = 0; i < kEach; i++) {
        all[i] = i;
    }
    for (int w = 0; w < kWriters; w++) {
        std::sort(seen[w].begin(), seen[w].end());
        EXPECT_EQ(seen[w], all) << "writer " << w;
    }
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

} // namespace
