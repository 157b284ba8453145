#include "ModuleDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef QUORBITAL_VENDOR_ID
#error "QUORBITAL_VENDOR_ID must be defined build-wide"
#endif

namespace qbsim::usb::detail {

namespace {

constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

constexpr unsigned kUsbDeviceMajor = 189;

bool isIn(uint8_t endpoint) {
    return (endpoint & 0x80) != 0;
}

bool sameIdentity(const PeerIdentity& a, const PeerIdentity& b) {
    return a.serialNumber == b.serialNumber && a.productId == b.productId;
}

bool matches(Direction wanted, Direction actual) {
    return wanted == Direction::Any || wanted == actual;
}

// Reads the integer an ioctl argument points to.
bool readArgument(UMockdevIoctlData* arg, unsigned int* value) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), &error);
    g_clear_error(&error);
    if (d == nullptr) {
        return false;
    }
    std::memcpy(value, d->data, sizeof(unsigned int));
    g_object_unref(d);
    return true;
}

// Lower-case hexadecimal, at least `width` digits.
std::string hexNumber(unsigned value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*x", width, value);
    return buf;
}

std::string threeDigits(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03u", value);
    return buf;
}

// Escapes text for an "A:" line of a device record.
std::string attributeText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

ModuleDevice::ModuleDevice(Core& core, BytePeer& peer, std::unique_ptr<BytePeer> owned,
                           ModuleOptions options)
    : core_(core), peer_(peer), owned_(std::move(owned)), options_(std::move(options)),
      port_(core.nextPort()) {}

ModuleDevice::~ModuleDevice() = default;

// ---- Module ----------------------------------------------------------------

bool ModuleDevice::plugged() const {
    std::lock_guard<std::mutex> g(core_.lock);
    return current_ != nullptr;
}

unsigned ModuleDevice::enumerations() const {
    std::lock_guard<std::mutex> g(core_.lock);
    return enumerations_;
}

bool ModuleDevice::waitPlugged(bool state, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> l(core_.lock);
    return changed_.wait_for(l, timeout, [&] { return (current_ != nullptr) == state; });
}

PeerIdentity ModuleDevice::identity() const {
    std::lock_guard<std::mutex> g(core_.lock);
    return lastIdentity_;
}

std::string ModuleDevice::devnode() const {
    std::lock_guard<std::mutex> g(core_.lock);
    return current_ != nullptr ? current_->devnode : std::string();
}

std::string ModuleDevice::syspath() const {
    std::lock_guard<std::mutex> g(core_.lock);
    return current_ != nullptr ? current_->syspath : std::string();
}

std::vector<TransferRecord> ModuleDevice::transfers() const {
    std::lock_guard<std::mutex> g(core_.lock);
    return log_;
}

void ModuleDevice::clearTransfers() {
    std::lock_guard<std::mutex> g(core_.lock);
    log_.clear();
}

void ModuleDevice::failTransfers(unsigned count, int errnoValue, Direction which) {
    std::lock_guard<std::mutex> g(core_.lock);
    completionFaults_.push_back({count, errnoValue, which});
}

void ModuleDevice::refuseSubmissions(unsigned count, int errnoValue, Direction which) {
    std::lock_guard<std::mutex> g(core_.lock);
    submitFaults_.push_back({count, errnoValue, which});
}

void ModuleDevice::stall(Direction which) {
    {
        std::lock_guard<std::mutex> g(core_.lock);
        if (matches(which, Direction::Out)) {
            haltedOut_ = true;
        }
        if (matches(which, Direction::In)) {
            haltedIn_ = true;
            // The transfer in progress is the one that meets the stall.
            if (current_ != nullptr) {
                for (auto& [client, c] : current_->clients) {
                    while (!c.pendingIn.empty()) {
                        Urb u = std::move(c.pendingIn.front());
                        c.pendingIn.pop_front();
                        u.status = -EPIPE;
                        finish(*current_, c, std::move(u));
                    }
                }
            }
        }
    }
    core_.flushCompletions();
}

bool ModuleDevice::halted(Direction which) const {
    std::lock_guard<std::mutex> g(core_.lock);
    switch (which) {
    case Direction::In:
        return haltedIn_;
    case Direction::Out:
        return haltedOut_;
    default:
        return haltedIn_ || haltedOut_;
    }
}

// ---- Device ----------------------------------------------------------------

void ModuleDevice::service(Clock::time_point now) {
    if (!retired_) {
        pump(now);
    }
}

Clock::time_point ModuleDevice::nextWakeup(Clock::time_point now) const {
    if (retired_) {
        return Clock::time_point::max();
    }
    const Clock::time_point wake = peer_.nextWakeup();
    if (wake <= now && !inPending()) {
        // The peer has bytes due and nobody reads them: wait for an IN
        // transfer, and look at presence now and then.
        return now + std::chrono::milliseconds(100);
    }
    return wake;
}

bool ModuleDevice::needsReconcile(Clock::time_point now) const {
    if (retired_) {
        return false;
    }
    if (!peer_.present(now)) {
        return current_ != nullptr;
    }
    return current_ == nullptr || !sameIdentity(current_->identity, peer_.identity());
}

void ModuleDevice::reconcile() {
    bool wanted = false;
    PeerIdentity id;
    bool replace = false;
    {
        std::lock_guard<std::mutex> g(core_.lock);
        if (retired_) {
            return;
        }
        wanted = peer_.present(Clock::now());
        id = peer_.identity();
        replace = current_ != nullptr && (!wanted || !sameIdentity(current_->identity, id));
        if (current_ != nullptr && !replace) {
            return;
        }
    }
    if (replace) {
        unplug();
    }
    if (wanted) {
        try {
            plug(id);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qbsim usb: cannot plug module %08X: %s\n", id.serialNumber,
                         e.what());
        }
    }
}

void ModuleDevice::retire() {
    unplug();
    std::vector<std::unique_ptr<Enumeration>> old;
    {
        std::lock_guard<std::mutex> g(core_.lock);
        retired_ = true;
        old.swap(old_);
    }
    for (auto& e : old) {
        kill(*e);
    }
}

void ModuleDevice::collect() {
    std::vector<std::unique_ptr<Enumeration>> dead;
    {
        std::lock_guard<std::mutex> g(core_.lock);
        for (auto it = old_.begin(); it != old_.end();) {
            if ((*it)->clients.empty()) {
                dead.push_back(std::move(*it));
                it = old_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& e : dead) {
        kill(*e);
    }
}

// ---- enumeration -----------------------------------------------------------

DeviceSpec ModuleDevice::spec(const PeerIdentity& id) const {
    DeviceSpec s;
    s.vendorId = options_.vendorId.value_or(static_cast<uint16_t>(QUORBITAL_VENDOR_ID));
    s.productId = id.productId;
    s.manufacturer = options_.manufacturer;
    s.product = options_.product;
    if (options_.serialText) {
        s.serial = *options_.serialText;
    } else {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X", id.serialNumber);
        s.serial = serial;
    }
    InterfaceSpec itf;
    itf.number = 0;
    itf.interfaceClass = options_.interfaceClass;
    itf.interfaceSubClass = options_.interfaceSubClass;
    itf.interfaceProtocol = options_.interfaceProtocol;
    if (options_.withOutEndpoint) {
        itf.endpoints.push_back({kOutEndpoint, 2, options_.maxPacketSize});
    }
    if (options_.withInEndpoint) {
        itf.endpoints.push_back({kInEndpoint, 2, options_.maxPacketSize});
    }
    s.interfaces.push_back(itf);
    return s;
}

std::string ModuleDevice::sysRecord(const Enumeration& e) const {
    const DeviceSpec s = spec(e.identity);
    std::vector<uint8_t> descriptors = deviceDescriptor(s);
    const std::vector<uint8_t> config = configurationDescriptor(s);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    const std::string minor = std::to_string(e.devnum - 1); // bus 1
    const std::string major = std::to_string(kUsbDeviceMajor);
    const std::string devnum = std::to_string(e.devnum);
    std::string r;
    auto line = [&r](const std::string& text) { r += text + "\n"; };
    // Attributes end in a newline as in sysfs (the record unescapes "\\n").
    auto attribute = [&r](const std::string& name, const std::string& value) {
        r += "A: " + name + "=" + attributeText(value) + "\\n\n";
    };
    line("P: " + e.syspath.substr(4)); // without "/sys"
    line("N: " + e.devnode.substr(5)); // without "/dev/"
    line("E: SUBSYSTEM=usb");
    line("E: DEVTYPE=usb_device");
    line("E: DRIVER=usb");
    line("E: DEVNAME=" + e.devnode);
    line("E: BUSNUM=001");
    line("E: DEVNUM=" + threeDigits(e.devnum));
    line("E: MAJOR=" + major);
    line("E: MINOR=" + minor);
    line("E: PRODUCT=" + hexNumber(s.vendorId, 0) + "/" + hexNumber(s.productId, 0) + "/" +
         hexNumber(s.bcdDevice, 0));
    line("E: TYPE=0/0/0");
    attribute("busnum", "1");
    attribute("devnum", devnum);
    attribute("devpath", std::to_string(port_));
    attribute("speed", "12");
    attribute("bConfigurationValue", "1");
    attribute("bNumConfigurations", "1");
    attribute("bDeviceClass", "00");
    attribute("idVendor", hexNumber(s.vendorId, 4));
    attribute("idProduct", hexNumber(s.productId, 4));
    attribute("bcdDevice", hexNumber(s.bcdDevice, 4));
    if (!s.manufacturer.empty()) {
        attribute("manufacturer", s.manufacturer);
    }
    if (!s.product.empty()) {
        attribute("product", s.product);
    }
    if (!s.serial.empty()) {
        attribute("serial", s.serial);
    }
    line("A: dev=" + major + ":" + minor);
    line("H: descriptors=" + hex(descriptors));
    return r;
}

UeventDevice ModuleDevice::ueventDevice(const Enumeration& e) const {
    const DeviceSpec s = spec(e.identity);
    char product[32];
    std::snprintf(product, sizeof product, "%x/%x/%x", s.vendorId, s.productId, s.bcdDevice);
    char devnum[8];
    std::snprintf(devnum, sizeof devnum, "%03u", e.devnum);
    UeventDevice d;
    d.syspath = e.syspath;
    d.subsystem = "usb";
    d.devtype = "usb_device";
    d.devname = e.devnode;
    d.properties = {{"PRODUCT", product},
                    {"TYPE", "0/0/0"},
                    {"BUSNUM", "001"},
                    {"DEVNUM", devnum},
                    {"MAJOR", std::to_string(kUsbDeviceMajor)},
                    {"MINOR", std::to_string(e.devnum - 1)}};
    return d;
}

void ModuleDevice::plug(const PeerIdentity& id) {
    auto e = std::make_unique<Enumeration>(*this);
    e->devnum = core_.nextDevnum();
    e->devnode = Core::devnodeFor(e->devnum);
    e->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port_);
    e->identity = id;
    e->base = core_.attachHandler(e->devnode, e.get());
    try {
        core_.addRecord(sysRecord(*e));
        e->fifo = core_.makeFifoNode(e->devnode);
    } catch (...) {
        core_.detachHandler(e->devnode, e->base);
        if (e->fifo >= 0) {
            close(e->fifo);
        }
        core_.removeDevice(e->syspath);
        throw;
    }
    const UeventDevice event = ueventDevice(*e);
    {
        std::lock_guard<std::mutex> g(core_.lock);
        haltedIn_ = false;
        haltedOut_ = false;
        updateFifo(*e);
        lastIdentity_ = id;
        ++enumerations_;
        current_ = std::move(e);
    }
    core_.uevent(event, "add");
    changed_.notify_all();
}

void ModuleDevice::unplug() {
    Enumeration* e = nullptr;
    UeventDevice event;
    {
        std::lock_guard<std::mutex> g(core_.lock);
        if (current_ == nullptr) {
            return;
        }
        e = current_.get();
        e->gone = true; // from here on calls fail with ENODEV
        event = ueventDevice(*e);
        old_.push_back(std::move(current_));
    }
    changed_.notify_all();
    // Gone from the bus before the transfers in flight end, so that a client
    // that sees them fail finds the device gone from its list too.
    core_.uevent(event, "remove");
    core_.removeDevice(event.syspath);
    {
        std::lock_guard<std::mutex> g(core_.lock);
        for (auto& [client, c] : e->clients) {
            while (!c.pendingIn.empty()) {
                Urb u = std::move(c.pendingIn.front());
                c.pendingIn.pop_front();
                u.status = -ESHUTDOWN;
                u.actual = 0;
                finish(*e, c, std::move(u));
            }
            if (c.parked != nullptr) {
                core_.complete(c.parked, -1, ENODEV);
                g_object_unref(c.parkedSlot);
                g_object_unref(c.parked);
                c.parked = nullptr;
                c.parkedSlot = nullptr;
            }
        }
        updateFifo(*e);
        if (e->clients.empty()) {
            core_.requestCollect();
        }
    }
    core_.flushCompletions();
}

void ModuleDevice::kill(Enumeration& e) {
    {
        std::lock_guard<std::mutex> g(core_.lock);
        e.gone = true;
        for (auto& [client, c] : e.clients) {
            for (auto& u : c.pendingIn) {
                dropUrb(u);
            }
            for (auto& u : c.done) {
                dropUrb(u);
            }
            if (c.parked != nullptr) {
                core_.complete(c.parked, -1, ENODEV);
                g_object_unref(c.parkedSlot);
                g_object_unref(c.parked);
            }
        }
        e.clients.clear();
        if (e.fifo >= 0) {
            close(e.fifo);
            e.fifo = -1;
        }
    }
    core_.flushCompletions();
    core_.detachHandler(e.devnode, e.base);
    e.base = nullptr;
}

// ---- client calls ----------------------------------------------------------

bool ModuleDevice::onIoctl(Enumeration& e, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    e.clients.try_emplace(client);

    switch (request) {
    case USBDEVFS_REAPURB:
        reap(e, client, arg, true);
        return true;
    case USBDEVFS_REAPURBNDELAY:
        reap(e, client, arg, false);
        return true;
    case USBDEVFS_DISCARDURB:
        discard(e, client, arg);
        return true;
    default:
        break;
    }
    if (e.gone) {
        core_.complete(client, -1, ENODEV);
        return true;
    }

    unsigned int value = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        GError* error = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
        g_clear_error(&error);
        if (d == nullptr) {
            core_.complete(client, -1, EFAULT);
            break;
        }
        std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
        g_object_unref(d);
        core_.complete(client, 0, 0);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (!readArgument(arg, &value)) {
            core_.complete(client, -1, EFAULT);
        } else if (value != 0) {
            core_.complete(client, -1, ENOENT);
        } else if (e.claimedBy != nullptr && e.claimedBy != client) {
            core_.complete(client, -1, EBUSY);
        } else {
            e.claimedBy = client;
            core_.complete(client, 0, 0);
        }
        break;
    case USBDEVFS_RELEASEINTERFACE:
        if (!readArgument(arg, &value)) {
            core_.complete(client, -1, EFAULT);
        } else if (value != 0 || e.claimedBy != client) {
            core_.complete(client, -1, EINVAL);
        } else {
            // Releasing the interface ends the transfers on it.
            Client& c = e.clients[client];
            while (!c.pendingIn.empty()) {
                Urb u = std::move(c.pendingIn.front());
                c.pendingIn.pop_front();
                u.status = -ENOENT;
                finish(e, c, std::move(u));
            }
            releaseClaim(e);
            core_.complete(client, 0, 0);
        }
        break;
    case USBDEVFS_CLEAR_HALT:
        if (!readArgument(arg, &value)) {
            core_.complete(client, -1, EFAULT);
        } else if (value == kInEndpoint && options_.withInEndpoint) {
            haltedIn_ = false;
            core_.complete(client, 0, 0);
        } else if (value == kOutEndpoint && options_.withOutEndpoint) {
            haltedOut_ = false;
            core_.complete(client, 0, 0);
        } else {
            core_.complete(client, -1, ENOENT);
        }
        break;
    case USBDEVFS_SETINTERFACE: {
        GError* error = nullptr;
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), &error);
        g_clear_error(&error);
        if (d == nullptr) {
            core_.complete(client, -1, EFAULT);
            break;
        }
        usbdevfs_setinterface si;
        std::memcpy(&si, d->data, sizeof si);
        g_object_unref(d);
        core_.complete(client, si.interface == 0 && si.altsetting == 0 ? 0 : -1,
                       si.interface == 0 && si.altsetting == 0 ? 0 : EINVAL);
        break;
    }
    case USBDEVFS_SETCONFIGURATION:
        if (!readArgument(arg, &value)) {
            core_.complete(client, -1, EFAULT);
        } else {
            core_.complete(client, value == 1 ? 0 : -1, value == 1 ? 0 : EINVAL);
        }
        break;
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
        core_.complete(client, 0, 0);
        break;
    case USBDEVFS_CONNECTINFO: {
        GError* error = nullptr;
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), &error);
        g_clear_error(&error);
        if (d == nullptr) {
            core_.complete(client, -1, EFAULT);
            break;
        }
        usbdevfs_connectinfo ci{};
        ci.devnum = e.devnum;
        ci.slow = 0;
        std::memcpy(d->data, &ci, sizeof ci);
        g_object_unref(d);
        core_.complete(client, 0, 0);
        break;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound to the interface.
        core_.complete(client, -1, ENODATA);
        break;
    case USBDEVFS_SUBMITURB:
        submit(e, client, arg);
        break;
    default:
        core_.complete(client, -1, ENOTTY);
        break;
    }
    return true;
}

void ModuleDevice::onClientGone(Enumeration& e, UMockdevIoctlClient* client) {
    auto it = e.clients.find(client);
    if (it != e.clients.end()) {
        Client& c = it->second;
        for (auto& u : c.pendingIn) {
            dropUrb(u);
        }
        for (auto& u : c.done) {
            dropUrb(u);
        }
        if (c.parked != nullptr) {
            g_object_unref(c.parkedSlot);
            g_object_unref(c.parked);
        }
        e.clients.erase(it);
    }
    if (e.claimedBy == client) {
        releaseClaim(e);
    }
    if (e.gone && e.clients.empty()) {
        core_.requestCollect();
    }
    updateFifo(e);
}

void ModuleDevice::submit(Enumeration& e, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    g_clear_error(&error);
    if (urbData == nullptr) {
        core_.complete(client, -1, EFAULT);
        return;
    }
    Urb urb;
    urb.urbData = urbData;
    urb.clientAddress = urbData->client_addr;
    {
        usbdevfs_urb u;
        std::memcpy(&u, urbData->data, sizeof u);
        urb.type = u.type;
        urb.endpoint = u.endpoint;
        if (u.buffer_length < 0) {
            dropUrb(urb);
            core_.complete(client, -1, EINVAL);
            return;
        }
        urb.length = static_cast<size_t>(u.buffer_length);
    }
    if (urb.length > 0) {
        urb.bufferData = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                     urb.length, &error);
        g_clear_error(&error);
        if (urb.bufferData == nullptr) {
            dropUrb(urb);
            core_.complete(client, -1, EFAULT);
            return;
        }
    }
    Client& c = e.clients[client];

    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        if ((urb.endpoint & 0x7F) != 0 || urb.length < 8) {
            dropUrb(urb);
            core_.complete(client, -1, EINVAL);
            return;
        }
        urb.control = true;
        urb.seq = ++seq_;
        control(urb);
        core_.complete(client, 0, 0);
        finish(e, c, std::move(urb));
        return;
    }

    const bool in = isIn(urb.endpoint);
    const bool known = urb.type == USBDEVFS_URB_TYPE_BULK &&
                       (in ? urb.endpoint == kInEndpoint && options_.withInEndpoint
                           : urb.endpoint == kOutEndpoint && options_.withOutEndpoint);
    if (!known) {
        dropUrb(urb);
        core_.complete(client, -1, urb.type == USBDEVFS_URB_TYPE_BULK ? ENOENT : EINVAL);
        return;
    }
    // Like usbdevfs, a transfer claims the interface when nobody has.
    if (e.claimedBy != nullptr && e.claimedBy != client) {
        dropUrb(urb);
        core_.complete(client, -1, EBUSY);
        return;
    }
    e.claimedBy = client;

    const Direction dir = in ? Direction::In : Direction::Out;
    int err = 0;
    if (takeFault(submitFaults_, dir, &err)) {
        dropUrb(urb);
        core_.complete(client, -1, err);
        return;
    }
    urb.seq = ++seq_;
    const auto now = Clock::now();
    if (in ? haltedIn_ : haltedOut_) {
        urb.status = -EPIPE;
    } else if (takeFault(completionFaults_, dir, &err)) {
        urb.status = -err;
    } else if (in) {
        c.pendingIn.push_back(std::move(urb));
        core_.complete(client, 0, 0);
        pump(now);
        return;
    } else {
        const uint8_t* bytes = urb.bufferData != nullptr ? urb.bufferData->data : nullptr;
        if (urb.length > 0) {
            urb.data.assign(bytes, bytes + urb.length);
            peer_.fromHost(bytes, urb.length, now);
        }
        urb.actual = urb.length;
        urb.status = 0;
    }
    core_.complete(client, 0, 0);
    finish(e, c, std::move(urb));
    if (!in) {
        // Replies due at once go to waiting IN transfers; a restart the
        // write caused shows at the next service pass.
        pump(now);
        core_.pokeLocked();
    }
}

void ModuleDevice::control(Urb& urb) {
    const uint8_t* setup = urb.bufferData->data;
    const uint8_t requestType = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    const uint16_t index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    const size_t wanted =
        std::min<size_t>(static_cast<uint16_t>(setup[6] | (setup[7] << 8)), urb.length - 8);
    std::vector<uint8_t> answer;
    bool ok = true;
    if (requestType == 0x80 && request == 6) { // GET_DESCRIPTOR
        const DeviceSpec s = spec(current_ != nullptr ? current_->identity : lastIdentity_);
        switch (value >> 8) {
        case 1:
            answer = deviceDescriptor(s);
            break;
        case 2:
            ok = (value & 0xFF) == 0;
            if (ok) {
                answer = configurationDescriptor(s);
            }
            break;
        case 3:
            answer = stringDescriptor(s, static_cast<uint8_t>(value & 0xFF));
            ok = !answer.empty() && ((value & 0xFF) == 0 || index == kLanguageEnglishUS);
            break;
        default:
            ok = false;
        }
    } else if ((requestType & 0x80) != 0 && request == 0) { // GET_STATUS
        answer = {0, 0};
    } else if (requestType == 0x80 && request == 8) { // GET_CONFIGURATION
        answer = {1};
    } else if ((requestType & 0x80) != 0) {
        ok = false; // nothing else to read
    }
    // Requests without data (SET_CONFIGURATION, SET_FEATURE, ...) are taken.
    if (!ok) {
        urb.status = -EPIPE;
        urb.actual = 0;
        return;
    }
    if (answer.size() > wanted) {
        answer.resize(wanted);
    }
    urb.status = 0;
    urb.actual = answer.size();
    urb.data = std::move(answer);
}

void ModuleDevice::reap(Enumeration& e, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                        bool wait) {
    Client& c = e.clients[client];
    GError* error = nullptr;
    if (!c.done.empty()) {
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        g_clear_error(&error);
        if (slot == nullptr) {
            core_.complete(client, -1, EFAULT);
            return;
        }
        Urb u = std::move(c.done.front());
        c.done.pop_front();
        deliver(u, slot);
        g_object_unref(slot);
        core_.complete(client, 0, 0);
        updateFifo(e);
        return;
    }
    if (e.gone) {
        core_.complete(client, -1, ENODEV);
    } else if (!wait) {
        core_.complete(client, -1, EAGAIN);
    } else if (c.parked != nullptr) {
        core_.complete(client, -1, EBUSY);
    } else {
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        g_clear_error(&error);
        if (slot == nullptr) {
            core_.complete(client, -1, EFAULT);
            return;
        }
        c.parkedSlot = slot;
        c.parked = client;
        g_object_ref(client);
    }
}

void ModuleDevice::discard(Enumeration& e, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
    Client& c = e.clients[client];
    for (auto it = c.pendingIn.begin(); it != c.pendingIn.end(); ++it) {
        if (it->clientAddress == address) {
            Urb u = std::move(*it);
            c.pendingIn.erase(it);
            u.status = -ENOENT;
            u.actual = 0;
            finish(e, c, std::move(u));
            core_.complete(client, 0, 0);
            return;
        }
    }
    core_.complete(client, -1, EINVAL);
}

void ModuleDevice::finish(Enumeration& e, Client& c, Urb urb) {
    if (!urb.control) {
        record(urb);
    }
    if (c.parked != nullptr) {
        deliver(urb, c.parkedSlot);
        core_.complete(c.parked, 0, 0);
        g_object_unref(c.parkedSlot);
        g_object_unref(c.parked);
        c.parked = nullptr;
        c.parkedSlot = nullptr;
        return;
    }
    c.done.push_back(std::move(urb));
    updateFifo(e);
}

void ModuleDevice::deliver(Urb& urb, UMockdevIoctlData* slot) {
    usbdevfs_urb u;
    std::memcpy(&u, urb.urbData->data, sizeof u);
    u.status = urb.status;
    u.actual_length = static_cast<int>(urb.actual);
    // Only the result fields change; the buffer pointer stays as resolved.
    std::memcpy(urb.urbData->data + offsetof(usbdevfs_urb, status), &u.status, sizeof u.status);
    std::memcpy(urb.urbData->data + offsetof(usbdevfs_urb, actual_length), &u.actual_length,
                sizeof u.actual_length);
    const bool in = urb.control ? (urb.bufferData->data[0] & 0x80) != 0 : isIn(urb.endpoint);
    const size_t offset = urb.control ? 8 : 0;
    if (in && urb.actual > 0 && urb.bufferData != nullptr &&
        offset + urb.actual <= static_cast<size_t>(urb.bufferData->data_len)) {
        std::memcpy(urb.bufferData->data + offset, urb.data.data(), urb.actual);
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb.urbData);
    dropUrb(urb);
}

void ModuleDevice::pump(Clock::time_point now) {
    if (current_ == nullptr || !peer_.present(now) ||
        !sameIdentity(current_->identity, peer_.identity())) {
        return;
    }
    Enumeration& e = *current_;
    // Bytes leave the module only into an IN transfer, oldest first, as a
    // device's endpoint sends only when the host asks: until then they are
    // the peer's (a reply that restarts the module restarts it once taken).
    for (;;) {
        Client* oldest = nullptr;
        for (auto& [client, c] : e.clients) {
            if (!c.pendingIn.empty() &&
                (oldest == nullptr || c.pendingIn.front().seq < oldest->pendingIn.front().seq)) {
                oldest = &c;
            }
        }
        if (oldest == nullptr) {
            break;
        }
        Urb& front = oldest->pendingIn.front();
        std::vector<uint8_t> bytes(front.length);
        const size_t n = peer_.toHost(bytes.data(), bytes.size(), now);
        if (n == 0) {
            return;
        }
        Urb u = std::move(front);
        oldest->pendingIn.pop_front();
        bytes.resize(n);
        u.data = std::move(bytes);
        u.status = 0;
        u.actual = n;
        finish(e, *oldest, std::move(u));
    }
    // Nobody reads: the peer's clock still moves on.
    uint8_t none = 0;
    (void)peer_.toHost(&none, 0, now);
}

bool ModuleDevice::inPending() const {
    if (current_ != nullptr) {
        for (const auto& [client, c] : current_->clients) {
            if (!c.pendingIn.empty()) {
                return true;
            }
        }
    }
    return false;
}

void ModuleDevice::releaseClaim(Enumeration& e) {
    e.claimedBy = nullptr;
    if (&e == current_.get() && !e.gone) {
        peer_.hostDisconnected();
    }
}

void ModuleDevice::updateFifo(Enumeration& e) {
    if (e.fifo < 0) {
        return;
    }
    bool reapable = false;
    for (auto& [client, c] : e.clients) {
        reapable = reapable || !c.done.empty();
    }
    char page[4096];
    if (reapable && e.fifoFull) {
        while (read(e.fifo, page, sizeof page) > 0) {
        }
        e.fifoFull = false;
    } else if (!reapable && !e.fifoFull) {
        std::memset(page, 0, sizeof page);
        while (write(e.fifo, page, sizeof page) > 0) {
        }
        e.fifoFull = true;
    }
}

bool ModuleDevice::takeFault(std::vector<Fault>& faults, Direction dir, int* errnoValue) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->count > 0 && matches(it->which, dir)) {
            *errnoValue = it->errnoValue;
            if (--it->count == 0) {
                faults.erase(it);
            }
            return true;
        }
    }
    return false;
}

void ModuleDevice::record(const Urb& urb) {
    TransferRecord r;
    r.direction = isIn(urb.endpoint) ? Direction::In : Direction::Out;
    r.endpoint = urb.endpoint;
    r.requested = urb.length;
    r.actual = urb.actual;
    r.status = urb.status;
    r.data = urb.data;
    log_.push_back(std::move(r));
}

void ModuleDevice::dropUrb(Urb& urb) {
    if (urb.bufferData != nullptr) {
        g_object_unref(urb.bufferData);
        urb.bufferData = nullptr;
    }
    if (urb.urbData != nullptr) {
        g_object_unref(urb.urbData);
        urb.urbData = nullptr;
    }
}

} // namespace qbsim::usb::detail
