// Links over the pty rigs: the kernel-driver node (a pty under /dev) and a
// serial port. Each first against a scripted module for the bytes on the
// wire, then against the module model. The node needs root; its cases skip
// themselves without it.
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include "LinkRig.h"
#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "PtyRig.h"
#include "WireCases.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace qbtest;
using qbsim::ModuleModel;

bool root() {
    return geteuid() == 0;
}

TEST(NodeLink, WhatTheModuleSeesOnTheWire) {
    if (!root()) {
        GTEST_SKIP() << "the node goes into /dev, which needs root";
    }
    const uint32_t serial = uniqueSerial(1);
    WirePeer peer(serial);
    peer.answerSync(2);
    qbsim::pty::NodeRig rig(peer);
    RigLink link{peer, [&] { rig.wake(); }};
    link.id = aLink_CreateUSB(serial);
    ASSERT_NE(link.id, 0);
    ASSERT_TRUE(waitFor([&] { return peer.frames().back() == Bytes{0xAF, 1, 1}; }));
    peer.answerSync(0);
    expectFramingLostAndRestored(link);
    expectHeartbeatsAnswered(link);
    expectClosedWithRouteOff(link, false);
}

TEST(NodeLink, SharedAndClosedWithTheModel) {
    if (!root()) {
        GTEST_SKIP() << "the node goes into /dev, which needs root";
    }
    const uint32_t serial = uniqueSerial(2);
    LockedPeer module(qbsim::makeModule(modelWith(serial, "heartbeat=20")));
    qbsim::pty::NodeRig rig(module);
    int32_t id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0);
    int32_t again = aLink_CreateUSB(serial);
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 2);
    aLink_Destroy(&again);
    expectModelAnswers(id, serial, 20);
    aLink_Destroy(&id);
    EXPECT_TRUE(waitFor([&] {
        return module.with<ModuleModel>([](ModuleModel& m) {
            auto& last = m.hostPackets().back();
            return last.address == 0xAF && last.data == std::vector<uint8_t>{0};
        });
    }));
    auto [good, bad] = module.with<ModuleModel>(
        [](ModuleModel& m) { return std::make_pair(m.heartbeats().good, m.heartbeats().bad); });
    EXPECT_GT(good, 0u);
    EXPECT_EQ(bad, 0u);
}

TEST(SerialRigLink, WhatTheModuleSeesOnTheWire) {
    WirePeer peer(uniqueSerial(3));
    qbsim::pty::SerialRig rig(peer);
    RigLink link{peer, [&] { rig.wake(); }};
    link.id = aLink_CreateSerial(uniqueSerial(3), rig.portPath().c_str(), 115200);
    ASSERT_NE(link.id, 0);
    EXPECT_EQ(hex(peer.awaitFromHost(3)), "AF 01 01");
    expectFramingLostAndRestored(link);
    expectHeartbeatsAnswered(link);
    expectClosedWithRouteOff(link, false);
}

TEST(SerialRigLink, TheModelAtTheLinesPaceWhileHeartbeatsFlow) {
    const uint32_t serial = uniqueSerial(4);
    LockedPeer module(qbsim::makeModule(modelWith(serial, "heartbeat=20")));
    qbsim::pty::SerialRig rig(module, {qbsim::pty::Pacing::Fixed, 115200, 10});
    int32_t id = aLink_CreateSerial(serial, rig.portPath().c_str(), 115200);
    ASSERT_NE(id, 0);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    expectModelAnswers(id, serial, 30);
    aLink_Destroy(&id);
    auto [good, bad] = module.with<ModuleModel>(
        [](ModuleModel& m) { return std::make_pair(m.heartbeats().good, m.heartbeats().bad); });
    EXPECT_GT(good, 0u);
    EXPECT_EQ(bad, 0u);
}

} // namespace
