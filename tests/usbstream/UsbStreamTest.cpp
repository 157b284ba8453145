// The USB stream in libusb mode, against simulated modules on the emulated
// USB bus.
#include "aDebugging.h"
#include "aStreamUSB.h"
#include "qbusb_driver.h"

#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "TestbedTest.h"
#include "UsbTestbed.h"
#include "peer/EchoPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using qbsim::Clock;
using qbsim::EchoPeer;
using qbsim::PeerIdentity;
using qbsim::usb::Direction;
using qbsim::usb::Module;
using qbsim::usb::ModuleOptions;
using qbsim::usb::Testbed;

namespace {

using Bytes = std::vector<uint8_t>;

class UsbStream : public qbsim::usb::TestbedTest {
protected:
    void TearDown() override {
        for (aStream*& s : streams) {
            if (s != nullptr) {
                aStream_Destroy(&s);
            }
        }
        aQuorbitalDebuggingEnable = false;
        aQuorbitalDebuggingLevel = 0;
        // The process-wide context belongs to this test's bus.
        Quorbital_libusb_exit();
        TestbedTest::TearDown();
    }

    EchoPeer& peer(uint32_t serial, uint16_t productId = 0x010E) {
        peers.push_back(std::make_unique<EchoPeer>(PeerIdentity{serial, productId}));
        return *peers.back();
    }

    // A stream kept for TearDown; null when the open failed (err gets why).
    aStream* open(uint32_t serial, aErr* err = nullptr) {
        aStream* s = nullptr;
        aErr e = aStream_CreateUSB(serial, &s);
        if (err != nullptr) {
            *err = e;
        }
        if (s != nullptr) {
            streams.push_back(s);
        }
        return s;
    }

    void close(aStream* s) {
        for (aStream*& kept : streams) {
            if (kept == s) {
                EXPECT_EQ(aStream_Destroy(&kept), aErrNone);
            }
        }
    }

    std::vector<std::unique_ptr<EchoPeer>> peers;
    std::vector<aStream*> streams;
};

// Reads `count` bytes one at a time, as the link engine does; stops at the
// first result other than aErrNone and aErrNotReady, or at the deadline.
Bytes readBytes(aStream* s, size_t count, std::chrono::milliseconds timeout = 3000ms) {
    Bytes out;
    const auto end = Clock::now() + timeout;
    while (out.size() < count && Clock::now() < end) {
        uint8_t b = 0;
        aErr e = aStream_Read(s, &b, 1);
        if (e == aErrNone) {
            out.push_back(b);
        } else if (e != aErrNotReady) {
            break;
        }
    }
    return out;
}

std::vector<size_t> outSizes(const Module& m) {
    std::vector<size_t> sizes;
    for (const auto& t : m.transfers()) {
        if (t.direction == Direction::Out && t.status == 0) {
            sizes.push_back(t.actual);
        }
    }
    return sizes;
}

TEST_F(UsbStream, ExchangesPacketsWithTheModule) {
    EchoPeer& echo = peer(0x40F5849A);
    testbed->addModule(echo);
    aErr err = aErrUnknown;
    aStream* s = open(0x40F5849A, &err);
    ASSERT_EQ(err, aErrNone);
    ASSERT_NE(s, nullptr);

    const Bytes packet{0x06, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    uint8_t in[5] = {};
    // All or nothing: the echo comes in one IN transfer, read byte by byte
    // out of the receive buffer.
    aErr r = aErrNotReady;
    for (int i = 0; i < 3 && r == aErrNotReady; ++i) {
        r = aStream_Read(s, in, sizeof in);
    }
    ASSERT_EQ(r, aErrNone);
    EXPECT_EQ(Bytes(in, in + 5), packet);

    // One byte goes out through put-byte as a transfer of its own.
    const uint8_t one = 0xAF;
    ASSERT_EQ(aStream_Write(s, &one, 1), aErrNone);
    EXPECT_EQ(readBytes(s, 1), Bytes{0xAF});
    Bytes all = packet;
    all.push_back(0xAF);
    EXPECT_EQ(echo.received(), all);
}

TEST_F(UsbStream, TheModuleModelAnswersThroughTheStream) {
    testbed->addModule(qbsim::makeModule("serial=40F5849A model=14 address=6 build=12345"));
    aStream* s = open(0x40F5849A);
    ASSERT_NE(s, nullptr);
    const Bytes getSerial{0x06, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(aStream_Write(s, getSerial.data(), getSerial.size()), aErrNone);
    EXPECT_EQ(readBytes(s, 9), (Bytes{0x06, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    const Bytes buildQuery{0x06, 0x02, 0x49, 0xFF};
    ASSERT_EQ(aStream_Write(s, buildQuery.data(), buildQuery.size()), aErrNone);
    EXPECT_EQ(readBytes(s, 8), (Bytes{0x06, 0x06, 0x49, 0xFF, 0x00, 0x00, 0x30, 0x39}));
}

TEST_F(UsbStream, WritesGoOutInTransfersOfFiftyBytes) {
    EchoPeer& echo = peer(0x11223344);
    echo.setEcho(false);
    Module& module = testbed->addModule(echo);
    aStream* s = open(0x11223344);
    ASSERT_NE(s, nullptr);

    Bytes data(120);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(aStream_Write(s, data.data(), data.size()), aErrNone);
    EXPECT_EQ(outSizes(module), (std::vector<size_t>{50, 50, 20}));
    EXPECT_EQ(echo.received(), data);
}

TEST_F(UsbStream, IdleReadAnswersNotReadyAfterTheInTimeout) {
    testbed->addModule(peer(0x22334455));
    aStream* s = open(0x22334455);
    ASSERT_NE(s, nullptr);
    uint8_t b = 0;
    const auto start = Clock::now();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3000ms);
}

TEST_F(UsbStream, FourFailedTransfersAreAbsorbedTheFifthFailsTheStream) {
    EchoPeer& echo = peer(0x33445566);
    Module& module = testbed->addModule(echo);
    aStream* s = open(0x33445566);
    ASSERT_NE(s, nullptr);

    module.failTransfers(5, EPROTO, Direction::In);
    uint8_t b = 0;
    for (int i = 0; i < 4; ++i) {
        // Absorbed: no byte, so "nothing yet" rather than success.
        EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady) << "read " << i + 1;
    }
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);

    // Failed for good, although the module is fine again.
    const uint8_t x = 0x42;
    EXPECT_EQ(aStream_Write(s, &x, 1), aErrIO);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    EXPECT_TRUE(echo.received().empty());
    for (int i = 0; i < 300; ++i) { // the count does not wrap back into the tolerated range
        ASSERT_EQ(aStream_Read(s, &b, 1), aErrIO);
    }
}

TEST_F(UsbStream, ASuccessBetweenFailuresResetsTheCount) {
    EchoPeer& echo = peer(0x44556677);
    Module& module = testbed->addModule(echo);
    aStream* s = open(0x44556677);
    ASSERT_NE(s, nullptr);
    uint8_t b = 0;

    module.failTransfers(3, EPROTO, Direction::In);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    }
    const uint8_t x = 0x5A;
    ASSERT_EQ(aStream_Write(s, &x, 1), aErrNone); // a success
    EXPECT_EQ(readBytes(s, 1), Bytes{0x5A});

    // Writes count towards the same tolerance: each of these meets two
    // failed transfers (the chunk and its retry) before its chunk goes
    // through on the next attempt, and is reported as success.
    for (uint8_t i = 0; i < 4; ++i) {
        module.failTransfers(2, EPROTO, Direction::Out);
        EXPECT_EQ(aStream_Write(s, &i, 1), aErrNone) << "write " << int(i);
    }
    EXPECT_EQ(echo.received(), (Bytes{0x5A, 0, 1, 2, 3})); // each byte once
    // The fifth failure in a row ends it.
    module.failTransfers(2, EPROTO, Direction::Out);
    EXPECT_EQ(aStream_Write(s, &x, 1), aErrIO);
}

TEST_F(UsbStream, OnlyTheExactSerialStringOfAModuleMatches) {
    struct Case {
        const char* what;
        uint32_t serial;
        uint16_t productId;
        ModuleOptions options;
    };
    ModuleOptions lower;
    lower.serialText = "40f5849a";
    ModuleOptions shortText;
    shortText.serialText = "0F5849A";
    ModuleOptions foreign;
    foreign.vendorId = 0x1234;
    const Case cases[] = {
        {"lower-case digits", 0x40F5849A, 0x010E, lower},
        {"no leading zero", 0x00F5849A, 0x010E, shortText},
        {"another vendor", 0x50F5849A, 0x010E, foreign},
        {"product id with bit 15", 0x60F5849A, 0x8001, {}},
    };
    for (const auto& k : cases) {
        testbed->addModule(peer(k.serial, k.productId), k.options);
    }
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        aErr err = aErrNone;
        EXPECT_EQ(open(k.serial, &err), nullptr);
        EXPECT_EQ(err, aErrNotFound);
    }
    // The same bus with a proper module on it.
    testbed->addModule(peer(0x70F5849A));
    EXPECT_NE(open(0x70F5849A), nullptr);
}

TEST_F(UsbStream, BadArgumentsAreRefusedBeforeAnythingIsOpened) {
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x12345678, nullptr), aErrParam);
    EXPECT_EQ(Quorbital_libusb_context(), nullptr);
}

TEST_F(UsbStream, DeletingReleasesTheModuleWhichOpensAgain) {
    EchoPeer& echo = peer(0x55667788);
    testbed->addModule(echo);
    aStream* s = open(0x55667788);
    ASSERT_NE(s, nullptr);
    // Claimed: a second stream to the same module is refused.
    aErr err = aErrNone;
    EXPECT_EQ(open(0x55667788, &err), nullptr);
    EXPECT_EQ(err, aErrBusy);

    close(s);
    EXPECT_EQ(echo.disconnects(), 1u);
    s = open(0x55667788, &err);
    ASSERT_EQ(err, aErrNone);
    const uint8_t x = 0x77;
    ASSERT_EQ(aStream_Write(s, &x, 1), aErrNone);
    EXPECT_EQ(readBytes(s, 1), Bytes{0x77});
}

TEST_F(UsbStream, TransportInterfaceWithoutBothEndpointsIsAConfigurationError) {
    ModuleOptions noIn;
    noIn.withInEndpoint = false;
    ModuleOptions noOut;
    noOut.withOutEndpoint = false;
    ModuleOptions otherClass;
    otherClass.interfaceSubClass = 0x87;
    testbed->addModule(peer(0x0C000001), noIn);
    testbed->addModule(peer(0x0C000002), noOut);
    testbed->addModule(peer(0x0C000003), otherClass);
    for (uint32_t serial : {0x0C000001u, 0x0C000002u, 0x0C000003u}) {
        aErr err = aErrNone;
        EXPECT_EQ(open(serial, &err), nullptr);
        EXPECT_EQ(err, aErrConfiguration) << std::hex << serial;
    }
}

TEST_F(UsbStream, StalledEndpointsAreClearedAndTheTransferRepeated) {
    EchoPeer& echo = peer(0x66778899);
    Module& module = testbed->addModule(echo);
    aStream* s = open(0x66778899);
    ASSERT_NE(s, nullptr);

    module.stall(Direction::Out);
    const Bytes packet{0x02, 0x00};
    EXPECT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    EXPECT_FALSE(module.halted(Direction::Out));
    EXPECT_EQ(echo.received(), packet); // sent once
    EXPECT_EQ(readBytes(s, 2), packet);

    module.stall(Direction::In);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_FALSE(module.halted(Direction::In));
    const uint8_t x = 0x31;
    ASSERT_EQ(aStream_Write(s, &x, 1), aErrNone);
    EXPECT_EQ(readBytes(s, 1), Bytes{0x31});
}

TEST_F(UsbStream, AModuleThatLeavesTheBusFailsTheStream) {
    EchoPeer& echo = peer(0x778899AA);
    Module& module = testbed->addModule(echo);
    aStream* s = open(0x778899AA);
    ASSERT_NE(s, nullptr);
    echo.absent(Clock::now());
    testbed->wake();
    ASSERT_TRUE(module.waitPlugged(false, 2000ms));
    uint8_t b = 0;
    aErr last = aErrNone;
    int reads = 0;
    while (last != aErrIO && reads < 10) {
        last = aStream_Read(s, &b, 1);
        ++reads;
    }
    EXPECT_EQ(last, aErrIO);
    EXPECT_EQ(reads, 5); // four absorbed, the fifth reported
}

TEST_F(UsbStream, TraceLinesWhenTheLibraryTraceIsOn) {
    EchoPeer& echo = peer(0x8899AABB);
    Module& module = testbed->addModule(echo);
    aStream* s = open(0x8899AABB);
    ASSERT_NE(s, nullptr);
    uint8_t b = 0;
    const uint8_t x = 0x01;

    // Off (the default): nothing on the standard output.
    testing::internal::CaptureStdout();
    module.failTransfers(1, EPROTO, Direction::In);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // A success resets the count before the traced run.
    ASSERT_EQ(aStream_Write(s, &x, 1), aErrNone);
    ASSERT_EQ(readBytes(s, 1), Bytes{x});

    aQuorbitalDebuggingEnable = true;
    aQuorbitalDebuggingLevel = aQB_DEBUG_USB;
    testing::internal::CaptureStdout();
    module.failTransfers(1, EPROTO, Direction::In);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady); // 1
    module.failTransfers(2, EPROTO, Direction::Out);
    EXPECT_EQ(aStream_Write(s, &x, 1), aErrNone); // 2: the retry's failure is traced
    module.failTransfers(3, EPROTO, Direction::In);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady); // 3
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady); // 4
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);       // 5: failed
    EXPECT_EQ(aStream_Write(s, &x, 1), aErrIO);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "libusb READ error bulk transfer: -1\n"
                                                      "libusb WRITE error bulk transfer: -1\n"
                                                      "libusb READ error bulk transfer: -1\n"
                                                      "libusb READ error bulk transfer: -1\n"
                                                      "libusb READ error bulk transfer: -1\n"
                                                      "libusb WRITE error dev state: 5\n"
                                                      "libusb READ error dev state: 5\n");

    // Other areas of the trace do not show these lines.
    aQuorbitalDebuggingLevel = aQB_DEBUG_LINK | aQB_DEBUG_PACKETS;
    testing::internal::CaptureStdout();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// As the link engine uses a stream: one thread reads while another writes.
TEST_F(UsbStream, AReaderAndAWriterThreadShareTheStream) {
    EchoPeer& echo = peer(0xA1B2C3D4);
    testbed->addModule(echo);
    aStream* s = open(0xA1B2C3D4);
    ASSERT_NE(s, nullptr);

    constexpr int kPackets = 100;
    Bytes sent;
    for (int i = 0; i < kPackets; ++i) {
        for (uint8_t b :
             {uint8_t(0x06), uint8_t(0x03), uint8_t(i), uint8_t(i * 3), uint8_t(0x20)}) {
            sent.push_back(b);
        }
    }
    Bytes received;
    std::thread reader([&] { received = readBytes(s, sent.size(), 20000ms); });
    for (int i = 0; i < kPackets; ++i) {
        ASSERT_EQ(aStream_Write(s, sent.data() + 5 * i, 5), aErrNone);
    }
    reader.join();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(echo.received(), sent);
}

TEST_F(UsbStream, DeviceLayerStatesAndModes) {
    testbed->addModule(peer(0x99AABBCC));
    qbusb_device* dev = qbusb_create_usb(QBUSB_MODE_LIBUSB);
    ASSERT_NE(dev, nullptr);
    EXPECT_NE(Quorbital_libusb_context(), nullptr);
    EXPECT_EQ(dev->state, QBUSB_STATE_CREATED);
    uint8_t b = 0;
    EXPECT_EQ(qbusb_get_from_device(dev, &b), aErrNotReady);
    EXPECT_EQ(qbusb_write_to_device(dev, &b, 1), aErrNotReady);

    // Variants of the other mode refuse.
    EXPECT_EQ(qbusb_open_quorbital_kernel_device(dev, "99AABBCC"), aErrMode);
    EXPECT_EQ(qbusb_get_from_kernel_device(dev, &b), aErrMode);
    EXPECT_EQ(qbusb_write_to_kernel_device(dev, &b, 1), aErrMode);
    EXPECT_EQ(qbusb_close_quorbital_kernel_device(dev), aErrMode);
    EXPECT_EQ(qbusb_close_quorbital_device(dev), aErrMode); // no handle yet

    ASSERT_EQ(qbusb_open_quorbital_device(dev, "99AABBCC"), aErrNone);
    EXPECT_EQ(dev->state, QBUSB_STATE_OPEN);
    EXPECT_STREQ(dev->serial, "99AABBCC");
    EXPECT_EQ(dev->interfaceNumber, 0);
    EXPECT_EQ(dev->outEndpoint, 0x01);
    EXPECT_EQ(dev->inEndpoint, 0x81);

    EXPECT_EQ(qbusb_close_quorbital_device(dev), aErrNone);
    EXPECT_EQ(dev->state, QBUSB_STATE_CLOSED);
    EXPECT_EQ(dev->handle, nullptr);
    EXPECT_EQ(dev->outEndpoint, 0);
    EXPECT_EQ(dev->inEndpoint, 0);
    EXPECT_EQ(qbusb_get_from_device(dev, &b), aErrConnection);
    EXPECT_EQ(qbusb_write_to_device(dev, &b, 1), aErrConnection);

    EXPECT_EQ(qbusb_destroy(&dev), aErrNone);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(qbusb_destroy(&dev), aErrParam);

    qbusb_device* node = qbusb_create_usb(QBUSB_MODE_KERNEL);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(qbusb_open_quorbital_USBlib_device(node, "99AABBCC"), aErrMode);
    EXPECT_EQ(qbusb_get_from_USBlib_device(node, &b), aErrMode);
    EXPECT_EQ(qbusb_write_to_USBlib_device(node, &b, 1), aErrMode);
    EXPECT_EQ(qbusb_close_quorbital_USBlib_device(node), aErrMode);
    EXPECT_EQ(qbusb_get_from_device(node, &b), aErrMode); // not open
    EXPECT_EQ(qbusb_close_quorbital_device(node), aErrNone);
    EXPECT_EQ(qbusb_destroy(&node), aErrNone);
}

} // namespace
