// A simulated module as a usbdevfs device: enumeration from the peer's
// identity, control requests for descriptors, bulk OUT into the peer, bulk
// IN from the peer, URB reaping, stalls, injected faults, unplug and re-plug.
#ifndef QBSIM_USB_MODULE_DEVICE_H
#define QBSIM_USB_MODULE_DEVICE_H

#include "Descriptors.h"
#include "TestbedCore.h"

#include <condition_variable>
#include <deque>
#include <map>

namespace qbsim::usb::detail {

class ModuleDevice final : public Module, public Device {
public:
    ModuleDevice(Core& core, BytePeer& peer, std::unique_ptr<BytePeer> owned,
                 ModuleOptions options);
    ~ModuleDevice() override;

    // Module
    bool plugged() const override;
    unsigned enumerations() const override;
    bool waitPlugged(bool state, std::chrono::milliseconds timeout) const override;
    PeerIdentity identity() const override;
    std::string devnode() const override;
    std::string syspath() const override;
    std::vector<TransferRecord> transfers() const override;
    void clearTransfers() override;
    void failTransfers(unsigned count, int errnoValue, Direction which) override;
    void refuseSubmissions(unsigned count, int errnoValue, Direction which) override;
    void stall(Direction which) override;
    bool halted(Direction which) const override;

    // Device
    void service(Clock::time_point now) override;
    Clock::time_point nextWakeup(Clock::time_point now) const override;
    bool needsReconcile(Clock::time_point now) const override;
    void reconcile() override;
    void retire() override;
    void collect() override;

    static constexpr uint8_t kOutEndpoint = 0x01;
    static constexpr uint8_t kInEndpoint = 0x81;

private:
    // A URB as submitted, holding references to the client memory umockdev
    // mirrors for it. Moves hand the references on.
    struct Urb {
        Urb() = default;
        Urb(const Urb&) = delete;
        Urb& operator=(const Urb&) = delete;
        Urb(Urb&& o) noexcept { *this = std::move(o); }
        Urb& operator=(Urb&& o) noexcept {
            seq = o.seq;
            urbData = o.urbData;
            bufferData = o.bufferData;
            clientAddress = o.clientAddress;
            type = o.type;
            endpoint = o.endpoint;
            length = o.length;
            status = o.status;
            actual = o.actual;
            data = std::move(o.data);
            control = o.control;
            o.urbData = nullptr;
            o.bufferData = nullptr;
            return *this;
        }

        uint64_t seq = 0;
        UMockdevIoctlData* urbData = nullptr;    // owned reference
        UMockdevIoctlData* bufferData = nullptr; // owned reference, may be null
        unsigned long clientAddress = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        size_t length = 0;
        int status = 0;
        size_t actual = 0;
        std::vector<uint8_t> data; // IN: delivered on reap; OUT: what was sent
        bool control = false;
    };

    struct Client {
        std::deque<Urb> pendingIn;
        std::deque<Urb> done;
        // A blocking REAPURB waiting for a URB: its pointer slot (owned).
        UMockdevIoctlData* parkedSlot = nullptr;
        UMockdevIoctlClient* parked = nullptr;
    };

    // One enumeration: from plug to unplug, and until its clients let go.
    struct Enumeration : NodeHandler {
        Enumeration(ModuleDevice& m) : module(m) {}
        bool onIoctl(UMockdevIoctlClient* client) override { return module.onIoctl(*this, client); }
        void onClientConnected(UMockdevIoctlClient* client) override {
            clients.try_emplace(client);
        }
        void onClientGone(UMockdevIoctlClient* client) override {
            module.onClientGone(*this, client);
        }

        ModuleDevice& module;
        unsigned devnum = 0;
        std::string devnode;
        std::string syspath;
        PeerIdentity identity;
        UMockdevIoctlBase* base = nullptr;
        int fifo = -1;
        bool fifoFull = false;
        bool gone = false;
        std::map<UMockdevIoctlClient*, Client> clients;
        UMockdevIoctlClient* claimedBy = nullptr;
    };

    struct Fault {
        unsigned count = 0;
        int errnoValue = 0;
        Direction which = Direction::Any;
    };

    // All below with the core lock held unless said otherwise.
    bool onIoctl(Enumeration& e, UMockdevIoctlClient* client);
    void onClientGone(Enumeration& e, UMockdevIoctlClient* client);
    void submit(Enumeration& e, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void control(Urb& urb);
    void reap(Enumeration& e, UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool wait);
    void discard(Enumeration& e, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void finish(Enumeration& e, Client& c, Urb urb);
    void deliver(Urb& urb, UMockdevIoctlData* slot);
    void pump(Clock::time_point now);
    bool inPending() const;
    void releaseClaim(Enumeration& e);
    void updateFifo(Enumeration& e);
    bool takeFault(std::vector<Fault>& faults, Direction dir, int* errnoValue);
    void record(const Urb& urb);
    static void dropUrb(Urb& urb);
    DeviceSpec spec(const PeerIdentity& id) const;
    std::string sysRecord(const Enumeration& e) const;
    UeventDevice ueventDevice(const Enumeration& e) const;

    // Edit lock held, core lock not held.
    void plug(const PeerIdentity& id);
    void unplug();
    void kill(Enumeration& e);

    Core& core_;
    BytePeer& peer_;
    std::unique_ptr<BytePeer> owned_;
    const ModuleOptions options_;
    const unsigned port_;

    std::unique_ptr<Enumeration> current_;
    std::vector<std::unique_ptr<Enumeration>> old_;
    unsigned enumerations_ = 0;
    PeerIdentity lastIdentity_;
    std::string lastDevnode_;
    std::string lastSyspath_;
    bool retired_ = false;

    uint64_t seq_ = 0;
    bool haltedIn_ = false;
    bool haltedOut_ = false;
    std::vector<Fault> completionFaults_;
    std::vector<Fault> submitFaults_;
    std::vector<TransferRecord> log_;
    mutable std::condition_variable changed_;
};

} // namespace qbsim::usb::detail

#endif
