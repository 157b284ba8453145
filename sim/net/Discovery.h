// The module side of network discovery: a host multicasts a 16-byte request
// (byte 0 = 1, the rest 0) to 232.2.2.2 port 9888; every module answers with
// a 16-byte datagram to the requester's address, port 9889:
//
//   offset 0      not used (0)
//   offset 1      module address
//   offset 2..3   TCP port of the packet service, little-endian
//   offset 4..7   serial number, little-endian
//   offset 8..11  not used (0)
//   offset 12     model number
//   offset 13..15 not used (0)
#ifndef QBSIM_NET_DISCOVERY_H
#define QBSIM_NET_DISCOVERY_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace qbsim::net {

inline constexpr const char* kDiscoveryGroup = "232.2.2.2";
inline constexpr uint16_t kDiscoveryPort = 9888;
inline constexpr uint16_t kDiscoveryReplyPort = 9889;
inline constexpr size_t kDiscoveryLength = 16;

using DiscoveryDatagram = std::array<uint8_t, kDiscoveryLength>;

inline bool isDiscoveryRequest(const uint8_t* data, size_t length) {
    if (length != kDiscoveryLength || data[0] != 1) {
        return false;
    }
    for (size_t i = 1; i < kDiscoveryLength; ++i) {
        if (data[i] != 0) {
            return false;
        }
    }
    return true;
}

inline DiscoveryDatagram discoveryReply(uint8_t moduleAddress, uint16_t tcpPort,
                                        uint32_t serialNumber, uint8_t model) {
    DiscoveryDatagram reply{};
    reply[1] = moduleAddress;
    reply[2] = static_cast<uint8_t>(tcpPort);
    reply[3] = static_cast<uint8_t>(tcpPort >> 8);
    for (int i = 0; i < 4; ++i) {
        reply[4 + i] = static_cast<uint8_t>(serialNumber >> (8 * i));
    }
    reply[12] = model;
    return reply;
}

} // namespace qbsim::net

#endif
