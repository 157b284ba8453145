// The device library's socket stream against a simulated module: what the
// link engine will see of a module on the network, a restart included.
#include "ScriptedPeer.h"
#include "TcpModuleRig.h"
#include "aStream.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using netsim::ScriptedPeer;

namespace {

// Reads count bytes, retrying while none are ready; the last result is
// returned with what arrived.
aErr sReadSome(aStream* stream, std::vector<uint8_t>& got, size_t count,
               std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    aErr result = aErrNone;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        uint8_t byte = 0;
        result = aStream_Read(stream, &byte, 1);
        if (result == aErrNone) {
            got.push_back(byte);
        } else if (result != aErrNotReady) {
            break;
        }
    }
    return result;
}

TEST(SocketStreamOnSimulatedModule, ExchangesBytesAndSeesTheModuleRestart) {
    if (!qbsim::netns::available()) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    auto owned = std::make_unique<ScriptedPeer>();
    ScriptedPeer* peer = owned.get();
    qbsim::net::TcpModuleRig rig(std::move(owned));
    qbsim::netns::Enter inHost(rig.host());
    const uint32_t address = qbsim::netns::parseAddress("192.0.2.20").s_addr;

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(address, 9000, &stream), aErrNone);
    const uint8_t hello[] = {0x06, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(aStream_Write(stream, hello, sizeof hello), aErrNone);
    std::vector<uint8_t> got;
    EXPECT_EQ(sReadSome(stream, got, sizeof hello, 3s), aErrNone);
    EXPECT_EQ(got, std::vector<uint8_t>(hello, hello + sizeof hello));

    // The module restarts: its last byte still arrives, then the stream
    // finds the connection reset and the module refusing: the link is down.
    const uint8_t away = ScriptedPeer::kStayAway;
    ASSERT_EQ(aStream_Write(stream, &away, 1), aErrNone);
    got.clear();
    EXPECT_EQ(sReadSome(stream, got, 1, 3s), aErrNone);
    EXPECT_EQ(got, std::vector<uint8_t>{away});
    got.clear();
    EXPECT_EQ(sReadSome(stream, got, 1, 3s), aErrConnection);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(aStream_CreateSocket(address, 9000, &stream), aErrResource);

    // Back again: a new stream reaches it.
    rig.module().withPeer([&](qbsim::BytePeer&) { peer->comeBack(); });
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (aStream_CreateSocket(address, 9000, &stream) != aErrNone &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_NE(stream, nullptr);
    const uint8_t again = 0x42;
    ASSERT_EQ(aStream_Write(stream, &again, 1), aErrNone);
    got.clear();
    EXPECT_EQ(sReadSome(stream, got, 1, 3s), aErrNone);
    EXPECT_EQ(got, std::vector<uint8_t>{again});
    aStream_Destroy(&stream);
}

} // namespace
