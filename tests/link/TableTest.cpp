// The link table and the creators: ids, sharing by use count, what a failed
// creation leaves behind; TCP/IP links against a loopback module; serial
// links on a pseudo-terminal.
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include "LinkRig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace qbtest;

// A port on 127.0.0.1 where nothing listens.
uint16_t closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    close(fd);
    return ntohs(at.sin_port);
}

TEST(LinkTable, IdsRiseByOneAndAreNeverReused) {
    ScriptedStream a, b, c;
    a.release();
    b.release();
    c.release();
    int32_t first = aLink_Create(a.make());
    int32_t second = aLink_Create(b.make());
    ASSERT_NE(first, 0);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(aLinkManager_GetUseCount(first), 1);
    int32_t gone = first;
    aLink_Destroy(&first);
    EXPECT_EQ(aLink_GetStatus(gone), aLINK_STATUS_NOSTREAM);
    int32_t third = aLink_Create(c.make());
    EXPECT_EQ(third, second + 1);
    // A failed creation uses up its id as well.
    EXPECT_EQ(aLink_CreateTCPIP(PeerServer::address(), closedPort()), 0);
    ScriptedStream d;
    d.release();
    int32_t fifth = aLink_Create(d.make());
    EXPECT_EQ(fifth, third + 2);
    aLink_Destroy(&second);
    aLink_Destroy(&third);
    aLink_Destroy(&fifth);
}

class TcpLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto made = std::make_unique<ScriptedModule>(2);
        module = made.get();
        server = std::make_unique<PeerServer>(std::move(made));
    }
    std::vector<Bytes> received() {
        std::vector<Bytes> copy;
        server->withPeer([&](qbsim::BytePeer&) { copy = module->received(); });
        return copy;
    }
    ScriptedModule* module = nullptr;
    std::unique_ptr<PeerServer> server;
};

TEST_F(TcpLinkTest, SharedByAddressAndPortAndClosedByTheLastHolder) {
    const uint32_t address = PeerServer::address();
    int32_t id = aLink_CreateTCPIP(address, server->port());
    ASSERT_NE(id, 0);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    int32_t again = aLink_CreateTCPIP(address, server->port());
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 2);

    // The same address on another port is another module.
    PeerServer other(std::make_unique<ScriptedModule>(4));
    int32_t otherId = aLink_CreateTCPIP(address, other.port());
    EXPECT_NE(otherId, 0);
    EXPECT_NE(otherId, id);
    aLink_Destroy(&otherId);

    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(again, 0);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 1);
    ASSERT_EQ(sendPacket(id, 2, {23, 1, 2}), aErrNone);
    EXPECT_EQ(hex(takeFrame(aLink_AwaitPacket(id, 2000))), "02 03 17 01 02");
    EXPECT_EQ(server->connections(), 1);

    int32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(copy), aLINK_STATUS_NOSTREAM);
    EXPECT_EQ(aLinkManager_GetUseCount(copy), -1);
    EXPECT_FALSE(aLinkManager_FindByIdentifier(TCPIP, address, server->port()));
    ASSERT_TRUE(waitFor([&] { return server->open() == 0; }));
    auto frames = received();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(hex(frames.front()), "AF 01 01");
    EXPECT_EQ(hex(frames.back()), "AF 01 00");
}

TEST_F(TcpLinkTest, NoLinkWithoutAConnection) {
    size_t before = aLinkManager_Count();
    uint16_t port = closedPort();
    EXPECT_EQ(aLink_CreateTCPIP(PeerServer::address(), port), 0);
    EXPECT_EQ(aLinkManager_Count(), before);
    EXPECT_EQ(aLink_CreateTCPIP(PeerServer::address(), 70000), 0);
    EXPECT_EQ(aLinkManager_Count(), before);
}

struct Taken {
    std::atomic<int> count{0};
};

int takeAll(const aPacket*, void* reference) {
    static_cast<Taken*>(reference)->count++;
    return 1;
}

TEST_F(TcpLinkTest, ResetMakesANewConnectionAndDropsTheUserFilter) {
    int32_t id = aLink_CreateTCPIP(PeerServer::address(), server->port());
    ASSERT_NE(id, 0);
    Taken taken;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, takeAll, &taken), aErrNone);
    ASSERT_EQ(sendPacket(id, 2, {23, 5}), aErrNone);
    ASSERT_TRUE(waitFor([&] { return taken.count == 1; }));

    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 1);
    EXPECT_EQ(server->connections(), 2);
    EXPECT_TRUE(waitFor([&] { return server->open() == 1; }));
    ASSERT_EQ(sendPacket(id, 2, {23, 6}), aErrNone);
    EXPECT_EQ(hex(takeFrame(aLink_AwaitPacket(id, 2000))), "02 02 17 06");
    EXPECT_EQ(taken.count, 1);
    aLink_Destroy(&id);
}

TEST(SerialLink, RateOutsideTheListOrPortMissingLeavesNoEntry) {
    Pty pty;
    size_t before = aLinkManager_Count();
    for (uint32_t rate : {14400u, 0u, 115201u}) {
        EXPECT_EQ(aLink_CreateSerial(0x5E1A1, pty.path().c_str(), rate), 0) << rate;
    }
    EXPECT_EQ(aLink_CreateSerial(0x5E1A1, "/dev/no-such-port", 115200), 0);
    EXPECT_EQ(aLinkManager_Count(), before);
    EXPECT_FALSE(aLinkManager_FindByIdentifier(SERIAL, 0x5E1A1, 0));
}

TEST(SerialLink, OnAPseudoTerminal) {
    Pty pty;
    int32_t id = aLink_CreateSerial(0x5E1A2, pty.path().c_str(), 115200);
    ASSERT_NE(id, 0);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(hex(pty.read(3)), "AF 01 01");

    pty.write({6, 2, 0, 0});
    EXPECT_EQ(hex(pty.read(4)), "06 02 00 02");
    ASSERT_EQ(sendPacket(id, 6, {3, 0x41, 0x20}), aErrNone);
    EXPECT_EQ(hex(pty.read(5)), "06 03 03 41 20");
    pty.write({6, 4, 3, 1, 0x20, 0x0E});
    EXPECT_EQ(hex(takeFrame(aLink_AwaitPacket(id, 2000))), "06 04 03 01 20 0E");

    // An existing link is shared whatever rate is asked.
    int32_t again = aLink_CreateSerial(0x5E1A2, pty.path().c_str(), 14400);
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 2);
    aLink_Destroy(&again);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    aLink_Destroy(&id);
    EXPECT_EQ(hex(pty.read(3)), "AF 01 00");
}

} // namespace
