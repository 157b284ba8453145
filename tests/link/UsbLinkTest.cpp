// USB links against modules on the emulated USB bus: sharing by use count
// and closing, the wire seen by a scripted module, a reset, and the module
// model answering requests while it sends heartbeats.
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "qbusb_driver.h"

#include "LinkRig.h"
#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "TestbedTest.h"
#include "UsbTestbed.h"
#include "WireCases.h"

#include <gtest/gtest.h>

namespace {

using namespace qbtest;
using qbsim::ModuleModel;
using qbsim::usb::Testbed;

constexpr uint32_t kSerial = 0x40F5849A;

class UsbLink : public qbsim::usb::TestbedTest {
protected:
    void TearDown() override {
        for (int32_t& id : ids) {
            while (id != 0 && aLink_GetStatus(id) != aLINK_STATUS_NOSTREAM) {
                int32_t copy = id;
                aLink_Destroy(&copy);
            }
        }
        Quorbital_libusb_exit(); // the process-wide context belongs to this bus
        TestbedTest::TearDown();
    }
    LockedPeer& addModel(const std::string& description) {
        models.push_back(std::make_unique<LockedPeer>(qbsim::makeModule(description)));
        testbed->addModule(*models.back());
        return *models.back();
    }
    WirePeer& addWire() {
        wires.push_back(std::make_unique<WirePeer>(kSerial));
        testbed->addModule(*wires.back());
        return *wires.back();
    }
    int32_t keep(int32_t id) {
        ids.push_back(id);
        return id;
    }

    std::vector<std::unique_ptr<LockedPeer>> models;
    std::vector<std::unique_ptr<WirePeer>> wires;
    std::vector<int32_t> ids;
};

TEST_F(UsbLink, CreatedTwiceIsSharedAndTheLastHolderClosesIt) {
    LockedPeer& module = addModel("serial=40F5849A model=14 address=2 heartbeat=20");
    int32_t id = keep(aLink_CreateUSB(kSerial));
    ASSERT_NE(id, 0);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(module.with<ModuleModel>([](ModuleModel& m) { return m.forceRoute(); }));
    int32_t again = aLink_CreateUSB(kSerial);
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 2);

    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    ASSERT_EQ(sendPacket(id, 2, {3, 0x49, 0x20}), aErrNone);
    EXPECT_EQ(hex(takeFrame(aLink_AwaitFirst(id, isSerialReply, nullptr, 3000))),
              "02 07 03 09 00 40 F5 84 9A");

    int32_t copy = id;
    ASSERT_EQ(aLink_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_NOSTREAM);
    auto [lastAddress, lastData, routed, answered, wrong] =
        module.with<ModuleModel>([](ModuleModel& m) {
            auto last = m.hostPackets().back();
            return std::make_tuple(last.address, last.data, m.forceRoute(), m.heartbeats().good,
                                   m.heartbeats().bad);
        });
    EXPECT_EQ(lastAddress, 0xAF);
    EXPECT_EQ(lastData, std::vector<uint8_t>{0});
    EXPECT_FALSE(routed);
    EXPECT_GT(answered, 0u);
    EXPECT_EQ(wrong, 0u);
    // The module can be opened again.
    int32_t reopened = keep(aLink_CreateUSB(kSerial));
    EXPECT_GT(reopened, id);
    EXPECT_EQ(aLink_GetStatus(reopened), aLINK_STATUS_RUNNING);
}

TEST_F(UsbLink, WhatTheModuleSeesOnTheWire) {
    WirePeer& peer = addWire();
    peer.answerSync(2);
    RigLink link{peer, [&] { testbed->wake(); }};
    link.id = keep(aLink_CreateUSB(kSerial));
    ASSERT_NE(link.id, 0);
    // Started (AF 01 01), synchronised (AD 00 until two answers came; the
    // rest of the burst may be discarded unsent), routed again (AF 01 01).
    ASSERT_TRUE(waitFor([&] { return peer.frames().back() == Bytes{0xAF, 1, 1}; }));
    auto frames = peer.frames();
    ASSERT_GE(frames.size(), 4u);
    EXPECT_EQ(hex(frames.front()), "AF 01 01");
    for (size_t i = 1; i + 1 < frames.size(); i++) {
        EXPECT_EQ(hex(frames[i]), "AD 00") << i;
    }
    EXPECT_EQ(hex(frames.back()), "AF 01 01");
    peer.answerSync(0);
    expectFramingLostAndRestored(link);
    expectHeartbeatsAnswered(link);
    expectClosedWithRouteOff(link, true);
}

TEST_F(UsbLink, NoLinkWithoutTheModule) {
    size_t before = aLinkManager_Count();
    EXPECT_EQ(aLink_CreateUSB(0x12345678), 0);
    EXPECT_EQ(aLink_CreateUSB(0), 0);
    EXPECT_EQ(aLinkManager_Count(), before);
    // A module that does not answer the synchronisation is not linked either.
    addWire();
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0);
    EXPECT_EQ(aLinkManager_Count(), before);
}

int takeAll(const aPacket*, void* reference) {
    static_cast<std::atomic<int>*>(reference)->fetch_add(1);
    return 1;
}

TEST_F(UsbLink, ResetOpensTheModuleAgainAndDropsTheUserFilter) {
    WirePeer& peer = addWire();
    peer.answerSync(2);
    int32_t id = keep(aLink_CreateUSB(kSerial));
    ASSERT_NE(id, 0);
    std::atomic<int> taken{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, takeAll, &taken), aErrNone);
    peer.push({2, 1, 7});
    testbed->wake();
    ASSERT_TRUE(waitFor([&] { return taken == 1; }));

    int disconnects = peer.disconnects();
    size_t frames = peer.frames().size();
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(peer.disconnects(), disconnects + 1); // the old stream was closed
    ASSERT_TRUE(waitFor([&] { return peer.frames().size() >= frames + 2; }));
    auto after = peer.frames();
    EXPECT_EQ(hex(after[frames]), "AF 01 00");
    EXPECT_EQ(hex(after[frames + 1]), "AF 01 01"); // on the new stream
    peer.push({2, 1, 8});
    testbed->wake();
    EXPECT_EQ(hex(takeFrame(aLink_AwaitPacket(id, 3000))), "02 01 08");
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(aLinkManager_GetUseCount(id), 1);
}

} // namespace
