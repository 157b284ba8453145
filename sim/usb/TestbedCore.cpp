#include "TestbedCore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qbsim::usb::detail {

namespace {

// What a signal connection carries: the handler, and whether it may still
// be called. Cleared under the core lock before the handler goes away; freed
// by GLib once the connection is gone and no emission uses it.
struct Connection {
    Core* core;
    NodeHandler* handler;
    bool alive = true;
};

enum class CallKind { Ioctl, Read, Write };

gboolean dispatch(UMockdevIoctlClient* client, Connection* conn, CallKind kind) {
    bool handled = false;
    {
        std::lock_guard<std::mutex> g(conn->core->lock);
        if (!conn->alive) {
            conn->core->complete(client, -1, ENODEV);
            handled = true;
        } else if (kind == CallKind::Ioctl) {
            handled = conn->handler->onIoctl(client);
        } else if (kind == CallKind::Read) {
            handled = conn->handler->onRead(client);
        } else {
            handled = conn->handler->onWrite(client);
        }
    }
    conn->core->flushCompletions();
    return handled ? TRUE : FALSE;
}

gboolean onHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    return dispatch(client, static_cast<Connection*>(data), CallKind::Ioctl);
}

gboolean onHandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    return dispatch(client, static_cast<Connection*>(data), CallKind::Read);
}

gboolean onHandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    return dispatch(client, static_cast<Connection*>(data), CallKind::Write);
}

void onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* conn = static_cast<Connection*>(data);
    std::lock_guard<std::mutex> g(conn->core->lock);
    if (conn->alive) {
        conn->handler->onClientConnected(client);
    }
}

void onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* conn = static_cast<Connection*>(data);
    {
        std::lock_guard<std::mutex> g(conn->core->lock);
        if (conn->alive) {
            conn->handler->onClientGone(client);
        }
    }
    conn->core->flushCompletions();
}

void freeConnection(gpointer data, GClosure*) {
    delete static_cast<Connection*>(data);
}

} // namespace

Core::Core() {
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) {
        throw std::runtime_error("umockdev: cannot create a testbed");
    }
}

Core::~Core() {
    stop();
    g_object_unref(testbed_);
}

std::string Core::rootDir() const {
    gchar* dir = umockdev_testbed_get_root_dir(testbed_);
    std::string out = dir != nullptr ? dir : "";
    g_free(dir);
    return out;
}

void Core::complete(UMockdevIoctlClient* client, long result, int errnoValue) {
    g_object_ref(client);
    std::lock_guard<std::mutex> g(completionLock_);
    completions_.push_back({client, result, errnoValue});
}

void Core::flushCompletions() {
    std::vector<Pending> todo;
    {
        std::lock_guard<std::mutex> g(completionLock_);
        todo.swap(completions_);
    }
    for (const auto& p : todo) {
        umockdev_ioctl_client_complete(p.client, p.result, p.errnoValue);
        g_object_unref(p.client);
    }
}

UMockdevIoctlBase* Core::attachHandler(const std::string& devnode, NodeHandler* handler) {
    UMockdevIoctlBase* base = umockdev_ioctl_base_new();
    struct Signal {
        const char* name;
        GCallback callback;
    };
    const Signal signals[] = {
        {"handle-ioctl", G_CALLBACK(onHandleIoctl)},
        {"handle-read", G_CALLBACK(onHandleRead)},
        {"handle-write", G_CALLBACK(onHandleWrite)},
        {"client-connected", G_CALLBACK(onClientConnected)},
        {"client-vanished", G_CALLBACK(onClientVanished)},
    };
    // One Connection per signal, each freed with its own connection.
    std::vector<void*> conns;
    for (const auto& s : signals) {
        auto* conn = new Connection{this, handler};
        conns.push_back(conn);
        g_signal_connect_data(base, s.name, s.callback, conn, freeConnection, GConnectFlags(0));
    }
    {
        std::lock_guard<std::mutex> g(lock);
        connections_[base] = std::move(conns);
    }
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), base, &error)) {
        std::string why = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        {
            std::lock_guard<std::mutex> g(lock);
            connections_.erase(base);
        }
        g_object_unref(base);
        throw std::runtime_error("umockdev: cannot attach a handler to " + devnode + ": " + why);
    }
    attached_.push_back(devnode);
    return base;
}

void Core::detachHandler(const std::string& devnode, UMockdevIoctlBase* base) {
    if (base == nullptr) {
        return;
    }
    {
        // Calls already on their way find the handler gone.
        std::lock_guard<std::mutex> g(lock);
        auto it = connections_.find(base);
        if (it != connections_.end()) {
            for (void* c : it->second) {
                static_cast<Connection*>(c)->alive = false;
            }
            connections_.erase(it);
        }
    }
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), &error);
    g_clear_error(&error);
    for (auto fn :
         {reinterpret_cast<gpointer>(onHandleIoctl), reinterpret_cast<gpointer>(onHandleRead),
          reinterpret_cast<gpointer>(onHandleWrite), reinterpret_cast<gpointer>(onClientConnected),
          reinterpret_cast<gpointer>(onClientVanished)}) {
        g_signal_handlers_disconnect_matched(base, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, fn, nullptr);
    }
    g_object_unref(base);
    attached_.erase(std::remove(attached_.begin(), attached_.end(), devnode), attached_.end());
}

void Core::addRecord(const std::string& record) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::string why = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: cannot add device: " + why);
    }
}

void Core::removeDevice(const std::string& syspath) {
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

void Core::uevent(const UeventDevice& device, const char* action) {
    broadcastUevent(rootDir(), detail::uevent(device, action, ++seqnum_));
}

int Core::makeFifoNode(const std::string& devnode) {
    const std::string path = rootDir() + devnode;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw std::runtime_error("cannot replace node " + path + ": " + std::strerror(errno));
    }
    if (mkfifo(path.c_str(), 0666) != 0) {
        throw std::runtime_error("cannot make FIFO " + path + ": " + std::strerror(errno));
    }
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open FIFO " + path + ": " + std::strerror(errno));
    }
    // One page is enough: the FIFO only carries "something to reap" or not.
    (void)fcntl(fd, F_SETPIPE_SZ, 4096);
    return fd;
}

std::string Core::devnodeFor(unsigned devnum) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/dev/bus/usb/001/%03u", devnum);
    return buf;
}

unsigned Core::nextDevnum() {
    for (int tries = 0; tries < 126; ++tries) {
        devnum_ = devnum_ >= 127 ? 2 : devnum_ + 1;
        if (std::find(attached_.begin(), attached_.end(), devnodeFor(devnum_)) == attached_.end()) {
            return devnum_;
        }
    }
    throw std::runtime_error("emulated USB bus: no free device number");
}

unsigned Core::nextPort() {
    return ++port_;
}

void Core::requestCollect() {
    collect_ = true;
    pokeLocked();
}

void Core::poke() {
    std::lock_guard<std::mutex> g(lock);
    pokeLocked();
}

void Core::pokeLocked() {
    // Set under the core lock, which the service thread holds from testing
    // the flag until it sleeps, so that no poke falls in between.
    poked_ = true;
    wakeup_.notify_all();
}

void Core::start(std::vector<std::unique_ptr<Device>>* devices) {
    devices_ = devices;
    thread_ = std::thread([this] { run(); });
}

void Core::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> g(lock);
        stopping_ = true;
    }
    wakeup_.notify_all();
    thread_.join();
}

void Core::run() {
    using std::chrono::milliseconds;
    std::unique_lock<std::mutex> l(lock);
    Clock::time_point lastReconcile{};
    while (!stopping_) {
        poked_ = false;
        const auto now = Clock::now();
        bool reconcile = false;
        for (auto& d : *devices_) {
            d->service(now);
            reconcile = reconcile || d->needsReconcile(now);
        }
        const bool collect = collect_;
        collect_ = false;
        // A reconcile that did not settle things is not retried at once.
        const bool held = reconcile && now - lastReconcile < milliseconds(10);
        if (held) {
            reconcile = false;
        }
        l.unlock();
        flushCompletions();
        if (reconcile || collect) {
            {
                std::lock_guard<std::mutex> e(editLock);
                for (auto& d : *devices_) {
                    if (reconcile) {
                        d->reconcile();
                    }
                    if (collect) {
                        d->collect();
                    }
                }
            }
            flushCompletions();
            if (reconcile) {
                lastReconcile = now;
            }
            l.lock();
            continue;
        }
        l.lock();
        if (poked_ || stopping_) {
            continue;
        }
        auto wake = Clock::now() + std::chrono::hours(1);
        for (auto& d : *devices_) {
            wake = std::min(wake, d->nextWakeup(now));
        }
        if (held) {
            wake = std::min(wake, lastReconcile + milliseconds(10));
        }
        // Never spin on a wakeup that is already past.
        wake = std::max(wake, Clock::now() + milliseconds(1));
        wakeup_.wait_until(l, wake, [this] { return poked_ || stopping_; });
    }
}

} // namespace qbsim::usb::detail
