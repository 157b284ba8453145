// The emulated USB bus seen by a bare libusb program.
#include "BareUsbClient.h"

#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "TestbedTest.h"
#include "UsbTestbed.h"
#include "peer/EchoPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;
using qbsim::Clock;
using qbsim::EchoPeer;
using qbsim::PeerIdentity;
using qbsim::usb::Direction;
using qbsim::usb::Module;
using qbsim::usb::Testbed;
using qbtest::BareUsbClient;

namespace {

constexpr uint16_t kVendor = QUORBITAL_VENDOR_ID;

std::string serialText(uint32_t serial) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", serial);
    return buf;
}

class UsbRig : public qbsim::usb::TestbedTest {
protected:
    void TearDown() override {
        client.reset();
        TestbedTest::TearDown();
    }

    // The client's libusb context starts after the devices exist, as a
    // program started against a machine would.
    BareUsbClient& startClient() {
        client = std::make_unique<BareUsbClient>();
        return *client;
    }

    // Peers outlive the client and the testbed (TearDown).
    EchoPeer& peer(uint32_t serial, uint16_t productId = 0x010E) {
        peers.push_back(std::make_unique<EchoPeer>(PeerIdentity{serial, productId}));
        return *peers.back();
    }

    std::vector<std::unique_ptr<EchoPeer>> peers;
    std::unique_ptr<BareUsbClient> client;
};

TEST_F(UsbRig, BareClientFindsTheModuleAndExchangesBytes) {
    EchoPeer& echo = peer(0x40F5849A);
    Module& module = testbed->addModule(echo);
    ASSERT_TRUE(module.plugged());

    auto& c = startClient();
    auto found = c.list(kVendor);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].productId, 0x010E);
    EXPECT_EQ(found[0].serial, "40F5849A");

    libusb_device_handle* h = c.open(kVendor, "40F5849A");
    ASSERT_NE(h, nullptr);

    // The transport interface as a module presents it.
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(libusb_get_device(h), 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& itf = config->interface[0].altsetting[0];
    EXPECT_EQ(itf.bInterfaceClass, 0xFF);
    EXPECT_EQ(itf.bInterfaceSubClass, 0x88);
    EXPECT_EQ(itf.bInterfaceProtocol, 0x10);
    ASSERT_EQ(itf.bNumEndpoints, 2);
    EXPECT_EQ(itf.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(itf.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(itf.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(itf.endpoint[1].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    libusb_free_config_descriptor(config);

    const std::vector<uint8_t> packet{0x03, 0x49, 0x20};
    int sent = 0;
    ASSERT_EQ(c.write(h, packet, 1000, &sent), 0);
    EXPECT_EQ(sent, 3);
    std::vector<uint8_t> in;
    ASSERT_EQ(c.read(h, in, 512, 1000), 0);
    EXPECT_EQ(in, packet);
    EXPECT_EQ(echo.received(), packet);

    auto log = module.transfers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].direction, Direction::Out);
    EXPECT_EQ(log[0].actual, 3u);
    EXPECT_EQ(log[1].direction, Direction::In);
    EXPECT_EQ(log[1].requested, 512u);
    EXPECT_EQ(log[1].data, packet);
}

TEST_F(UsbRig, InTransferWaitsForThePeersOwnOutput) {
    EchoPeer& echo = peer(0x11111111);
    testbed->addModule(echo);
    auto& c = startClient();
    libusb_device_handle* h = c.open(kVendor, "11111111");
    ASSERT_NE(h, nullptr);

    // Nothing to say: the IN transfer runs into the client's time-out.
    std::vector<uint8_t> in;
    EXPECT_EQ(c.read(h, in, 64, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(in.empty());

    // Bytes the peer sends on its own arrive when they are due, not before.
    const auto start = Clock::now();
    echo.sendAt(start + 300ms, {0x08, 0x02, 0x00, 0x01});
    testbed->wake();
    ASSERT_EQ(c.read(h, in, 64, 3000), 0);
    EXPECT_GE(Clock::now() - start, 280ms);
    EXPECT_EQ(in, (std::vector<uint8_t>{0x08, 0x02, 0x00, 0x01}));
}

TEST_F(UsbRig, StalledEndpointsAnswerPipeUntilTheHaltIsCleared) {
    EchoPeer& echo = peer(0x22222222);
    Module& module = testbed->addModule(echo);
    auto& c = startClient();
    libusb_device_handle* h = c.open(kVendor, "22222222");
    ASSERT_NE(h, nullptr);

    module.stall(Direction::Out);
    EXPECT_EQ(c.write(h, {1, 2, 3}), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(c.write(h, {1, 2, 3}), LIBUSB_ERROR_PIPE);
    EXPECT_TRUE(echo.received().empty());
    ASSERT_EQ(libusb_clear_halt(h, 0x01), 0);
    EXPECT_FALSE(module.halted(Direction::Out));
    EXPECT_EQ(c.write(h, {1, 2, 3}), 0);

    // A stall on IN also ends the transfer that is waiting.
    std::vector<uint8_t> in;
    ASSERT_EQ(c.read(h, in), 0); // the echo of 1 2 3
    std::thread staller([&] {
        std::this_thread::sleep_for(100ms);
        module.stall(Direction::In);
    });
    EXPECT_EQ(c.read(h, in, 64, 3000), LIBUSB_ERROR_PIPE);
    staller.join();
    EXPECT_EQ(c.read(h, in, 64, 100), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    EXPECT_EQ(c.read(h, in, 64, 100), LIBUSB_ERROR_TIMEOUT);
}

TEST_F(UsbRig, InjectedFaultsHitTheNextTransfersOnly) {
    EchoPeer& echo = peer(0x33333333);
    Module& module = testbed->addModule(echo);
    auto& c = startClient();
    libusb_device_handle* h = c.open(kVendor, "33333333");
    ASSERT_NE(h, nullptr);

    struct Case {
        const char* what;
        bool submit; // refused by the ioctl, else completed with the status
        int errnoValue;
        int expected; // libusb's result
    };
    const Case cases[] = {
        {"protocol error", false, EPROTO, LIBUSB_ERROR_IO},
        {"overflow", false, EOVERFLOW, LIBUSB_ERROR_OVERFLOW},
        {"stall status", false, EPIPE, LIBUSB_ERROR_PIPE},
        {"refused submission", true, EIO, LIBUSB_ERROR_IO},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        if (k.submit) {
            module.refuseSubmissions(2, k.errnoValue, Direction::Out);
        } else {
            module.failTransfers(2, k.errnoValue, Direction::Out);
        }
        EXPECT_EQ(c.write(h, {0xAA}), k.expected);
        EXPECT_EQ(c.write(h, {0xBB}), k.expected);
        EXPECT_EQ(c.write(h, {0xCC}), 0);
        std::vector<uint8_t> in;
        ASSERT_EQ(c.read(h, in), 0);
        EXPECT_EQ(in, std::vector<uint8_t>{0xCC}); // failed writes never reached the peer
    }

    // IN faults take the IN transfers, and only as many as asked.
    module.failTransfers(1, EPROTO, Direction::In);
    ASSERT_EQ(c.write(h, {0x42}), 0);
    std::vector<uint8_t> in;
    EXPECT_EQ(c.read(h, in), LIBUSB_ERROR_IO);
    ASSERT_EQ(c.read(h, in), 0);
    EXPECT_EQ(in, std::vector<uint8_t>{0x42});
}

TEST_F(UsbRig, UnplugAndReplugFollowThePeer) {
    EchoPeer& echo = peer(0x44444444, 0x010E);
    Module& module = testbed->addModule(echo);
    auto& c = startClient();
    libusb_device_handle* h = c.open(kVendor, "44444444");
    ASSERT_NE(h, nullptr);
    const uint8_t firstAddress = libusb_get_device_address(libusb_get_device(h));

    // The module restarts into another identity (as a loader would) after
    // a second off the bus. The IN transfer in flight ends with the device.
    std::thread restart([&] {
        std::this_thread::sleep_for(100ms);
        echo.setIdentity({0xCDCAACCF, 0x0110});
        echo.absent(Clock::now(), Clock::now() + 1000ms);
        testbed->wake();
    });
    std::vector<uint8_t> in;
    EXPECT_EQ(c.read(h, in, 64, 3000), LIBUSB_ERROR_NO_DEVICE);
    restart.join();
    EXPECT_EQ(c.write(h, {1}), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(c.list(kVendor).empty());
    c.close(h);

    ASSERT_TRUE(module.waitPlugged(true, 3000ms));
    EXPECT_EQ(module.enumerations(), 2u);
    std::vector<qbtest::FoundDevice> found;
    for (int i = 0; i < 100 && found.empty(); ++i) {
        found = c.list(kVendor);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serial, "CDCAACCF");
    EXPECT_EQ(found[0].productId, 0x0110);
    EXPECT_NE(found[0].address, firstAddress);

    h = c.open(kVendor, "CDCAACCF");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(c.write(h, {7, 8}), 0);
    ASSERT_EQ(c.read(h, in), 0);
    EXPECT_EQ(in, (std::vector<uint8_t>{7, 8}));
}

TEST_F(UsbRig, SeveralModulesAtOnceKeepTheirTrafficApart) {
    const uint32_t serials[] = {0x0A000001, 0x0A000002, 0x0A000003};
    std::vector<EchoPeer*> echoes;
    for (uint32_t s : serials) {
        echoes.push_back(&peer(s, static_cast<uint16_t>(0x0100 | (s & 0xFF))));
        testbed->addModule(*echoes.back());
    }
    auto& c = startClient();
    auto found = c.list(kVendor);
    ASSERT_EQ(found.size(), 3u);

    std::vector<libusb_device_handle*> handles;
    for (uint32_t s : serials) {
        handles.push_back(c.open(kVendor, serialText(s)));
        ASSERT_NE(handles.back(), nullptr);
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        ASSERT_EQ(c.write(handles[i], {static_cast<uint8_t>(i), 0x55}), 0);
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        std::vector<uint8_t> in;
        ASSERT_EQ(c.read(handles[i], in), 0);
        EXPECT_EQ(in, (std::vector<uint8_t>{static_cast<uint8_t>(i), 0x55}));
        EXPECT_EQ(echoes[i]->received(), in);
    }
}

TEST_F(UsbRig, InterfaceClaimedElsewhereIsBusyAndReleaseTellsThePeer) {
    EchoPeer& echo = peer(0x55555555);
    testbed->addModule(echo);
    auto& c = startClient();
    libusb_device_handle* first = c.open(kVendor, "55555555");
    ASSERT_NE(first, nullptr);
    int error = 0;
    EXPECT_EQ(c.open(kVendor, "55555555", &error), nullptr);
    EXPECT_EQ(error, LIBUSB_ERROR_BUSY);

    c.close(first);
    EXPECT_EQ(echo.disconnects(), 1u);
    EXPECT_NE(c.open(kVendor, "55555555"), nullptr);
}

TEST_F(UsbRig, OddSerialStringsAndForeignDevicesAsConfigured) {
    qbsim::usb::ModuleOptions lower;
    lower.serialText = "40f5849a";
    testbed->addModule(peer(0x40F5849A), lower);
    qbsim::usb::ModuleOptions foreign;
    foreign.vendorId = 0x1234;
    testbed->addModule(peer(0x66666666), foreign);

    auto& c = startClient();
    auto found = c.list(kVendor);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serial, "40f5849a");
    EXPECT_EQ(c.list(0x1234).size(), 1u);
}

// The real module model on the bus: a bare client asks module 6 for its
// serial number, then resets it and sees it re-enumerate.
TEST_F(UsbRig, BareClientExchangesGoldenPacketsWithTheModel) {
    auto model = qbsim::makeModule("serial=40F5849A model=14 address=6 version=2.15.3 build=12345");
    Module& module = testbed->addModule(std::move(model));
    auto& c = startClient();
    auto found = c.list(kVendor);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].productId, 14);
    libusb_device_handle* h = c.open(kVendor, "40F5849A");
    ASSERT_NE(h, nullptr);

    auto ask = [&](const std::vector<uint8_t>& request, size_t replyLength) {
        EXPECT_EQ(c.write(h, request), 0);
        std::vector<uint8_t> reply;
        for (int i = 0; i < 5 && reply.size() < replyLength; ++i) {
            std::vector<uint8_t> in;
            if (c.read(h, in, 800, 1000) == 0) {
                reply.insert(reply.end(), in.begin(), in.end());
            }
        }
        return reply;
    };
    EXPECT_EQ(ask({0x06, 0x03, 0x03, 0x49, 0x20}, 9),
              (std::vector<uint8_t>{0x06, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    EXPECT_EQ(ask({0x06, 0x03, 0x03, 0x8B, 0x20}, 5),
              (std::vector<uint8_t>{0x06, 0x03, 0x03, 0xCB, 0x00}));

    // The reset takes the module off the bus for a while.
    ASSERT_TRUE(module.waitPlugged(false, 3000ms));
    c.close(h);
    ASSERT_TRUE(module.waitPlugged(true, 3000ms));
    EXPECT_EQ(module.enumerations(), 2u);
    for (int i = 0; i < 100 && (h = c.open(kVendor, "40F5849A")) == nullptr; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ask({0xAD, 0x00}, 2), (std::vector<uint8_t>{0x06, 0x00}));
}

TEST_F(UsbRig, TestbedRemovesItsSandbox) {
    testbed->addModule(peer(0x77777777));
    const std::string root = testbed->rootDir();
    struct stat st;
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    auto env = testbed->childEnvironment();
    ASSERT_EQ(env.size(), 3u);
    EXPECT_NE(env[0].find("libumockdev-preload.so.0"), std::string::npos);
    EXPECT_EQ(env[1], "UMOCKDEV_DIR=" + root);
    EXPECT_NE(env[2].find("verify_asan_link_order=0"), std::string::npos);
    testbed.reset();
    EXPECT_NE(stat(root.c_str(), &st), 0);
}

} // namespace
