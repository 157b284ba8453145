// What every transport must show on the wire, with a WirePeer as the module
// behind a rig: lost framing and its restoration, heartbeats, closing; and
// requests answered by the module model. Used by the tests of each rig.
#ifndef QB_TEST_LINK_WIRE_CASES_H
#define QB_TEST_LINK_WIRE_CASES_H

#include "aLink.h"

#include "LinkRig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

namespace qbtest {

inline const Bytes kBurst = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

// A link to a WirePeer behind a rig; wake() makes the rig look at the peer
// after the test queued bytes.
struct RigLink {
    WirePeer& peer;
    std::function<void()> wake;
    int32_t id = 0;

    void send(const Bytes& bytes) {
        peer.push(bytes);
        wake();
    }
};

// The first bytes of what the host sent are one burst of AD 00. A transport
// whose idle read ends (the socket's and serial port's after 20 ms, USB's
// after a second) may have started further bursts after it.
inline void expectBurstFirst(const Bytes& sent, const char* what) {
    ASSERT_GE(sent.size(), kBurst.size()) << what << ": " << hex(sent);
    EXPECT_EQ(hex(Bytes(sent.begin(), sent.begin() + kBurst.size())), hex(kBurst)) << what;
}

// The link runs in status 2 and the peer answers no address query.
inline void expectFramingLostAndRestored(RigLink& link) {
    link.peer.takeFromHost();
    link.send({0x03}); // an odd address byte while running
    expectBurstFirst(link.peer.awaitFromHost(kBurst.size()), "after an odd address");
    EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_SYNCING);

    // A second answer from another address does not restore framing, and
    // the link goes on asking.
    link.peer.takeFromHost();
    link.send({2, 0, 4, 0});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_SYNCING);
    expectBurstFirst(link.peer.awaitFromHost(kBurst.size()), "after 02 00 04 00");

    // Two answers from one address do; packets are framed again.
    link.send({2, 0, 2, 0});
    EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(link.id) == aLINK_STATUS_RUNNING; }));
    link.send({2, 3, 0x49, 0x20, 0x07});
    aPacket* p = aLink_AwaitPacket(link.id, 3000);
    while (p != nullptr && p->length == 0) { // answers to bursts still on their way
        aPacket_Destroy(&p);
        p = aLink_AwaitPacket(link.id, 3000);
    }
    EXPECT_EQ(hex(takeFrame(p)), "02 03 49 20 07");
}

inline void expectHeartbeatsAnswered(RigLink& link) {
    link.peer.takeFromHost();
    link.send({8, 2, 0, 1});
    EXPECT_EQ(hex(link.peer.awaitFromHost(4)), "08 02 00 03");
    link.send({8, 2, 0, 0});
    EXPECT_EQ(hex(link.peer.awaitFromHost(4)), "08 02 00 02");
    EXPECT_EQ(aLink_GetPacket(link.id), nullptr); // no reader sees them
}

// The last holder's destroy: the module receives AF 01 00 and, where the
// transport shows it (USB, TCP; not a pty), then sees the host let go.
inline void expectClosedWithRouteOff(RigLink& link, bool transportShowsClose) {
    int disconnects = link.peer.disconnects();
    int32_t id = link.id;
    ASSERT_EQ(aLink_Destroy(&link.id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_NOSTREAM);
    if (transportShowsClose) {
        EXPECT_TRUE(waitFor([&] { return link.peer.disconnects() > disconnects; }));
    }
    EXPECT_TRUE(waitFor([&] {
        auto frames = link.peer.frames();
        return !frames.empty() && frames.back() == Bytes{0xAF, 1, 0};
    })) << "last packet: "
        << (link.peer.frames().empty() ? "" : hex(link.peer.frames().back()));
}

// Serial numbers of this process alone: /dev is shared with other tests.
inline uint32_t uniqueSerial(unsigned n) {
    return 0x7E000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFFu) << 4) | (n & 0xFu);
}

// The module model's one-line description: model 14 at address 2.
inline std::string modelWith(uint32_t serial, const char* more = "") {
    char text[128];
    snprintf(text, sizeof text, "serial=%08X model=14 address=2 %s", serial, more);
    return text;
}

inline int isSerialReply(const aPacket* p, void*) {
    return p->address == 2 && p->length == 7 && p->data[0] == 3 && p->data[1] == 9;
}

// Requests to a module model: each system get of the serial number answered.
inline void expectModelAnswers(int32_t id, uint32_t serial, int count) {
    char expected[64];
    snprintf(expected, sizeof expected, "02 07 03 09 00 %02X %02X %02X %02X", serial >> 24,
             (serial >> 16) & 0xFF, (serial >> 8) & 0xFF, serial & 0xFF);
    for (int i = 0; i < count; i++) {
        ASSERT_EQ(sendPacket(id, 2, {3, 0x49, 0x20}), aErrNone);
        ASSERT_EQ(hex(takeFrame(aLink_AwaitFirst(id, isSerialReply, nullptr, 3000))), expected)
            << i;
    }
}

} // namespace qbtest

#endif
