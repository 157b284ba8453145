// The USB stream in kernel-node mode: the family's driver node, played by
// the node rig in /dev, serves the stream and libusb is never started.
#include "aStreamUSB.h"
#include "qbusb_driver.h"

#include "PtyRig.h"
#include "peer/EchoPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using qbsim::Clock;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t uniqueSerial(unsigned n) {
    return 0x7D000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFFu) << 4) | (n & 0xFu);
}

TEST(NodeStream, TheDriverNodeServesTheStreamWithoutLibusb) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the node goes into /dev, which needs root";
    }
    const uint32_t serial = uniqueSerial(1);
    qbsim::EchoPeer peer({serial, 0x010E});
    qbsim::pty::NodeRig rig(peer);
    EXPECT_TRUE(qbusb_is_kernel_driver_installed(serial));

    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(serial, &s), aErrNone);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Quorbital_libusb_context(), nullptr);

    const Bytes packet{0x06, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    Bytes back;
    const auto end = Clock::now() + 3s;
    while (back.size() < packet.size() && Clock::now() < end) {
        uint8_t b = 0;
        aErr e = aStream_Read(s, &b, 1);
        if (e == aErrNone) {
            back.push_back(b);
        } else {
            ASSERT_EQ(e, aErrNotReady);
        }
    }
    EXPECT_EQ(back, packet);
    EXPECT_EQ(peer.received(), packet);

    // Idle: the node's one-byte read comes back empty.
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);

    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(Quorbital_libusb_context(), nullptr);
}

TEST(NodeStream, WithoutTheNodeTheStreamTurnsToLibusb) {
    const uint32_t serial = uniqueSerial(2);
    EXPECT_FALSE(qbusb_is_kernel_driver_installed(serial));
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateUSB(serial, &s), aErrNotFound); // no such module on the bus
    EXPECT_EQ(s, nullptr);
    EXPECT_NE(Quorbital_libusb_context(), nullptr);
    Quorbital_libusb_exit();
    EXPECT_EQ(Quorbital_libusb_context(), nullptr);
}

} // namespace
