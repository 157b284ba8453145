// Exchanges whose bytes are fixed by the wire format, against the model.
#include "Bench.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace {

Packet packetOf(const std::string& text) {
    const Bytes bytes = hex(text);
    return Packet{bytes.at(0), Bytes(bytes.begin() + 2, bytes.end())};
}

} // namespace

TEST(GoldenExchange, RequestsAndReplies) {
    const std::string six = "serial=40F5849A model=14 address=6 version=2.15.3 build=12345 ";
    struct Case {
        const char* what;
        std::string description;
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"getSerialNumber", six, "06 03 03 49 20", "06 07 03 09 00 40 F5 84 9A"},
        {"reset", six, "06 03 03 8B 20", "06 03 03 CB 00"},
        {"reset on a module without it", six + "without=11", "06 03 03 8B 20", "06 04 03 CB 80 1D"},
        {"getModule", six, "06 03 03 41 20", "06 04 03 01 00 06"},
        {"getRouter", six + "router=2", "06 03 03 42 20", "06 04 03 02 00 02"},
        {"getVersion", six, "06 03 03 47 20", "06 07 03 07 00 2F 02 0F 03"},
        {"getModel", six, "06 03 03 48 20", "06 04 03 08 00 0E"},
        {"routeToMe(1)", six, "06 04 03 94 20 01", "06 03 03 D4 00"},
        {"setRouter(4)", six, "06 04 03 82 20 04", "06 03 03 C2 00"},
        {"build query", six, "06 02 49 FF", "06 06 49 FF 00 00 30 39"},
        {"address query", six, "AD 00", "06 00"},
        {"get of an option it lacks", six, "06 03 03 43 20", "06 04 03 03 80 1D"},
        {"get of a set-only option", six, "06 03 03 54 20", "06 04 03 14 80 1D"},
        {"set of a get-only option", six, "06 07 03 89 20 00 00 00 01", "06 04 03 C9 80 1D"},
        {"unique identifier outside a loader", six, "06 04 03 67 20 00", "06 04 03 27 80 1D"},
        {"unique identifier word 0 in a loader",
         six + "personality=loader uid=11111111:22222222:33333333:44444444", "06 04 03 67 20 00",
         "06 07 03 27 00 44 44 44 44"},
        {"INIT", six + "loadbase=0x10000000", "06 02 5F 00", "06 06 5F 00 10 00 00 00"},
        {"PREPARE", six + "blocksize=512", "06 07 5F 03 01 00 01 00 00", "06 05 5F 07 00 02 00"},
        {"echo", six, "06 04 17 01 02 03", "06 04 17 01 02 03"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(c.description);
        EXPECT_EQ(bench.exchange(hex(c.request)), std::vector<Packet>{packetOf(c.reply)});
    }
}

TEST(GoldenExchange, HeartbeatAnsweredByTheHost) {
    Bench bench("serial=1000 address=8 heartbeat=1000 heartbeat-value=1");
    EXPECT_EQ(bench.exchange(hex("AD 00")), std::vector<Packet>{packetOf("08 00")});

    bench.elapse(milliseconds(999));
    EXPECT_TRUE(bench.packets().empty());
    bench.elapse(milliseconds(1));
    EXPECT_EQ(bench.packets(), std::vector<Packet>{packetOf("08 02 00 01")});
    EXPECT_TRUE(bench.exchange(hex("08 02 00 03")).empty()); // answers produce nothing
    EXPECT_EQ(bench.model().heartbeats().good, 1u);
    EXPECT_EQ(bench.model().heartbeats().bad, 0u);

    bench.elapse(milliseconds(1000));
    EXPECT_EQ(bench.packets(), std::vector<Packet>{packetOf("08 02 00 01")});
    bench.send(hex("08 02 00 02")); // x + 1: wrong
    EXPECT_EQ(bench.model().heartbeats().good, 1u);
    EXPECT_EQ(bench.model().heartbeats().bad, 1u);
    EXPECT_EQ(bench.model().heartbeats().sent, 2u);
}

TEST(GoldenExchange, UpgradeChunkOfSixtyBytes) {
    Bench bench("serial=40F5849A model=14 address=6 personality=loader blocksize=512");
    const Bytes chunk = image(60, 7);
    uint32_t sum = 0;
    for (uint8_t b : chunk) {
        sum += b;
    }

    EXPECT_EQ(bench.exchange(hex("06 07 5F 03 01 00 01 00 00")),
              std::vector<Packet>{packetOf("06 05 5F 07 00 02 00")});
    const size_t sizes[] = {26, 26, 8};
    size_t at = 0;
    for (size_t n : sizes) {
        const Bytes request = dataPacket(6, chunk.data() + at, n);
        EXPECT_EQ(request.size(), n + 4);
        EXPECT_EQ(bench.ask(request), (Packet{6, {0x5F, 0x01, uint8_t(n)}}));
        at += n;
    }
    Bytes sumReply{0x5F, 0x07, 0x00};
    const Bytes sumBytes = be32(sum);
    sumReply.insert(sumReply.end(), sumBytes.begin(), sumBytes.end());
    EXPECT_EQ(bench.ask(hex("06 02 5F 04")), (Packet{6, sumReply}));
    EXPECT_EQ(bench.exchange(hex("06 04 5F 05 00 3C")),
              std::vector<Packet>{packetOf("06 03 5F 07 00")});

    EXPECT_EQ(bench.model().firmwareMemory().read(0x00010000, 60), chunk);
    EXPECT_EQ(bench.model().firmwareMemory().size(), 60u);
    ASSERT_EQ(bench.model().writes().size(), 1u);
    EXPECT_EQ(bench.model().writes()[0].address, 0x00010000u);
    EXPECT_EQ(bench.model().writes()[0].count, 60u);
}
