// Framing, synchronisation, heartbeats and the force-route switch.
#include "Bench.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace {

const std::string kModule = "serial=40F5849A model=14 address=6";

Bytes burst() {
    Bytes bytes;
    for (int i = 0; i < 6; ++i) {
        bytes.push_back(0xAD);
        bytes.push_back(0x00);
    }
    return bytes;
}

} // namespace

// Whatever the module was in the middle of, a burst of six address queries
// gets at least two empty answers in a row from its address, and a request
// after it is understood.
TEST(Link, SynchronisationBurstRestoresFraming) {
    struct Case {
        const char* what;
        const char* before;
        size_t answers;
    };
    const Case cases[] = {
        {"clean line", "", 6},
        {"odd byte", "03", 6},
        {"zero byte", "00", 6},
        {"length too large", "06 1D", 6},
        {"torn packet needing four more bytes", "06 05 03", 4},
        {"torn packet needing one more byte", "06 03 03 49", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(kModule);
        bench.send(hex(c.before));
        const std::vector<Packet> got = bench.exchange(burst());
        // A torn packet may complete into something the module answers
        // first; the empty answers come last, in a row.
        ASSERT_GE(got.size(), c.answers);
        for (size_t i = got.size() - c.answers; i < got.size(); ++i) {
            EXPECT_EQ(got[i], (Packet{6, {}}));
        }
        for (size_t i = 0; i < got.size() - c.answers; ++i) {
            EXPECT_NE(got[i], (Packet{6, {}}));
        }
        EXPECT_EQ(bench.ask(hex("06 03 03 49 20")),
                  (Packet{6, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}}));
    }
}

TEST(Link, BytesMayArriveOneByOne) {
    Bench bench(kModule);
    const Bytes request = hex("06 03 03 49 20 AD 00");
    for (uint8_t b : request) {
        bench.send({b});
    }
    const std::vector<Packet> got = bench.packets();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data.at(1), 0x09);
    EXPECT_EQ(got[1], (Packet{6, {}}));
}

TEST(Link, StalePartialPacketIsDropped) {
    Bench bench(kModule + " frame-timeout=500");
    bench.send(hex("06 03 03"));
    bench.elapse(milliseconds(501));
    EXPECT_EQ(bench.ask(hex("AD 00")), (Packet{6, {}}));
    EXPECT_EQ(bench.model().counters().framingErrors, 1u);

    // Within the timeout the parts join up.
    bench.send(hex("06 03 03"));
    bench.elapse(milliseconds(400));
    EXPECT_EQ(bench.ask(hex("49 20")).data.at(1), 0x09);
}

TEST(Link, PacketsForOtherAddressesAreIgnored) {
    Bench bench(kModule);
    EXPECT_TRUE(bench.exchange(hex("08 03 03 49 20")).empty());
    EXPECT_TRUE(bench.exchange(hex("AD 01 00")).empty()); // a query carries no data
    EXPECT_EQ(bench.model().counters().unrouted, 1u);
    EXPECT_EQ(bench.model().hostPackets().size(), 2u);
}

TEST(Link, ForceRouteSwitch) {
    Bench bench(kModule);
    EXPECT_FALSE(bench.model().forceRoute());
    struct Step {
        const char* bytes;
        bool after;
    };
    const Step steps[] = {
        {"AF 01 01", true}, {"AF 01 02", true}, {"AF 01 00", false},
        {"AF 00", false},   {"AF 01 01", true}, {"AF 02 00 00", true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.bytes);
        EXPECT_TRUE(bench.exchange(hex(s.bytes)).empty());
        EXPECT_EQ(bench.model().forceRoute(), s.after);
    }
    bench.model().hostDisconnected();
    EXPECT_FALSE(bench.model().forceRoute());
}

TEST(Link, HeartbeatsAlternateAndLateAnswersCount) {
    Bench bench(kModule + " heartbeat=100");
    bench.elapse(milliseconds(1000));
    EXPECT_TRUE(bench.packets().empty()) << "no heartbeats before a host talks";

    bench.send(hex("AF 01 01"));
    bench.elapse(milliseconds(300));
    const std::vector<Packet> beats = bench.packets();
    ASSERT_EQ(beats.size(), 3u);
    EXPECT_EQ(beats[0], (Packet{6, {0x00, 0x00}}));
    EXPECT_EQ(beats[1], (Packet{6, {0x00, 0x01}}));
    EXPECT_EQ(beats[2], (Packet{6, {0x00, 0x00}}));

    // The answers to the first and third; the second is never answered.
    bench.send(hex("06 02 00 02"));
    bench.send(hex("06 02 00 02"));
    // Not a heartbeat answer at all.
    bench.send(hex("06 01 00"));
    const auto stats = bench.model().heartbeats();
    EXPECT_EQ(stats.sent, 3u);
    EXPECT_EQ(stats.good, 2u);
    EXPECT_EQ(stats.bad, 1u);

    bench.model().hostDisconnected();
    bench.elapse(milliseconds(1000));
    EXPECT_TRUE(bench.packets().empty()) << "heartbeats stop with the host";
}

TEST(Link, HostDisconnectDiscardsWhatWasNotRead) {
    Bench bench(kModule + " faults=delay:50");
    bench.send(hex("06 03 03 49 20"));
    bench.model().hostDisconnected();
    bench.elapse(milliseconds(100));
    EXPECT_TRUE(bench.packets().empty());
}

TEST(Link, WakeupFollowsDelayedReplyAndHeartbeat) {
    Bench bench(kModule + " heartbeat=1000 faults=delay:200");
    EXPECT_EQ(bench.model().nextWakeup(), Clock::time_point::max());
    const Clock::time_point start = bench.now();
    bench.send(hex("AD 00"));
    EXPECT_EQ(bench.model().nextWakeup(), start + milliseconds(200));
    bench.elapse(milliseconds(200));
    EXPECT_EQ(bench.packets().size(), 1u);
    EXPECT_EQ(bench.model().nextWakeup(), start + milliseconds(1000));
}
