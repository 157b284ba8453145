// Simulated modules on an emulated USB bus.
//
// A Testbed lives in the process that hosts the devices. It builds a umockdev
// sandbox (sysfs, /dev/bus/usb nodes, uevents) in which every added module
// appears as a usbdevfs device: vendor QUORBITAL_VENDOR_ID, product id and
// serial-number string from the peer's identity, one vendor interface
// (0xFF/0x88/0x10) with a bulk OUT and a bulk IN endpoint. Bulk OUT bytes go
// to the peer; bulk IN transfers are answered from what the peer has for the
// host. A module follows its peer's presence: when the peer leaves, the
// device is unplugged (transfers in flight end with ESHUTDOWN, later calls
// fail with ENODEV, a remove uevent is sent); when it comes back it is
// enumerated anew under the peer's identity of that moment.
//
// The process that talks to the devices (libusb, hidapi) needs
// libumockdev-preload.so.0 preloaded: the test process itself (see
// UsbPreload.h), or a child that gets childEnvironment(); the process that
// hosts the devices does not. Only one Testbed may exist in a process at a
// time; in a process that is its own client, create it before libusb_init().
#ifndef QBSIM_USB_TESTBED_H
#define QBSIM_USB_TESTBED_H

#include "peer/BytePeer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qbsim::usb {

enum class Direction { Any, In, Out };

// One bulk transfer as the emulation completed it.
struct TransferRecord {
    Direction direction = Direction::Out;
    uint8_t endpoint = 0;
    size_t requested = 0; // the client's buffer length
    size_t actual = 0;    // bytes moved
    int status = 0;       // 0, or -errno as the client saw it
    std::vector<uint8_t> data;
};

struct ModuleOptions {
    // Replaces the serial-number string "%08X" of the peer's serial number
    // (e.g. lower-case or short spellings).
    std::optional<std::string> serialText;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    bool withInEndpoint = true;
    bool withOutEndpoint = true;
    uint16_t maxPacketSize = 64;
    std::string manufacturer = "Quorbital";
    std::string product = "Quorbital module";
    // Vendor id; QUORBITAL_VENDOR_ID unless a test wants a foreign device.
    std::optional<uint16_t> vendorId;
};

// One simulated module on the bus. Obtained from Testbed::addModule; lives
// until removed or until the testbed ends. Thread-safe.
class Module {
public:
    virtual ~Module() = default;

    // Whether the device is enumerated right now.
    virtual bool plugged() const = 0;
    // How many times it has been enumerated so far.
    virtual unsigned enumerations() const = 0;
    // Waits until plugged() equals `state` (true) or the time is up (false).
    virtual bool waitPlugged(bool state, std::chrono::milliseconds timeout) const = 0;
    // Identity and node of the current (or last) enumeration.
    virtual PeerIdentity identity() const = 0;
    virtual std::string devnode() const = 0;
    virtual std::string syspath() const = 0;

    // Completed bulk transfers, oldest first (control transfers excluded).
    virtual std::vector<TransferRecord> transfers() const = 0;
    virtual void clearTransfers() = 0;

    // The next `count` bulk transfers in `which` direction complete with
    // status -errnoValue and move no byte (EPROTO: an I/O error to libusb,
    // ETIMEDOUT, EOVERFLOW, ...).
    virtual void failTransfers(unsigned count, int errnoValue,
                               Direction which = Direction::Any) = 0;
    // The next `count` URB submissions in `which` direction are refused with
    // errnoValue by the ioctl itself.
    virtual void refuseSubmissions(unsigned count, int errnoValue,
                                   Direction which = Direction::Any) = 0;
    // Halts the bulk endpoint(s): every transfer on it ends with EPIPE (a
    // stall) until the client clears the halt.
    virtual void stall(Direction which) = 0;
    virtual bool halted(Direction which) const = 0;
};

class Testbed {
public:
    // Whether this process can itself be a client of the devices
    // (libumockdev-preload active); tests skip when not. `reason` receives
    // why not.
    static bool usable(std::string* reason = nullptr);

    // Throws std::runtime_error when another Testbed exists in the process
    // or umockdev cannot make its sandbox.
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Puts a module on the bus (at once when the peer is present). The peer
    // must outlive the module; the second form hands it over.
    Module& addModule(BytePeer& peer, ModuleOptions options = {});
    Module& addModule(std::unique_ptr<BytePeer> peer, ModuleOptions options = {});
    // Unplugs the module and forgets it.
    void removeModule(Module& module);

    // The sandbox directory (UMOCKDEV_DIR).
    std::string rootDir() const;
    // Environment a child process needs to see the devices:
    // "LD_PRELOAD=...", "UMOCKDEV_DIR=...", "ASAN_OPTIONS=..." (the current
    // ones with the link-order check off, for children built with
    // AddressSanitizer).
    std::vector<std::string> childEnvironment() const;

    // Looks at every peer now (presence, identity, output) instead of at
    // its next wakeup.
    void wake();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qbsim::usb

#endif
