// The link engine against a scripted stream: exact bytes on the wire for
// framing, synchronisation, heartbeats and stopping; the user filter; the
// status a failed read leaves; the answers for unknown ids.
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include "LinkRig.h"
#include "packetfifo.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace qbtest;
using Clock = std::chrono::steady_clock;

const Bytes kBurst = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
const Bytes kRouteOn = {0xAF, 1, 1};
const Bytes kRouteOff = {0xAF, 1, 0};

// A link over a scripted stream, started: its AF 01 01 has been taken.
class ScriptedLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        id = aLink_Create(stream.make());
        ASSERT_NE(id, 0);
        ASSERT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
        ASSERT_EQ(stream.awaitWritten(3), kRouteOn);
    }
    void TearDown() override {
        stream.release();
        if (id != 0) {
            aLink_Destroy(&id);
        }
    }
    // The packet the link hands to readers next, or null.
    Bytes nextPacket(uint32_t timeout = 2000) { return takeFrame(aLink_AwaitPacket(id, timeout)); }
    // Brings a link in status 4 back to 2 with two answers from address 2.
    void answerBurst() {
        stream.feed({2, 0, 2, 0});
        ASSERT_TRUE(waitFor([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    }

    ScriptedStream stream;
    int32_t id = 0;
};

TEST_F(ScriptedLinkTest, OddAddressWhileRunningSendsABurstAndFramingComesBack) {
    stream.feed({0x03});
    EXPECT_EQ(hex(stream.awaitWritten(kBurst.size())), hex(kBurst));
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_SYNCING);

    answerBurst();
    stream.feed({2, 3, 0x49, 0x20, 0x07});
    EXPECT_EQ(hex(nextPacket()), "02 03 49 20 07");
    EXPECT_TRUE(stream.takeWritten().empty()); // nothing more was sent
}

// After the burst of a lost framing, the bytes that come in: whether they
// restore framing, or else make the engine send another burst.
TEST_F(ScriptedLinkTest, SynchronisationStateMachine) {
    struct Case {
        const char* what;
        Bytes answer;
        bool synchronised;
    };
    const Case cases[] = {
        {"two empty answers from 2", {2, 0, 2, 0}, true},
        {"two from 254", {0xFE, 0, 0xFE, 0}, true},
        {"second answer from another address", {2, 0, 4, 0}, false},
        {"odd first address", {3}, false},
        {"zero first address", {0}, false},
        {"first answer not empty", {2, 5, 0}, false},
        {"second answer not empty", {2, 0, 2, 7, 0}, false},
    };
    for (const Case& c : cases) {
        stream.feed({0x01}); // loses framing
        ASSERT_EQ(stream.awaitWritten(kBurst.size()), kBurst) << c.what;
        stream.feed(c.answer);
        if (c.synchronised) {
            EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }))
                << c.what;
            EXPECT_TRUE(stream.takeWritten().empty()) << c.what;
        } else {
            EXPECT_EQ(hex(stream.awaitWritten(kBurst.size())), hex(kBurst)) << c.what;
            EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_SYNCING) << c.what;
            answerBurst();
        }
    }
}

TEST_F(ScriptedLinkTest, SyncWaitsForTheAnswersAndDiscardsTheRest) {
    auto sync = std::async(std::launch::async, [&] { return aLink_Sync(id); });
    ASSERT_TRUE(waitFor([&] { return aLink_GetStatus(id) == aLINK_STATUS_SYNCING; }));
    stream.idle(); // an idle read starts the burst
    ASSERT_EQ(stream.awaitWritten(kBurst.size()), kBurst);
    // All six requests are answered; the four after the second arrive as
    // ordinary empty packets.
    stream.feed({2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0});
    EXPECT_EQ(sync.get(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(ScriptedLinkTest, HeartbeatsAreAnsweredAndReachNoReader) {
    auto waiting = std::async(std::launch::async, [&] { return nextPacket(1500); });
    stream.feed({8, 2, 0, 1});
    EXPECT_EQ(hex(stream.awaitWritten(4)), "08 02 00 03");
    stream.feed({8, 2, 0, 0});
    EXPECT_EQ(hex(stream.awaitWritten(4)), "08 02 00 02");
    // The waiting reader gets the next ordinary packet, not a heartbeat.
    stream.feed({8, 2, 3, 1});
    EXPECT_EQ(hex(waiting.get()), "08 02 03 01");
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

struct FilterState {
    std::atomic<int> offered{0};
    uint8_t consume = 0; // command byte the filter takes
    int verdict = 1;     // its answer for that command
};

int consumeCommand(const aPacket* packet, void* reference) {
    auto* state = static_cast<FilterState*>(reference);
    state->offered++;
    return packet->length > 0 && packet->data[0] == state->consume ? state->verdict : 0;
}

TEST_F(ScriptedLinkTest, UserFilterConsumesWhatItTakes) {
    FilterState state;
    state.consume = 93;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeCommand, &state), aErrNone);
    stream.feed({4, 2, 93, 1}); // taken by the filter
    stream.feed({4, 2, 3, 1});  // passed on
    EXPECT_EQ(hex(nextPacket()), "04 02 03 01");
    EXPECT_EQ(state.offered, 2);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    state.verdict = 2; // not 1: not taken
    stream.feed({4, 2, 93, 3});
    EXPECT_EQ(hex(nextPacket()), "04 02 5D 03");
    EXPECT_EQ(state.offered, 3);
    state.verdict = 1;

    // The filter sees heartbeats first; one that takes them silences them.
    state.consume = 0;
    stream.feed({4, 2, 0, 1});
    ASSERT_TRUE(waitFor([&] { return state.offered == 4; }));
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    stream.feed({4, 2, 93, 2});
    EXPECT_EQ(hex(nextPacket()), "04 02 5D 02");
    EXPECT_EQ(state.offered, 4);
    EXPECT_TRUE(stream.takeWritten().empty()); // the heartbeat went unanswered
}

struct CallsFromTheReader {
    int32_t id = 0;
    std::atomic<bool> done{false};
    aErr destroy = aErrNone, stop = aErrNone, sync = aErrNone, install = aErrNone;
};

// A filter that tries what cannot be done on the link's own reader thread.
int callBack(const aPacket*, void* reference) {
    auto* calls = static_cast<CallsFromTheReader*>(reference);
    if (!calls->done) {
        int32_t id = calls->id;
        calls->destroy = aLink_Destroy(&id);
        calls->stop = aLink_Stop(aLinkManager_Find(calls->id)->link);
        calls->sync = aLink_Sync(calls->id);
        calls->install = aLink_InstallUserPacketFilter(calls->id, nullptr, nullptr);
        calls->done = true;
    }
    return 0;
}

TEST_F(ScriptedLinkTest, AUserFilterCannotStopOrDestroyItsOwnLink) {
    CallsFromTheReader calls;
    calls.id = id;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, callBack, &calls), aErrNone);
    stream.feed({2, 0});
    ASSERT_TRUE(waitFor([&] { return calls.done.load(); }));
    EXPECT_EQ(calls.destroy, aErrBusy);
    EXPECT_EQ(calls.stop, aErrBusy);
    EXPECT_EQ(calls.sync, aErrBusy);
    EXPECT_EQ(calls.install, aErrDuplicate);
    EXPECT_EQ(hex(nextPacket()), "02 00"); // the link goes on
    EXPECT_EQ(aLinkManager_GetUseCount(id), 1);
}

TEST_F(ScriptedLinkTest, FailedReadSetsStatus6AndAwaitReturnsAtOnce) {
    stream.feed({4, 1, 7});
    stream.fail(aErrIO);
    ASSERT_TRUE(waitFor([&] { return aLink_GetStatus(id) == aLINK_STATUS_IOERROR; }));
    EXPECT_EQ(aPacketFifo_GetLength(aLinkManager_Find(id)->link->inFifo), 1u); // one is waiting
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, nullptr, nullptr, 5000), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(id, 5000), nullptr);
    EXPECT_LT(Clock::now() - start, 500ms);
    // The status stays until framing is restored.
    stream.feed({4, 0});
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_IOERROR);
    auto sync = std::async(std::launch::async, [&] { return aLink_Sync(id); });
    ASSERT_TRUE(waitFor([&] { return aLink_GetStatus(id) == aLINK_STATUS_SYNCING; }));
    stream.idle();
    ASSERT_EQ(stream.awaitWritten(kBurst.size()), kBurst);
    stream.feed({4, 0, 4, 0});
    EXPECT_EQ(sync.get(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
}

TEST_F(ScriptedLinkTest, EachPacketIsOneWriteAndAFailedWriteIsNotRetried) {
    const uint8_t data[] = {95, 0xC1, 0x20, 1, 2, 3};
    aPacket* packet = aPacket_CreateWithData(6, sizeof data, data);
    stream.failWrites(aErrIO);
    ASSERT_EQ(aLink_PutPacket(id, packet), aErrNone);
    ASSERT_TRUE(waitFor([&] { return stream.writeSizes().size() == 2; }));
    stream.failWrites(aErrNone);
    ASSERT_EQ(aLink_PutPacket(id, packet), aErrNone);
    EXPECT_EQ(hex(stream.awaitWritten(8)), "06 06 5F C1 20 01 02 03");
    aPacket_Destroy(&packet);
    EXPECT_EQ(stream.writeSizes(), std::vector<size_t>({3, 8, 8}));
}

TEST_F(ScriptedLinkTest, DestroyWritesWhatIsQueuedAndForceRouteOffBeforeClosing) {
    const uint8_t data[] = {3, 0x41, 0x20};
    aPacket* packet = aPacket_CreateWithData(2, 3, data);
    for (int i = 0; i < 3; i++) {
        aLink_PutPacket(id, packet);
    }
    aPacket_Destroy(&packet);
    stream.release();
    int32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0);
    EXPECT_TRUE(stream.deleted());
    Bytes sent = stream.writtenAtDelete();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(hex(Bytes(sent.end() - 3, sent.end())), hex(kRouteOff));
    EXPECT_EQ(sent.size(), 3u * 5 + 3);
    EXPECT_EQ(aLink_GetStatus(copy), aLINK_STATUS_NOSTREAM);
}

TEST_F(ScriptedLinkTest, ResetRefusesAStreamItCannotMakeAgain) {
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING); // left working
    stream.feed({2, 0});
    EXPECT_EQ(hex(nextPacket()), "02 00");
}

TEST_F(ScriptedLinkTest, StopAndStartAgain) {
    aLinkEntryRef entry = aLinkManager_Find(id);
    ASSERT_TRUE(entry);
    stream.release();
    ASSERT_EQ(aLink_Stop(entry->link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_STOPPED);
    EXPECT_EQ(hex(stream.takeWritten()), hex(kRouteOff));
    EXPECT_EQ(aLink_Stop(entry->link), aErrNone); // nothing to do
    EXPECT_TRUE(stream.takeWritten().empty());
    EXPECT_EQ(aLink_AwaitPacket(id, 1000), nullptr);

    ASSERT_EQ(aLink_Start(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(hex(stream.awaitWritten(3)), hex(kRouteOn));
    EXPECT_EQ(aLink_Start(id), aErrNone); // already running: nothing sent
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(stream.takeWritten().empty());
}

TEST(LinkIds, UnknownIdsAndMissingArguments) {
    const int32_t unknown = 0x7FFF0000;
    EXPECT_EQ(aLink_GetStatus(unknown), aLINK_STATUS_NOSTREAM);
    EXPECT_EQ(aLink_GetStatus(0), aLINK_STATUS_NOSTREAM);
    const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(2, 0, &none);
    EXPECT_EQ(aLink_PutPacket(unknown, packet), aErrParam);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(unknown, 100), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(unknown, nullptr, nullptr, 100), nullptr);
    EXPECT_EQ(aLink_DrainPackets(unknown, nullptr, nullptr), 0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(unknown, true), aErrNotFound);
    EXPECT_EQ(aLink_Reset(unknown), aErrParam);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    EXPECT_EQ(aLink_Init(unknown, nullptr), 0);
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 0), aErrParam);
    int32_t id = unknown;
    EXPECT_EQ(aLink_Destroy(&id), aErrParam);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_Create(nullptr), 0);
    // Until the local link server exists, nothing is made through it.
    uint16_t port = 0;
    uint32_t address = 0;
    EXPECT_EQ(aLink_CreateServer(0x40F5849A, &port, &address, true), 0);
    EXPECT_EQ(aLink_CreateClient(PeerServer::address(), 9000, 0), 0);
}

} // namespace
