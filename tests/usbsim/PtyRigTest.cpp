// The pty rigs seen by plain clients: open/read/write on the driver node,
// and a serial port opened the way a flashing tool opens one.
#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "PtyRig.h"
#include "TempDir.h"
#include "peer/EchoPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using qbsim::Clock;
using qbsim::EchoPeer;
using qbsim::pty::NodeRig;
using qbsim::pty::Pacing;
using qbsim::pty::SerialRig;

namespace {

// Serial numbers of this process's modules, apart from other runs'.
uint32_t uniqueSerial(unsigned n) {
    return 0x7E000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFFu) << 4) | (n & 0xFu);
}

// A client descriptor closed at the end of the scope.
struct Fd {
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
    int fd;
};

// Reads until `count` bytes arrived or `timeout` passed.
std::vector<uint8_t> readFor(int fd, size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    const auto end = Clock::now() + timeout;
    while (out.size() < count && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
            break;
        }
        uint8_t buf[256];
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n < 0 && errno != EAGAIN) {
            break;
        }
    }
    return out;
}

bool writeAll(int fd, const std::vector<uint8_t>& data) {
    return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(NodeRig, BareClientTalksThroughTheDriverNodeInDev) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the node goes into /dev, which needs root";
    }
    EchoPeer peer({uniqueSerial(1), 0x010E});
    std::string path;
    {
        NodeRig rig(peer);
        path = rig.linkPath();
        char expected[64];
        std::snprintf(expected, sizeof expected, "/dev/quorbital.%08X", uniqueSerial(1));
        EXPECT_EQ(path, expected);
        ASSERT_TRUE(rig.linked());

        Fd node(open(path.c_str(), O_RDWR | O_NOCTTY));
        ASSERT_GE(node.fd, 0) << std::strerror(errno);
        const std::vector<uint8_t> packet{0x03, 0x49, 0x20};
        ASSERT_TRUE(writeAll(node.fd, packet));
        // One byte per read, as the transport reads.
        std::vector<uint8_t> back;
        for (int i = 0; i < 50 && back.size() < packet.size(); ++i) {
            uint8_t b;
            if (read(node.fd, &b, 1) == 1) {
                back.push_back(b);
            }
        }
        EXPECT_EQ(back, packet);
        EXPECT_EQ(peer.received(), packet);

        // Idle: a one-byte read comes back empty after the node's 100 ms.
        const auto start = Clock::now();
        uint8_t b;
        EXPECT_EQ(read(node.fd, &b, 1), 0);
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, 50ms);
        EXPECT_LT(waited, 1000ms);
    }
    EXPECT_FALSE(exists(path)) << "the rig leaves no link behind";
}

// The real module model behind the node: getSerialNumber of module 6 by
// bare open/read/write, then a reset takes the node away and back.
TEST(NodeRig, BareClientExchangesAGoldenPacketWithTheModel) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the node goes into /dev, which needs root";
    }
    const uint32_t serial = uniqueSerial(8);
    char description[128];
    std::snprintf(description, sizeof description, "serial=%08X model=14 address=6", serial);
    auto model = qbsim::makeModule(description);
    NodeRig rig(*model);
    Fd node(open(rig.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(node.fd, 0);

    ASSERT_TRUE(writeAll(node.fd, {0x06, 0x03, 0x03, 0x49, 0x20}));
    const std::vector<uint8_t> expected{0x06,
                                        0x07,
                                        0x03,
                                        0x09,
                                        0x00,
                                        static_cast<uint8_t>(serial >> 24),
                                        static_cast<uint8_t>(serial >> 16),
                                        static_cast<uint8_t>(serial >> 8),
                                        static_cast<uint8_t>(serial)};
    EXPECT_EQ(readFor(node.fd, expected.size(), 2000ms), expected);

    // The reset's reply is still read after the module has left.
    ASSERT_TRUE(writeAll(node.fd, {0x06, 0x03, 0x03, 0x8B, 0x20}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(readFor(node.fd, 5, 2000ms), (std::vector<uint8_t>{0x06, 0x03, 0x03, 0xCB, 0x00}));
    EXPECT_TRUE(rig.waitDepartures(1, 3000ms));
    EXPECT_TRUE(rig.waitLinked(true, 2000ms));
    Fd again(open(rig.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(again.fd, 0);
    ASSERT_TRUE(writeAll(again.fd, {0xAD, 0x00}));
    EXPECT_EQ(readFor(again.fd, 2, 2000ms), (std::vector<uint8_t>{0x06, 0x00}));
}

class NodeRigInDir : public ::testing::Test {
protected:
    qbtest::TempDir dir;
    NodeRig::Options options() const { return NodeRig::Options{dir.path()}; }
};

TEST_F(NodeRigInDir, LinkFollowsThePeerAcrossARestart) {
    const uint32_t serial = uniqueSerial(2);
    EchoPeer peer({serial, 0x010E});
    NodeRig rig(peer, options());
    const std::string path = NodeRig::linkPathFor(dir.path(), serial);
    ASSERT_TRUE(exists(path));
    Fd client(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(client.fd, 0);
    ASSERT_TRUE(writeAll(client.fd, {1, 2}));
    EXPECT_EQ(readFor(client.fd, 2, 1000ms), (std::vector<uint8_t>{1, 2}));

    // The module restarts: its node disappears and the open client is cut off.
    peer.absent(Clock::now(), Clock::now() + 300ms);
    rig.wake();
    ASSERT_TRUE(rig.waitLinked(false, 1000ms));
    EXPECT_FALSE(exists(path));
    uint8_t b = 0;
    EXPECT_LE(read(client.fd, &b, 1), 0);
    EXPECT_LT(write(client.fd, &b, 1), 0);

    // Back under the same serial number, on a fresh pty.
    ASSERT_TRUE(rig.waitLinked(true, 2000ms));
    Fd again(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(again.fd, 0);
    ASSERT_TRUE(writeAll(again.fd, {3}));
    EXPECT_EQ(readFor(again.fd, 1, 1000ms), std::vector<uint8_t>{3});
}

// A slow client reads the reset's reply only after the module is back: the
// reply is still there, and the module's departure still takes the node away
// (the open client is cut off; a new open reaches the restarted module).
TEST_F(NodeRigInDir, ModuleBackBeforeItsLastBytesWereReadStillLeft) {
    const uint32_t serial = uniqueSerial(9);
    char description[128];
    std::snprintf(description, sizeof description, "serial=%08X model=14 address=6 restart=150",
                  serial);
    auto model = qbsim::makeModule(description);
    NodeRig rig(*model, options());
    const std::string path = NodeRig::linkPathFor(dir.path(), serial);
    Fd client(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(client.fd, 0);
    ASSERT_TRUE(writeAll(client.fd, {0x06, 0x03, 0x03, 0x8B, 0x20}));
    std::this_thread::sleep_for(600ms); // the module has long restarted
    EXPECT_EQ(readFor(client.fd, 5, 2000ms), (std::vector<uint8_t>{0x06, 0x03, 0x03, 0xCB, 0x00}));

    pollfd p{client.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    ASSERT_TRUE(rig.waitDepartures(1, 3000ms));
    ASSERT_TRUE(rig.waitLinked(true, 2000ms));
    Fd again(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(again.fd, 0);
    ASSERT_TRUE(writeAll(again.fd, {0xAD, 0x00}));
    EXPECT_EQ(readFor(again.fd, 2, 2000ms), (std::vector<uint8_t>{0x06, 0x00}));
}

TEST_F(NodeRigInDir, ANewSerialNumberMovesTheLink) {
    const uint32_t first = uniqueSerial(3);
    const uint32_t second = uniqueSerial(4);
    EchoPeer peer({first, 0x010E});
    NodeRig rig(peer, options());
    peer.setIdentity({second, 0x0110});
    rig.wake();
    const std::string moved = NodeRig::linkPathFor(dir.path(), second);
    for (int i = 0; i < 100 && !exists(moved); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(exists(moved));
    EXPECT_FALSE(exists(NodeRig::linkPathFor(dir.path(), first)));
    EXPECT_EQ(rig.linkPath(), moved);
}

TEST_F(NodeRigInDir, StaleLinksAreReplacedOtherFilesAreNot) {
    const uint32_t serial = uniqueSerial(5);
    const std::string path = NodeRig::linkPathFor(dir.path(), serial);
    EchoPeer peer({serial, 0x010E});

    // Left behind by a rig that died: points nowhere.
    ASSERT_EQ(symlink("/dev/pts/nonexistent-qbsim", path.c_str()), 0);
    {
        NodeRig rig(peer, options());
        char target[128] = {};
        ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), rig.slavePath());
    }
    EXPECT_FALSE(exists(path));

    // Someone else's file is left alone.
    Fd other(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_GE(other.fd, 0);
    EXPECT_THROW(NodeRig(peer, options()), std::runtime_error);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Opens a port as serial tools do: raw, a given rate, no modem control.
int openSerial(const std::string& path, speed_t rate) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, rate);
    cfsetospeed(&t, rate);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

TEST(SerialRig, ClientOpensThePortAsASerialLine) {
    EchoPeer peer({uniqueSerial(6), 0});
    SerialRig rig(peer);
    ASSERT_FALSE(rig.portPath().empty());
    Fd port(openSerial(rig.portPath(), B115200));
    ASSERT_GE(port.fd, 0);

    // Text lines and binary alike pass unchanged (no CR/LF mapping, no echo
    // by the line discipline).
    const std::vector<uint8_t> line{'?', '\r', '\n', 0x00, 0x11, 0x13, 0xFF};
    ASSERT_TRUE(writeAll(port.fd, line));
    EXPECT_EQ(readFor(port.fd, line.size(), 1000ms), line);
    EXPECT_EQ(peer.received(), line);
}

TEST(SerialRig, TheModelAnswersOverAPacedLine) {
    auto model = qbsim::makeModule("serial=2181F0EE model=13 address=4 build=77");
    SerialRig rig(*model, {Pacing::PortRate, 0, 10});
    Fd port(openSerial(rig.portPath(), B115200));
    ASSERT_GE(port.fd, 0);
    ASSERT_TRUE(writeAll(port.fd, {0x04, 0x02, 0x49, 0xFF})); // build query
    EXPECT_EQ(readFor(port.fd, 8, 2000ms),
              (std::vector<uint8_t>{0x04, 0x06, 0x49, 0xFF, 0x00, 0x00, 0x00, 0x4D}));
}

TEST(SerialRig, PacingHoldsBytesToTheLineRate) {
    struct Case {
        const char* what;
        SerialRig::Options options;
        speed_t portRate;
        size_t bytes; // one way over the line in 100 ms
    };
    const Case cases[] = {
        {"fixed 9600", {Pacing::Fixed, 9600, 10}, B115200, 96},
        {"the rate the client set", {Pacing::PortRate, 0, 10}, B2400, 24},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        EchoPeer peer({uniqueSerial(7), 0});
        SerialRig rig(peer, k.options);
        Fd port(openSerial(rig.portPath(), k.portRate));
        ASSERT_GE(port.fd, 0);
        std::vector<uint8_t> data(k.bytes);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 7);
        }
        // The line is full duplex: the echo of each byte follows it one
        // byte time later, so the round trip lasts one way's time.
        auto start = Clock::now();
        ASSERT_TRUE(writeAll(port.fd, data));
        EXPECT_EQ(readFor(port.fd, data.size(), 3000ms), data);
        EXPECT_GE(Clock::now() - start, 90ms);

        // The device's own bytes are paced too.
        peer.setEcho(false);
        start = Clock::now();
        peer.sendAt(start, data);
        rig.wake();
        EXPECT_EQ(readFor(port.fd, data.size(), 3000ms), data);
        EXPECT_GE(Clock::now() - start, 90ms);
    }
}

} // namespace
