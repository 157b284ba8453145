// A simulated module on the network, seen by bare host-side sockets from
// the other end of the veth pair.
#include "HostClient.h"
#include "ScriptedPeer.h"
#include "TcpModuleRig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using netsim::ScriptedPeer;
using qbsim::net::TcpModuleConfig;
using qbsim::net::TcpModuleRig;

namespace {

class TcpModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qbsim::netns::available()) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
    }

    // Connects, retrying while the module is still off the network.
    static int connectWithin(const std::string& address, uint16_t port,
                             std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const int fd = netsim::connectTcp(address, port);
            if (fd >= 0 || std::chrono::steady_clock::now() > end) {
                return fd;
            }
            std::this_thread::sleep_for(50ms);
        }
    }
};

TEST_F(TcpModuleTest, DiscoveryReplyCarriesTheModuleFromItsOwnAddress) {
    TcpModuleConfig config;
    config.port = 9000;
    config.moduleAddress = 6;
    TcpModuleRig rig(std::make_unique<ScriptedPeer>(0x2181F0EE, 0x000E), config);
    qbsim::netns::Enter inHost(rig.host());

    const auto replies = netsim::discover(rig.hostAddress(), 1500ms, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].source, "192.0.2.20");
    // address 6, port 9000 (0x2328) and serial little-endian, model 14.
    EXPECT_EQ(netsim::hex(replies[0].bytes), "00 06 28 23 EE F0 81 21 00 00 00 00 0E 00 00 00");
    EXPECT_EQ(rig.module().counters().discoveryReplies, 1u);
}

TEST_F(TcpModuleTest, TwoModulesAnswerFromDistinctAddresses) {
    TcpModuleRig rig;
    rig.add(std::make_unique<ScriptedPeer>(0x11111111, 14));
    rig.add(std::make_unique<ScriptedPeer>(0x22222222, 0x13));
    qbsim::netns::Enter inHost(rig.host());

    auto replies = netsim::discover(rig.hostAddress(), 1500ms, 2);
    ASSERT_EQ(replies.size(), 2u);
    std::sort(replies.begin(), replies.end(),
              [](const auto& a, const auto& b) { return a.source < b.source; });
    EXPECT_EQ(replies[0].source, "192.0.2.20");
    EXPECT_EQ(netsim::hex(replies[0].bytes), "00 02 28 23 11 11 11 11 00 00 00 00 0E 00 00 00");
    EXPECT_EQ(replies[1].source, "192.0.2.21");
    EXPECT_EQ(netsim::hex(replies[1].bytes), "00 02 28 23 22 22 22 22 00 00 00 00 13 00 00 00");
    // Both serve the link on their own address.
    for (const auto& reply : replies) {
        const int fd = netsim::connectTcp(reply.source, 9000);
        ASSERT_GE(fd, 0) << reply.source;
        ASSERT_TRUE(netsim::sendAll(fd, {0x5A}));
        EXPECT_EQ(netsim::receive(fd, 1, 2s), std::vector<uint8_t>{0x5A});
        close(fd);
    }
}

TEST_F(TcpModuleTest, OtherDatagramsGoUnanswered) {
    TcpModuleRig rig(std::make_unique<ScriptedPeer>());
    qbsim::netns::Enter inHost(rig.host());

    auto request = [](size_t length, size_t index, uint8_t value) {
        std::vector<uint8_t> bytes(length, 0);
        bytes[0] = 1;
        bytes[index] = value;
        return bytes;
    };
    const std::vector<std::vector<uint8_t>> wrong = {
        request(15, 0, 1), request(17, 0, 1), request(16, 0, 2),
        request(16, 0, 0), request(16, 5, 1), request(16, 15, 0x80),
    };
    for (const auto& bytes : wrong) {
        EXPECT_TRUE(netsim::discover(rig.hostAddress(), 200ms, 1, bytes).empty())
            << netsim::hex(bytes);
    }
    EXPECT_EQ(netsim::discover(rig.hostAddress(), 1500ms, 1).size(), 1u);
}

TEST_F(TcpModuleTest, BareSocketExchangesBytesOneHostAtATime) {
    auto owned = std::make_unique<ScriptedPeer>();
    ScriptedPeer* peer = owned.get();
    TcpModuleRig rig(std::move(owned));
    qbsim::netns::Enter inHost(rig.host());

    const int first = netsim::connectTcp("192.0.2.20", 9000);
    ASSERT_GE(first, 0) << strerror(errno);
    std::vector<uint8_t> block(3000);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7 % 0xE0); // no command bytes
    }
    ASSERT_TRUE(netsim::sendAll(first, block));
    EXPECT_EQ(netsim::receive(first, block.size(), 3s), block);

    // A second host waits until the first has gone.
    const int second = netsim::connectTcp("192.0.2.20", 9000);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(netsim::sendAll(second, {0x42}));
    EXPECT_TRUE(netsim::receive(second, 1, 300ms).empty());
    close(first);
    EXPECT_EQ(netsim::receive(second, 1, 3s), std::vector<uint8_t>{0x42});
    close(second);

    const auto end = std::chrono::steady_clock::now() + 3s;
    unsigned disconnects = 0;
    while (disconnects < 2 && std::chrono::steady_clock::now() < end) {
        rig.module().withPeer([&](qbsim::BytePeer&) { disconnects = peer->disconnects(); });
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(disconnects, 2u);
    EXPECT_EQ(rig.module().counters().connections, 2u);
}

TEST_F(TcpModuleTest, RestartDropsTheHostAndSilencesDiscoveryUntilBack) {
    auto owned = std::make_unique<ScriptedPeer>();
    ScriptedPeer* peer = owned.get();
    TcpModuleRig rig(std::move(owned));
    qbsim::netns::Enter inHost(rig.host());

    const int fd = netsim::connectTcp("192.0.2.20", 9000);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(netsim::sendAll(fd, {0x01, ScriptedPeer::kStayAway}));
    // What the module said before it went is delivered, then the reset.
    int error = 0;
    EXPECT_EQ(netsim::receive(fd, 3, 3s, &error),
              (std::vector<uint8_t>{0x01, ScriptedPeer::kStayAway}));
    EXPECT_EQ(error, ECONNRESET);
    close(fd);

    EXPECT_EQ(netsim::connectTcp("192.0.2.20", 9000), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(netsim::discover(rig.hostAddress(), 500ms).empty());
    EXPECT_EQ(rig.module().counters().drops, 1u);

    rig.module().withPeer([&](qbsim::BytePeer&) { peer->comeBack(); });
    EXPECT_EQ(netsim::discover(rig.hostAddress(), 1500ms, 1).size(), 1u);
    const int again = connectWithin("192.0.2.20", 9000, 3s);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(netsim::sendAll(again, {0x33}));
    EXPECT_EQ(netsim::receive(again, 1, 3s), std::vector<uint8_t>{0x33});
    close(again);
}

TEST_F(TcpModuleTest, TimedRestartComesBackByItself) {
    TcpModuleRig rig(std::make_unique<ScriptedPeer>(0x2181F0EE, 14, 400ms));
    qbsim::netns::Enter inHost(rig.host());

    const int fd = netsim::connectTcp("192.0.2.20", 9000);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(netsim::sendAll(fd, {ScriptedPeer::kRestart}));
    int error = 0;
    EXPECT_EQ(netsim::receive(fd, 2, 3s, &error), std::vector<uint8_t>{ScriptedPeer::kRestart});
    EXPECT_EQ(error, ECONNRESET);
    close(fd);

    // Back on its own, with nobody waking it but its own timer.
    const int again = connectWithin("192.0.2.20", 9000, 10s);
    ASSERT_GE(again, 0);
    close(again);
    EXPECT_EQ(netsim::discover(rig.hostAddress(), 1500ms, 1).size(), 1u);
    EXPECT_EQ(rig.module().counters().drops, 1u);
}

TEST_F(TcpModuleTest, SetupErrorsAreReported) {
    TcpModuleRig rig(std::make_unique<ScriptedPeer>());
    // The port of the first module on the same address is taken.
    TcpModuleConfig same;
    same.address = "192.0.2.20";
    EXPECT_THROW(rig.add(std::make_unique<ScriptedPeer>(), same), std::system_error);
    // An address the device side does not carry.
    TcpModuleConfig missing;
    missing.address = "198.51.100.7";
    EXPECT_THROW(qbsim::net::TcpModule(rig.device(), std::make_unique<ScriptedPeer>(), missing),
                 std::system_error);
    // Never in the machine's own network.
    TcpModuleConfig loopback;
    loopback.address = "127.0.0.1";
    EXPECT_THROW(qbsim::net::TcpModule(qbsim::netns::Namespace::current(),
                                       std::make_unique<ScriptedPeer>(), loopback),
                 std::logic_error);
}

} // namespace
