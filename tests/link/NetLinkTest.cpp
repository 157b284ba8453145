// Links over TCP/IP to modules inside network namespaces: first a scripted
// module for the bytes on the wire, then the module model across a reset.
// Needs root; the cases skip themselves without it.
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include "LinkRig.h"
#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "Netns.h"
#include "TcpModuleRig.h"
#include "WireCases.h"

#include <gtest/gtest.h>

namespace {

using namespace qbtest;

const uint32_t kModuleAddress = qbsim::netns::parseAddress("192.0.2.20").s_addr;

TEST(TcpRigLink, WhatTheModuleSeesOnTheWire) {
    if (!qbsim::netns::available()) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    auto owned = std::make_unique<WirePeer>(uniqueSerial(5));
    WirePeer& peer = *owned;
    qbsim::net::TcpModuleRig rig(std::move(owned));
    qbsim::netns::Enter inHost(rig.host());
    RigLink link{peer, [&] { rig.module().withPeer([](qbsim::BytePeer&) {}); }};
    link.id = aLink_CreateTCPIP(kModuleAddress, 9000);
    ASSERT_NE(link.id, 0);
    EXPECT_EQ(hex(peer.awaitFromHost(3)), "AF 01 01");
    expectFramingLostAndRestored(link);
    expectHeartbeatsAnswered(link);
    expectClosedWithRouteOff(link, true);
}

// Takes every packet but the heartbeats, which keep flowing (and being
// answered) beside the exchange.
int takeAllButHeartbeats(const aPacket* packet, void* reference) {
    if (packet->length == 2 && packet->data[0] == 0) {
        return 0;
    }
    static_cast<std::atomic<int>*>(reference)->fetch_add(1);
    return 1;
}

TEST(TcpRigLink, TheModelAcrossAResetThatDropsTheUserFilter) {
    if (!qbsim::netns::available()) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    const uint32_t serial = uniqueSerial(6);
    qbsim::net::TcpModuleRig rig(qbsim::makeModule(modelWith(serial, "heartbeat=20")));
    qbsim::netns::Enter inHost(rig.host());
    int32_t id = aLink_CreateTCPIP(kModuleAddress, 9000);
    ASSERT_NE(id, 0);
    EXPECT_EQ(aLink_CreateTCPIP(kModuleAddress, 9000), id);
    int32_t second = id;
    aLink_Destroy(&second);
    expectModelAnswers(id, serial, 20);

    std::atomic<int> taken{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, takeAllButHeartbeats, &taken), aErrNone);
    ASSERT_EQ(sendPacket(id, 2, {3, 0x49, 0x20}), aErrNone);
    ASSERT_TRUE(waitFor([&] { return taken == 1; }));
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(rig.module().counters().connections, 2u);
    expectModelAnswers(id, serial, 5);
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 1);
    aLink_Destroy(&id);
}

} // namespace
