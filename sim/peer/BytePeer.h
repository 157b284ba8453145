// A simulated device as its transport sees it: bytes in, bytes out, a clock,
// and whether the device is present on the transport right now. The USB
// emulation, the device-node and serial-port ptys and the TCP/IP program all
// drive a device through this interface. Calls are not thread-safe: a rig
// serialises them.
#ifndef QBSIM_BYTE_PEER_H
#define QBSIM_BYTE_PEER_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qbsim {

using Clock = std::chrono::steady_clock;

struct PeerIdentity {
    uint32_t serialNumber = 0; // shown as "%08X" (USB serial-number string, node name)
    uint16_t productId = 0;    // USB product id; its low byte is the model number
};

class BytePeer {
public:
    virtual ~BytePeer() = default;

    // Bytes the host wrote to the device.
    virtual void fromHost(const uint8_t* data, size_t length, Clock::time_point now) = 0;

    // Moves up to `capacity` bytes that are due for the host into `out` and
    // returns how many. Also advances the device's own timers to `now`.
    virtual size_t toHost(uint8_t* out, size_t capacity, Clock::time_point now) = 0;

    // The next moment at which the device wants toHost() called although no
    // byte arrived (a heartbeat, a delayed reply, a restart ending), or
    // Clock::time_point::max() when it waits for the host only.
    virtual Clock::time_point nextWakeup() const = 0;

    // Whether the device is on its transport at `now`. A restart takes it
    // off for a while (USB unplug, TCP connection closed) and brings it back,
    // possibly under another identity.
    virtual bool present(Clock::time_point now) const = 0;

    // How the device identifies itself while present.
    virtual PeerIdentity identity() const = 0;

    // The host let go of the device (interface released, connection closed).
    virtual void hostDisconnected() {}
};

} // namespace qbsim

#endif
