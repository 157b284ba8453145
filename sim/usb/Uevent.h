// Device events as udev's monitor sends them, delivered to the clients of a
// umockdev sandbox. A client's netlink uevent socket is, under the preload
// library, a datagram socket "<sandbox>/event<N>"; each gets a copy. Built
// here from what the device knows, so that the hosting process needs no
// preload library of its own.
#ifndef QBSIM_USB_UEVENT_H
#define QBSIM_USB_UEVENT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qbsim::usb::detail {

struct UeventDevice {
    std::string syspath; // "/sys/devices/..."
    std::string subsystem;
    std::string devtype;                                         // may be empty
    std::string devname;                                         // "/dev/...", may be empty
    std::vector<std::pair<std::string, std::string>> properties; // further KEY=value
};

// The message for one event: the monitor header and the NUL-separated
// properties (ACTION, DEVPATH, SUBSYSTEM, SEQNUM, DEVNAME, DEVTYPE, ...).
std::vector<uint8_t> uevent(const UeventDevice& device, const std::string& action, uint64_t seqnum);

// Sends the message to every listening client of the sandbox; returns how
// many got it.
int broadcastUevent(const std::string& sandboxRoot, const std::vector<uint8_t>& message);

// The 32-bit MurmurHash2 (seed 0) by which monitors filter on subsystem and
// device type.
uint32_t filterHash(const std::string& text);

} // namespace qbsim::usb::detail

#endif
