// Faults the module shows on request.
#include "Bench.h"

#include <gtest/gtest.h>

using namespace qbtest;
using Mode = qbsim::ModuleModel::Mode;

namespace {

const std::string kModule = "serial=40F5849A model=14 address=6 ";

} // namespace

// Which of a series of identical requests get their reply.
TEST(Faults, DroppedReplies) {
    struct Case {
        const char* faults;
        Bytes request;
        std::vector<bool> answered;
    };
    const Bytes serial = ueiGet(6, 3, 9);
    const Bytes model = ueiGet(6, 3, 8);
    const Case cases[] = {
        {"drop:3.9", serial, {false, true, true, true}},
        {"drop:3.9@2", serial, {true, false, true, true}},
        {"drop:3.9@2*2", serial, {true, false, false, true}},
        {"drop:3.9*", serial, {false, false, false, false}},
        {"drop:3", serial, {false, true, true, true}},
        {"drop:3.9", model, {true, true, true, true}},
        {"drop:any*2", model, {false, false, true, true}},
        {"drop:sync", hex("AD 00"), {false, true, true, true}},
        {"drop:sync*", serial, {true, true, true, true}},
        {"drop:73.255", frame(6, {73, 255}), {false, true, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        Bench bench(kModule + "faults=" + c.faults);
        std::vector<bool> answered;
        for (size_t i = 0; i < c.answered.size(); ++i) {
            answered.push_back(!bench.exchange(c.request).empty());
        }
        EXPECT_EQ(answered, c.answered);
    }
}

TEST(Faults, TruncatedReplies) {
    Bench bench(kModule + "faults=truncate:5:95.0,truncate:2:3.9*");
    EXPECT_EQ(bench.ask(upgrade(6, 0)).data, (Bytes{0x5F, 0, 0x20, 0, 0}));
    EXPECT_EQ(bench.ask(upgrade(6, 0)).data, (Bytes{0x5F, 0, 0x20, 0, 0, 0}));
    EXPECT_EQ(bench.ask(ueiGet(6, 3, 9)).data, (Bytes{3, 9}));
    EXPECT_EQ(bench.ask(ueiGet(6, 3, 9)).data, (Bytes{3, 9}));
}

TEST(Faults, ModuleThatDoesNotAcknowledgeItsBusAddress) {
    Bench bench("serial=1 address=2 personality=router "
                "downstream=[serial=4 address=4 faults=noack; serial=6 address=6]");
    bench.send(hex("AF 01 01"));
    EXPECT_EQ(bench.ask(frame(2, {8, 0, 4, 2, 3, 0, 0})).data.at(4), 0x80 | 3);
    EXPECT_EQ(bench.ask(frame(2, {8, 0, 6, 2, 3, 0, 0})).data.at(4), 0);
    EXPECT_EQ(bench.ask(ueiGet(4, 3, 9)), (Packet{4, Bytes{3, 9, 0} + be32(4)}));
}

TEST(Faults, DroppedLoadReplyStillStartsTheLoader) {
    Bench bench(kModule + "restart=300 loader-serial=default faults=drop:95.2");
    EXPECT_TRUE(bench.exchange(upgrade(6, 2)).empty());
    EXPECT_FALSE(bench.model().present(bench.now()));
    bench.elapse(milliseconds(300));
    EXPECT_EQ(bench.model().mode(), Mode::Loader);
    EXPECT_EQ(bench.model().identity().serialNumber, 0xCDCAACCFu);
    EXPECT_EQ(bench.model().counters().droppedReplies, 1u);
}

TEST(Faults, DelayedRepliesKeepTheirOrder) {
    Bench bench(kModule + "faults=delay:200:3.9");
    bench.send(ueiGet(6, 3, 9));
    bench.send(hex("AD 00"));
    bench.elapse(milliseconds(199));
    EXPECT_TRUE(bench.packets().empty()) << "the address answer waits behind the delayed reply";
    bench.elapse(milliseconds(1));
    const std::vector<Packet> got = bench.packets();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data.at(1), 9);
    EXPECT_EQ(got[1], (Packet{6, {}}));

    // Only the matching request is held back.
    EXPECT_EQ(bench.exchange(hex("AD 00")).size(), 1u);
}

TEST(Faults, WrongDataCountOnceAndTheResentBytesCountOnce) {
    Bench bench(kModule + "personality=loader faults=badcount@2");
    const Bytes chunk = image(60, 3);
    bench.ask(prepare(6, 0, 0x1000));
    const size_t sizes[] = {26, 26, 8};
    uint32_t sum = 0;
    std::vector<uint8_t> counts;
    size_t at = 0;
    for (size_t n : sizes) {
        // The host sends the same bytes again until the count is right.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const uint8_t count = bench.ask(dataPacket(6, chunk.data() + at, n)).data.at(2);
            counts.push_back(count);
            if (count == n) {
                break;
            }
        }
        for (size_t i = 0; i < n; ++i) {
            sum += chunk[at + i];
        }
        at += n;
    }
    EXPECT_EQ(counts, (std::vector<uint8_t>{26, 25, 26, 8}));
    EXPECT_EQ(bench.ask(upgrade(6, 4)).data, (Bytes{0x5F, 7, 0} + be32(sum)));
    bench.ask(writeCount(6, 60));
    EXPECT_EQ(bench.model().firmwareMemory().read(0x1000, 60), chunk);
}

TEST(Faults, StatusFaults) {
    const Bytes four = image(4, 8);
    const uint32_t sum = uint32_t(four[0]) + four[1] + four[2] + four[3];
    struct Case {
        const char* faults;
        Bytes request;
        std::vector<Bytes> replies; // to four identical tries, each after a fresh PREPARE
    };
    const Bytes good = Bytes{0x5F, 7, 0} + be32(sum);
    const Bytes bad = Bytes{0x5F, 7, 0} + be32(sum + 1);
    const Bytes accepted{0x5F, 7, 0, 2, 0};
    const Bytes refused{0x5F, 7, 12, 2, 0};
    const Case cases[] = {
        {"badsum", upgrade(6, 4), {bad, good, good, good}},
        {"badsum@3", upgrade(6, 4), {good, good, bad, good}},
        {"badsum*", upgrade(6, 4), {bad, bad, bad, bad}},
        {"refuse", prepare(6, 0, 0x100), {refused, accepted, accepted, accepted}},
        {"refuse*2", prepare(6, 0, 0x100), {refused, refused, accepted, accepted}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        Bench bench(kModule + "personality=loader faults=" + c.faults);
        for (const Bytes& expected : c.replies) {
            if (c.request != prepare(6, 0, 0x100)) {
                bench.send(prepare(6, 0, 0x100));
                bench.send(dataPacket(6, four.data(), 4));
                bench.packets();
            }
            EXPECT_EQ(bench.ask(c.request).data, expected);
        }
    }
}

TEST(Faults, RefusedPrepareTakesNoData) {
    Bench bench(kModule + "personality=loader faults=refuse");
    bench.ask(prepare(6, 0, 0x100));
    EXPECT_EQ(bench.ask(upgrade(6, 1, {1, 2, 3})).data, (Bytes{0x5F, 1, 0}));
}

TEST(Faults, NeverReturnsAfterReboot) {
    Bench bench(kModule + "personality=loader restart=100 faults=noreturn");
    // A reset is not a reboot: it comes back.
    bench.ask(ueiSet(6, 3, 11));
    bench.elapse(milliseconds(100));
    ASSERT_TRUE(bench.model().present(bench.now()));

    bench.send(upgrade(6, 6));
    bench.elapse(std::chrono::seconds(60));
    EXPECT_FALSE(bench.model().present(bench.now()));
    EXPECT_EQ(bench.model().nextWakeup(), Clock::time_point::max());
}

TEST(Faults, DisconnectAfterBytes) {
    Bench bench(kModule + "restart=100 faults=cut:8");
    // The first request (5 bytes) is answered; the link goes during the second.
    const std::vector<Packet> got = bench.exchange(ueiGet(6, 3, 9) + ueiGet(6, 3, 8));
    EXPECT_TRUE(got.empty()) << "what was not read went with the link";
    EXPECT_FALSE(bench.model().present(bench.now()));
    EXPECT_EQ(bench.model().counters().bytesFromHost, 8u);
    bench.elapse(milliseconds(100));
    ASSERT_TRUE(bench.model().present(bench.now()));
    EXPECT_EQ(bench.model().lastDrop(), qbsim::ModuleModel::DropKind::Disconnect);
    // Once only, and the torn request did not stay in the framing.
    EXPECT_EQ(bench.exchange(ueiGet(6, 3, 8) + ueiGet(6, 3, 8)).size(), 2u);
}
