// The module model as a TCP/IP module, seen by bare host-side sockets:
// discovery, golden packets, and a restart into its loader.
#include "HostClient.h"
#include "ModelModules.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using netsim::hex;
using netsim::unhex;

namespace {

class ModelOverTcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qbsim::netns::available()) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
    }

    static std::string exchange(int fd, const std::string& request, size_t replyLength) {
        EXPECT_TRUE(netsim::sendAll(fd, unhex(request)));
        return hex(netsim::receive(fd, replyLength, 3s));
    }
};

TEST_F(ModelOverTcpTest, GoldenPacketsOverABareSocket) {
    auto rig =
        qbsim::net::modelRig("serial=40F5849A model=14 address=6 version=2.15.3 build=12345");
    qbsim::netns::Enter inHost(rig.host());

    const auto replies = netsim::discover(rig.hostAddress(), 1500ms, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].source, "192.0.2.20");
    EXPECT_EQ(hex(replies[0].bytes), "00 06 28 23 9A 84 F5 40 00 00 00 00 0E 00 00 00");

    const int fd = netsim::connectTcp("192.0.2.20", 9000);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(exchange(fd, "AD 00", 2), "06 00");
    EXPECT_EQ(exchange(fd, "06 03 03 49 20", 9), "06 07 03 09 00 40 F5 84 9A");
    EXPECT_EQ(exchange(fd, "06 02 49 FF", 8), "06 06 49 FF 00 00 30 39");
    EXPECT_EQ(exchange(fd, "06 03 03 43 20", 6), "06 04 03 03 80 1D");
    close(fd);
}

// LOAD: the reply, then the module is off the network (connection reset,
// connections refused, discovery silent) and comes back as its loader
// under the loaders' serial number.
TEST_F(ModelOverTcpTest, LoadRestartsIntoTheLoaderOffTheNetworkMeanwhile) {
    auto rig = qbsim::net::modelRig(
        "serial=40F5849A model=14 address=6 loader-serial=default restart=2000");
    qbsim::netns::Enter inHost(rig.host());

    const int fd = netsim::connectTcp("192.0.2.20", 9000);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(netsim::sendAll(fd, unhex("06 02 5F 02")));
    int error = 0;
    EXPECT_EQ(hex(netsim::receive(fd, 5, 3s, &error)), "06 02 5F 02");
    EXPECT_EQ(error, ECONNRESET);
    close(fd);
    EXPECT_EQ(netsim::connectTcp("192.0.2.20", 9000), -1);
    EXPECT_TRUE(netsim::discover(rig.hostAddress(), 300ms).empty());

    int again = -1;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (again < 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
        again = netsim::connectTcp("192.0.2.20", 9000);
    }
    ASSERT_GE(again, 0);
    EXPECT_EQ(exchange(again, "06 03 03 49 20", 9), "06 07 03 09 00 CD CA AC CF");
    close(again);
    const auto replies = netsim::discover(rig.hostAddress(), 1500ms, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(hex(replies[0].bytes), "00 06 28 23 CF AC CA CD 00 00 00 00 0E 00 00 00");
}

} // namespace

namespace {

TEST(ModelModules, DescriptionsWithNetworkKeys) {
    if (!qbsim::netns::available()) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    qbsim::net::TcpModuleRig rig;
    auto& first = qbsim::net::addModel(rig, "serial=11 model=14 address=4");
    auto& second = qbsim::net::addModel(rig, "ip=192.0.2.77 port=9300 serial=12 model=15");
    EXPECT_EQ(first.config().address, "192.0.2.20");
    EXPECT_EQ(first.config().port, 9000);
    EXPECT_EQ(first.config().moduleAddress, 4);
    EXPECT_EQ(second.config().address, "192.0.2.77");
    EXPECT_EQ(second.config().port, 9300);
    EXPECT_EQ(second.config().moduleAddress, 2);
    EXPECT_THROW(qbsim::net::addModel(rig, "serial=13 colour=blue"), std::invalid_argument);
    EXPECT_THROW(qbsim::net::addModel(rig, "serial=13 port=0"), std::invalid_argument);
    EXPECT_EQ(rig.size(), 2u);
}

} // namespace
