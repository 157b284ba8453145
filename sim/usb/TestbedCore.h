// The machinery under Testbed, shared by the device kinds it hosts (the
// module's usbdevfs device now; the boot ROM's hidraw device later).
//
// Threads: client calls on emulated nodes arrive on umockdev's worker thread
// (NodeHandler, with the core lock held, never blocking); one service thread
// pumps the peers at their wakeups; the owner's thread adds and removes
// devices. Sandbox edits (sysfs records, nodes, handlers, uevents) happen
// under the edit lock only, never under the core lock, so that a client call
// waiting for the core lock cannot hold up umockdev while it is being edited.
// Lock order: edit lock, then core lock.
#ifndef QBSIM_USB_TESTBED_CORE_H
#define QBSIM_USB_TESTBED_CORE_H

#include "Uevent.h"
#include "UsbTestbed.h"

#include <umockdev.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qbsim::usb::detail {

// Receives what clients do on one emulated node. Called on umockdev's worker
// thread with the core lock held; a call is answered through
// Core::complete(), at once or later.
class NodeHandler {
public:
    virtual ~NodeHandler() = default;
    virtual bool onIoctl(UMockdevIoctlClient* client) = 0;
    virtual bool onRead(UMockdevIoctlClient*) { return false; }
    virtual bool onWrite(UMockdevIoctlClient*) { return false; }
    virtual void onClientConnected(UMockdevIoctlClient*) {}
    virtual void onClientGone(UMockdevIoctlClient*) {}
};

// A device kind the testbed hosts.
class Device {
public:
    virtual ~Device() = default;
    // Service thread, core lock held: advance the peer, answer what is due.
    virtual void service(Clock::time_point now) = 0;
    // Core lock held: when service() wants to run again.
    virtual Clock::time_point nextWakeup(Clock::time_point now) const = 0;
    // Core lock held: whether the enumeration no longer matches the peer.
    virtual bool needsReconcile(Clock::time_point now) const = 0;
    // Edit lock held, core lock not held: plug, unplug or re-plug to match
    // the peer.
    virtual void reconcile() = 0;
    // Edit lock held, core lock not held: unplug for good, release nodes.
    virtual void retire() = 0;
    // Edit lock held, core lock not held: release what unplugged
    // enumerations still hold once their clients are gone.
    virtual void collect() {}
};

class Core {
public:
    Core();
    ~Core();

    std::mutex lock;
    std::mutex editLock;

    // Answers a client's call; delivered once the core lock is released
    // (flushCompletions). Core lock held.
    void complete(UMockdevIoctlClient* client, long result, int errnoValue);
    // Core lock not held.
    void flushCompletions();

    // Sandbox edits; edit lock held.
    UMockdevIoctlBase* attachHandler(const std::string& devnode, NodeHandler* handler);
    void detachHandler(const std::string& devnode, UMockdevIoctlBase* base);
    void addRecord(const std::string& record);
    void removeDevice(const std::string& syspath);
    void uevent(const UeventDevice& device, const char* action);
    // Replaces the node file by a FIFO and returns the device's end of it
    // (non-blocking). A client's poll sees the node writable, as usbdevfs
    // signals a reapable URB, exactly while the FIFO has room.
    int makeFifoNode(const std::string& devnode);

    // Bus 1 addresses: device numbers 2..127 in turn (skipping nodes that
    // still have a handler), ports 1.. per device. Edit lock held.
    unsigned nextDevnum();
    unsigned nextPort();
    static std::string devnodeFor(unsigned devnum);

    std::string rootDir() const;

    // Service thread control.
    void start(std::vector<std::unique_ptr<Device>>* devices);
    void stop();
    // Have the service thread look at every device now.
    void poke();       // core lock not held
    void pokeLocked(); // core lock held
    // A device asks the service thread to run collect(). Core lock held.
    void requestCollect();

private:
    struct Pending {
        UMockdevIoctlClient* client;
        long result;
        int errnoValue;
    };

    void run();

    UMockdevTestbed* testbed_ = nullptr;
    std::vector<Pending> completions_;
    std::mutex completionLock_; // guards completions_ only
    unsigned devnum_ = 1;
    uint64_t seqnum_ = 0;
    unsigned port_ = 0;

    std::vector<std::unique_ptr<Device>>* devices_ = nullptr;
    std::condition_variable wakeup_;
    bool poked_ = false;
    bool stopping_ = false;
    bool collect_ = false;
    std::thread thread_;
    std::vector<std::string> attached_;
    std::map<UMockdevIoctlBase*, std::vector<void*>> connections_;
};

} // namespace qbsim::usb::detail

#endif
