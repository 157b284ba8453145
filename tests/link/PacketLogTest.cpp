// The packet log ring, the log writer, and a link's packet log.
#include "aLink.h"
#include "aLogger.h"
#include "aPacketDebug.h"

#include "LinkRig.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

namespace {

using namespace qbtest;

struct Record {
    uint8_t direction;
    Bytes bytes;
};

std::vector<Record> drain(aPacketLog* log) {
    std::vector<Record> records;
    for (;;) {
        uint8_t direction = 0;
        uint8_t buffer[256];
        uint32_t length = sizeof buffer;
        if (aPacketLog_Read(log, &direction, &length, buffer) != aErrNone) {
            return records;
        }
        records.push_back({direction, Bytes(buffer, buffer + length)});
    }
}

TEST(PacketLog, OldestRecordsMakeRoomAndOversizedOnesAreRefused) {
    // 16 bytes hold at most 15: three records of 2 + 3 bytes.
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    const uint8_t a[] = {1, 2, 3}, b[] = {4, 5, 6}, c[] = {7, 8, 9}, d[] = {10, 11, 12, 13};
    EXPECT_EQ(aPacketLog_Add(log, 1, 3, a), aErrNone);
    EXPECT_EQ(aPacketLog_Add(log, 2, 3, b), aErrNone);
    EXPECT_EQ(aPacketLog_Add(log, 1, 3, c), aErrNone);
    EXPECT_EQ(aPacketLog_Add(log, 3, 4, d), aErrNone); // drops a and b, wraps around
    auto records = drain(log);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].direction, 1);
    EXPECT_EQ(records[0].bytes, Bytes(c, c + 3));
    EXPECT_EQ(records[1].direction, 3);
    EXPECT_EQ(records[1].bytes, Bytes(d, d + 4));

    uint8_t big[14] = {};
    EXPECT_EQ(aPacketLog_Add(log, 1, 13, big), aErrNone);    // 15 bytes: fits an empty ring
    EXPECT_EQ(aPacketLog_Add(log, 1, 14, big), aErrOverrun); // 16 is not below the capacity
    EXPECT_EQ(drain(log).size(), 1u);                        // the refused one dropped nothing
    aPacketLog_Destroy(&log);
    EXPECT_EQ(log, nullptr);
}

TEST(PacketLog, ReadAnswers) {
    aPacketLog* log = aPacketLog_Create(0);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(aPacketLog_Capacity(log), aPACKETLOG_DEFAULT_SIZE);
    uint8_t direction = 0, buffer[8];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(aPacketLog_Read(log, &direction, &length, buffer), aErrNotFound);

    const uint8_t bytes[] = {2, 3, 9, 8, 7};
    ASSERT_EQ(aPacketLog_Add(log, aPACKETLOG_FROM_MODULE, 5, bytes), aErrNone);
    length = 4;
    EXPECT_EQ(aPacketLog_Read(log, &direction, &length, buffer), aErrOverrun);
    length = 5;
    EXPECT_EQ(aPacketLog_Read(log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, aPACKETLOG_FROM_MODULE);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes(bytes, bytes + 5));
    aPacketLog_Destroy(&log);

    EXPECT_EQ(aPacketLog_Create(aPACKETLOG_MAX_SIZE + 1), nullptr);
}

// A link over a scripted stream, started and with its first bytes taken.
struct ScriptedLink {
    ScriptedStream stream;
    int32_t id = 0;
    ScriptedLink() {
        id = aLink_Create(stream.make());
        stream.awaitWritten(3); // AF 01 01
    }
    ~ScriptedLink() {
        stream.release();
        aLink_Destroy(&id);
    }
};

TEST(LinkPacketLog, RecordsTrafficBothWaysAndNotes) {
    ScriptedLink link;
    ASSERT_NE(link.id, 0);
    EXPECT_EQ(aLink_PacketDebug_Read(link.id, nullptr, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNotReady); // no log yet
    EXPECT_EQ(aLink_PacketDebug_Write(link.id, 3, 1, reinterpret_cast<const uint8_t*>("x")),
              aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, aPACKETLOG_MAX_SIZE + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 1024), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 2048), aErrBusy);

    ASSERT_EQ(aLink_PacketDebug_Write(link.id, aPACKETLOG_NOTE, 5,
                                      reinterpret_cast<const uint8_t*>("START")),
              aErrNone);
    link.stream.feed({4, 3, 3, 0x41, 0x20});
    aPacket* got = nullptr;
    ASSERT_TRUE(waitFor([&] { return (got = aLink_GetPacket(link.id)) != nullptr; }));
    aPacket_Destroy(&got);
    const uint8_t request[] = {3, 0x41, 0x20};
    aPacket* out = aPacket_CreateWithData(4, 3, request);
    ASSERT_EQ(aLink_PutPacket(link.id, out), aErrNone);
    aPacket_Destroy(&out);
    link.stream.awaitWritten(5);

    std::vector<Record> records;
    ASSERT_TRUE(waitFor([&] {
        uint8_t direction, buffer[64];
        uint32_t length = sizeof buffer;
        if (aLink_PacketDebug_Read(link.id, &direction, &length, buffer) == aErrNone) {
            // The writer logs a packet after writing it: the start's AF 01 01
            // may come in after the log was switched on.
            bool routeOn = direction == aPACKETLOG_TO_MODULE && length == 3 && buffer[0] == 0xAF;
            if (!routeOn) {
                records.push_back({direction, Bytes(buffer, buffer + length)});
            }
        }
        return records.size() == 3;
    }));
    EXPECT_EQ(records[0].direction, aPACKETLOG_NOTE);
    EXPECT_EQ(records[0].bytes, Bytes({'S', 'T', 'A', 'R', 'T'}));
    EXPECT_EQ(records[1].direction, aPACKETLOG_FROM_MODULE);
    EXPECT_EQ(records[1].bytes, Bytes({4, 3, 3, 0x41, 0x20}));
    EXPECT_EQ(records[2].direction, aPACKETLOG_TO_MODULE);
    EXPECT_EQ(records[2].bytes, Bytes({4, 3, 3, 0x41, 0x20}));

    // Switched off: traffic is no longer recorded, the log stays readable.
    ASSERT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);
    link.stream.feed({4, 0});
    ASSERT_TRUE(waitFor([&] { return (got = aLink_GetPacket(link.id)) != nullptr; }));
    aPacket_Destroy(&got);
    uint8_t direction, buffer[64];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(link.id, &direction, &length, buffer), aErrNotFound);
}

std::atomic<int> gCalls{0};

aErr writeCall(aFileRef file, int32_t linkId) {
    if (gCalls++ < 3) {
        aFile_Printf(file, "%d\n", linkId);
    }
    std::this_thread::sleep_for(1ms);
    return aErrNone;
}

aLogger* gSelf = nullptr;
std::atomic<int> gOwnDisable{-1};

aErr disableSelf(aFileRef, int32_t) {
    gOwnDisable = aLogger_Disable(gSelf); // does nothing on the logger's own thread
    std::this_thread::sleep_for(1ms);
    return aErrNone;
}

std::atomic<int> gOwnDestroy{-1};

aErr destroySelf(aFileRef, int32_t) {
    aLogger* self = gSelf;
    gOwnDestroy = aLogger_Destroy(&self);
    std::this_thread::sleep_for(1ms);
    return aErrNone;
}

// The callback cannot free the logger its own thread runs on.
TEST(Logger, DestroyFromItsOwnThreadIsRefused) {
    TempDir dir;
    gSelf = aLogger_Create(1, destroySelf, (dir / "log.txt").c_str());
    ASSERT_NE(gSelf, nullptr);
    ASSERT_EQ(aLogger_Enable(gSelf), aErrNone);
    ASSERT_TRUE(waitFor([] { return gOwnDestroy == aErrBusy; }));
    gOwnDestroy = -1;
    ASSERT_TRUE(waitFor([] { return gOwnDestroy == aErrBusy; })); // still called back
    EXPECT_EQ(aLogger_Destroy(&gSelf), aErrNone);
    EXPECT_EQ(gSelf, nullptr);
}

TEST(Logger, DisableFromItsOwnThreadDoesNothing) {
    TempDir dir;
    gSelf = aLogger_Create(1, disableSelf, (dir / "log.txt").c_str());
    ASSERT_NE(gSelf, nullptr);
    ASSERT_EQ(aLogger_Enable(gSelf), aErrNone);
    ASSERT_TRUE(waitFor([] { return gOwnDisable == aErrNone; }));
    gOwnDisable = -1;
    ASSERT_TRUE(waitFor([] { return gOwnDisable == aErrNone; })); // still called back
    EXPECT_EQ(aLogger_Destroy(&gSelf), aErrNone);
}

TEST(Logger, CallsBackWhileEnabledAndAppends) {
    TempDir dir;
    std::string path = dir / "log.txt";
    {
        std::ofstream existing(path);
        existing << "before\n";
    }
    EXPECT_EQ(aLogger_Create(7, writeCall, (dir / "missing/log.txt").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(7, nullptr, path.c_str()), nullptr);
    aLogger* logger = aLogger_Create(7, writeCall, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(gCalls, 0); // nothing runs until enabled
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(waitFor([] { return gCalls >= 5; }));
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    int calls = gCalls;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(gCalls, calls); // the thread has ended

    // Unbuffered: the lines are in the file while the logger is still open.
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "before\n7\n7\n7\n");

    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrParam);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
}

} // namespace
