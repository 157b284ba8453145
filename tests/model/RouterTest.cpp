// A router, its I2C entity and the modules behind it.
#include "Bench.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace {

const std::string kRouter =
    "serial=2181F0EE model=13 address=2 version=2.15.0 build=500 personality=router "
    "downstream=[serial=AAAA0004 model=14 address=4 version=2.16.1 build=4000; "
    "serial=BBBB0006 model=15 address=6 version=3.0.2 build=6000]";

// The I2C probe of a network scan: write 00 00 to a bus address at speed 3.
Bytes probe(uint8_t busAddress) {
    return frame(2, {8, 0, busAddress, 2, 3, 0, 0});
}

} // namespace

TEST(Router, I2CProbeFindsExactlyTheModulesBehindIt) {
    Bench bench(kRouter);
    std::vector<uint8_t> found;
    for (unsigned a = 2; a <= 252; a += 2) {
        const Packet reply = bench.ask(probe(uint8_t(a)));
        ASSERT_EQ(reply.address, 2);
        ASSERT_EQ(reply.data.size(), 5u);
        EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + 4), (Bytes{8, 0, uint8_t(a), 0}));
        if ((reply.data[4] & 0x80) == 0) {
            found.push_back(uint8_t(a));
        } else {
            EXPECT_EQ(reply.data[4], 0x80 | 3) << a;
        }
    }
    EXPECT_EQ(found, (std::vector<uint8_t>{4, 6}));
}

TEST(Router, I2CRequestsItRefuses) {
    struct Case {
        const char* what;
        std::string description;
        Bytes request;
        Bytes reply;
    };
    const Case cases[] = {
        {"speed above 3", kRouter, frame(2, {8, 0, 4, 2, 4, 0, 0}), {8, 0, 4, 0, 0x80 | 13}},
        {"length not matching the bytes",
         kRouter,
         frame(2, {8, 0, 4, 3, 3, 0, 0}),
         {8, 0, 4, 0, 0x80 | 14}},
        {"more than 23 bytes", kRouter, frame(2, {8, 0, 4, 24, 3}), {8, 0, 4, 0, 0x80 | 14}},
        {"index 1", kRouter, frame(2, {8, 1, 4, 2, 3, 0, 0}), {8, 1, 4, 0, 0x80 | 28}},
        {"a module without an I2C entity", "serial=1 address=2", probe(4), {8, 0, 4, 0, 0x80 | 28}},
        {"pull-up on", kRouter, frame(2, {8, 0, 1, 1}), {8, 0, 1, 1, 0}},
        {"read from a module", kRouter, frame(2, {8, 0, 5, 4, 3}), {8, 0, 5, 0, 0}},
        {"read from an empty address", kRouter, frame(2, {8, 0, 9, 4, 3}), {8, 0, 9, 0, 0x80 | 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(c.description);
        EXPECT_EQ(bench.exchange(c.request), (std::vector<Packet>{Packet{2, c.reply}}));
    }
}

TEST(Router, CarriesRequestsToEachModuleAndBringsTheRepliesBack) {
    Bench bench(kRouter);
    EXPECT_EQ(bench.ask(ueiSet(2, 3, 20, {1})), (Packet{2, {3, 0xD4, 0}}));

    struct Case {
        uint8_t address;
        uint32_t serial;
        uint8_t model;
        uint32_t version;
        uint32_t build;
        uint8_t router;
    };
    const Case cases[] = {
        {2, 0x2181F0EE, 13, 0x2F020F00, 500, 0},
        {4, 0xAAAA0004, 14, 0x2F021001, 4000, 2},
        {6, 0xBBBB0006, 15, 0x2F030002, 6000, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.address));
        const uint8_t a = c.address;
        EXPECT_EQ(bench.ask(ueiGet(a, 3, 9)), (Packet{a, Bytes{3, 9, 0} + be32(c.serial)}));
        EXPECT_EQ(bench.ask(ueiGet(a, 3, 8)), (Packet{a, {3, 8, 0, c.model}}));
        EXPECT_EQ(bench.ask(ueiGet(a, 3, 7)), (Packet{a, Bytes{3, 7, 0} + be32(c.version)}));
        EXPECT_EQ(bench.ask(ueiGet(a, 3, 1)), (Packet{a, {3, 1, 0, a}}));
        EXPECT_EQ(bench.ask(ueiGet(a, 3, 2)), (Packet{a, {3, 2, 0, c.router}}));
        EXPECT_EQ(bench.ask(frame(a, {73, 255})), (Packet{a, Bytes{73, 255} + be32(c.build)}));
    }
    // The address query is the router's to answer.
    EXPECT_EQ(bench.ask(hex("AD 00")), (Packet{2, {}}));
    // Nobody sits at 8.
    EXPECT_TRUE(bench.exchange(ueiGet(8, 3, 9)).empty());
    EXPECT_EQ(bench.model().downstream(0).hostPackets().size(), 6u);
}

TEST(Router, RouteGate) {
    struct Case {
        const char* what;
        const char* route;
        const char* steps; // host packets before the request, as hex
        bool carried;
    };
    const Case cases[] = {
        {"fresh link", "link", "", false},
        {"link forced the route", "link", "AF 01 01", true},
        {"routeToMe", "link", "02 04 03 94 20 01", true},
        {"route forced, then released", "link", "AF 01 01 AF 01 00", false},
        {"routeToMe, then off", "link", "02 04 03 94 20 01 02 04 03 94 20 00", false},
        {"strict: forced route is not enough", "routetome", "AF 01 01", false},
        {"strict: routeToMe", "routetome", "02 04 03 94 20 01", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(kRouter + " route=" + c.route);
        bench.send(hex(c.steps));
        bench.packets();
        const std::vector<Packet> got = bench.exchange(ueiGet(4, 3, 9));
        EXPECT_EQ(got.size(), c.carried ? 1u : 0u);
        EXPECT_EQ(bench.model().counters().unrouted, c.carried ? 0u : 1u);
    }
}

TEST(Router, ModuleBehindRestartsWhileTheRouterStays) {
    Bench bench("serial=2181F0EE address=2 personality=router downstream=[serial=AAAA0004 "
                "address=4; serial=BBBB0006 address=6 restart=200 loader-serial=default]");
    bench.send(hex("AF 01 01"));
    EXPECT_EQ(bench.ask(upgrade(6, 2)), (Packet{6, {0x5F, 0x02}}));

    bench.elapse(milliseconds(1));
    EXPECT_TRUE(bench.model().present(bench.now()));
    EXPECT_EQ(bench.ask(probe(6)).data.at(4), 0x80 | 3) << "away while it restarts";
    EXPECT_TRUE(bench.exchange(ueiGet(6, 3, 9)).empty());

    bench.elapse(milliseconds(200));
    EXPECT_EQ(bench.ask(probe(6)).data.at(4), 0);
    EXPECT_EQ(bench.model().downstreamAt(6)->mode(), qbsim::ModuleModel::Mode::Loader);
    EXPECT_EQ(bench.ask(ueiGet(6, 3, 9)), (Packet{6, Bytes{3, 9, 0} + be32(0xCDCAACCF)}));
    EXPECT_EQ(bench.absences(), 0u) << "the router's link never dropped";
}

TEST(Router, LoaderRunningOnTheRouterDoesNotRoute) {
    Bench bench(kRouter + " restart=0");
    bench.send(hex("AF 01 01"));
    bench.ask(upgrade(2, 2)); // LOAD on the router itself
    bench.elapse(milliseconds(1));
    ASSERT_EQ(bench.model().mode(), qbsim::ModuleModel::Mode::Loader);
    bench.send(hex("AF 01 01"));
    EXPECT_TRUE(bench.exchange(ueiGet(4, 3, 9)).empty());
    EXPECT_EQ(bench.ask(probe(4)).data.at(4), 0x80 | 28);
}
