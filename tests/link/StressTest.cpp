// The link engine under load, for ThreadSanitizer and AddressSanitizer,
// against a scripted module and the module model: application threads
// exchanging requests (echoes) with the module while heartbeats flow and
// another thread fiddles with the link; links destroyed while threads wait
// on them; creators and destroyers of one module racing.
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include "LinkRig.h"
#include "ModuleDescription.h"
#include "ModuleModel.h"

#include <gtest/gtest.h>

#include <future>
#include <random>

namespace {

using namespace qbtest;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 2;

struct Expected {
    uint8_t tag;
    uint8_t sequence;
};

int isReply(const aPacket* packet, void* reference) {
    auto* expected = static_cast<Expected*>(reference);
    return packet->address == kModule && packet->length == 3 && packet->data[0] == 23 &&
           packet->data[1] == expected->tag && packet->data[2] == expected->sequence;
}

int takeNothing(const aPacket*, void*) {
    return 0;
}

// One application thread: requests echoed by the module, each reply taken
// by a filter that matches only its own. Answers how many came back.
int exchange(int32_t id, uint8_t tag, int count) {
    int replies = 0;
    for (int i = 0; i < count; i++) {
        Expected expected{tag, static_cast<uint8_t>(i)};
        const uint8_t data[] = {23, tag, expected.sequence};
        aPacket* request = aPacket_CreateWithData(kModule, 3, data);
        aLink_PutPacket(id, request);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(id, isReply, &expected, 2000);
        if (reply != nullptr) {
            replies++;
            aPacket_Destroy(&reply);
        }
    }
    return replies;
}

// A module behind a loopback TCP server, with heartbeats every 5 ms: the
// scripted one, or the module model.
struct PeerKind {
    const char* name;
    std::function<std::unique_ptr<qbsim::BytePeer>()> make;
    // Heartbeats answered rightly and wrongly.
    std::function<std::pair<uint64_t, uint64_t>(qbsim::BytePeer&)> heartbeats;
};

const PeerKind kScripted{"scripted", [] { return std::make_unique<ScriptedModule>(kModule, 5ms); },
                         [](qbsim::BytePeer& peer) {
                             auto& m = static_cast<ScriptedModule&>(peer);
                             return std::make_pair(m.heartbeatsAnswered(), m.heartbeatsWrong());
                         }};

const PeerKind kModel{"model",
                      [] {
                          return qbsim::makeModule(
                              "serial=40F5849A model=14 address=2 version=2.15.3 heartbeat=5");
                      },
                      [](qbsim::BytePeer& peer) {
                          auto stats = static_cast<qbsim::ModuleModel&>(peer).heartbeats();
                          return std::make_pair(stats.good, stats.bad);
                      }};

class StressTest : public ::testing::TestWithParam<PeerKind> {
protected:
    void SetUp() override { server = std::make_unique<PeerServer>(GetParam().make()); }
    std::pair<uint64_t, uint64_t> heartbeats() {
        std::pair<uint64_t, uint64_t> counts;
        server->withPeer([&](qbsim::BytePeer& peer) { counts = GetParam().heartbeats(peer); });
        return counts;
    }
    std::unique_ptr<PeerServer> server;
};

INSTANTIATE_TEST_SUITE_P(Peers, StressTest, ::testing::Values(kScripted, kModel),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(StressTest, ExchangesWhileHeartbeatsFlowThenDestroyUnderWaitingThreads) {
    int32_t id = aLink_CreateTCPIP(PeerServer::address(), server->port());
    ASSERT_NE(id, 0);
    constexpr int kThreads = 4;
    constexpr int kRequests = 150;

    // Meanwhile another thread installs and removes a filter that passes
    // everything, switches the packet log and reads it, and asks the status.
    std::atomic<bool> done{false};
    std::thread fiddler([&] {
        uint8_t direction, buffer[64];
        while (!done) {
            aLink_InstallUserPacketFilter(id, takeNothing, nullptr);
            aLink_PacketDebug_Enable(id);
            uint32_t length = sizeof buffer;
            aLink_PacketDebug_Read(id, &direction, &length, buffer);
            aLink_GetStatus(id);
            aLink_InstallUserPacketFilter(id, nullptr, nullptr);
            aLink_PacketDebug_Disable(id);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::future<int>> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.push_back(
            std::async(std::launch::async, exchange, id, static_cast<uint8_t>(t), kRequests));
    }
    for (auto& t : threads) {
        EXPECT_EQ(t.get(), kRequests);
    }
    done = true;
    fiddler.join();
    auto [answered, wrong] = heartbeats();
    EXPECT_GT(answered, 0u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr); // no heartbeat reached the receive FIFO

    // Threads wait for replies that do not come, with and without filters;
    // the link goes while they wait, and they all return nothing.
    std::vector<std::future<bool>> waiters;
    for (int t = 0; t < kThreads; t++) {
        waiters.push_back(std::async(std::launch::async, [id, t] {
            Expected never{0xEE, static_cast<uint8_t>(t)};
            aPacket* p = t % 2 == 0 ? aLink_AwaitFirst(id, isReply, &never, 20000)
                                    : aLink_AwaitPacket(id, 20000);
            bool nothing = p == nullptr;
            aPacket_Destroy(&p);
            return nothing;
        }));
    }
    std::this_thread::sleep_for(100ms);
    auto start = Clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    for (auto& w : waiters) {
        EXPECT_TRUE(w.get());
    }
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST_P(StressTest, SecondHolderKeepsTheLinkForItsWaiters) {
    int32_t first = aLink_CreateTCPIP(PeerServer::address(), server->port());
    int32_t second = aLink_CreateTCPIP(PeerServer::address(), server->port());
    ASSERT_NE(first, 0);
    ASSERT_EQ(first, second);
    auto waiter = std::async(std::launch::async, [second] {
        Expected expected{9, 9};
        return aLink_AwaitFirst(second, isReply, &expected, 20000);
    });
    std::this_thread::sleep_for(50ms);
    aLink_Destroy(&first);
    const uint8_t data[] = {23, 9, 9};
    aPacket* request = aPacket_CreateWithData(kModule, 3, data);
    int32_t id = aLinkManager_FindByIdentifier(TCPIP, PeerServer::address(), server->port())->id;
    aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    aPacket* reply = waiter.get();
    EXPECT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
    aLink_Destroy(&id);
}

TEST_P(StressTest, CreatorsAndDestroyersOfOneModuleRace) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 12;
    std::atomic<bool> stop{false};
    // Looks at whatever ids exist meanwhile.
    std::thread observer([&] {
        std::mt19937 random(7);
        while (!stop) {
            int32_t id = static_cast<int32_t>(random() % 200);
            aLink_GetStatus(id);
            aPacket* p = aLink_AwaitPacket(id, 1);
            aPacket_Destroy(&p);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::future<int>> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.push_back(std::async(std::launch::async, [&] {
            int made = 0;
            for (int i = 0; i < kRounds; i++) {
                int32_t id = aLink_CreateTCPIP(PeerServer::address(), server->port());
                if (id != 0) {
                    made++;
                    exchange(id, 0x40, 1);
                    aLink_Destroy(&id);
                }
            }
            return made;
        }));
    }
    for (auto& t : threads) {
        EXPECT_EQ(t.get(), kRounds);
    }
    stop = true;
    observer.join();
    EXPECT_FALSE(aLinkManager_FindByIdentifier(TCPIP, PeerServer::address(), server->port()));
    // One link per module at a time: a new connection only after the last
    // one was closed.
    EXPECT_EQ(server->mostOpen(), 1);
    EXPECT_TRUE(waitFor([&] { return server->open() == 0; }));
}

} // namespace
