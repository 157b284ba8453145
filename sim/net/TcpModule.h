// A simulated module on the network: one BytePeer served as a TCP/IP module
// from inside a network namespace.
//
// - Discovery: a socket joined to 232.2.2.2 on the module's own address
//   answers each 16-byte request with the 16-byte reply, sent from the
//   module's own address to the requester's address, port 9889.
// - The link: a TCP listener on the module's address and port; bytes from
//   the connection go to the peer's fromHost(), the peer's toHost() bytes go
//   back. One host connection at a time: a second one waits in the backlog
//   until the first has ended.
// - Restarts: while the peer is not present the module is off the network:
//   its connection is reset (after the bytes it had already sent), its
//   listener is closed so that connections are refused, and discovery
//   requests go unanswered. When it is present again it listens again.
//
// Everything runs on one thread of its own, which waits in poll() for the
// sockets or the peer's next wake-up: no busy loop.
#ifndef QBSIM_NET_TCP_MODULE_H
#define QBSIM_NET_TCP_MODULE_H

#include "BytePeer.h"
#include "Netns.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qbsim::net {

inline constexpr uint16_t kDefaultTcpPort = 9000;

struct TcpModuleConfig {
    std::string address;             // the module's own address in its namespace
    uint16_t port = kDefaultTcpPort; // its packet service
    uint8_t moduleAddress = 2;       // link address announced in discovery replies
};

class TcpModule {
public:
    // Starts serving inside `ns` (the namespace must already carry
    // config.address). Throws std::system_error when a socket cannot be set
    // up (address missing, port taken).
    TcpModule(const netns::Namespace& ns, std::unique_ptr<BytePeer> peer, TcpModuleConfig config);
    ~TcpModule();
    TcpModule(const TcpModule&) = delete;
    TcpModule& operator=(const TcpModule&) = delete;

    const TcpModuleConfig& config() const { return config_; }

    // Runs fn with the peer while the module's thread keeps off it, then
    // lets the thread look at the peer again (presence, wake-up time).
    void withPeer(const std::function<void(BytePeer&)>& fn);

    struct Counters {
        unsigned discoveryReplies = 0; // replies sent
        unsigned connections = 0;      // host connections accepted
        unsigned drops = 0;            // times the module went off the network
    };
    Counters counters() const;

private:
    struct Sockets;
    void serve(int nsFd, std::promise<void>* started);
    void wake();

    TcpModuleConfig config_;
    std::unique_ptr<BytePeer> peer_;
    mutable std::mutex mutex_; // the peer and the counters
    Counters counters_;
    std::atomic<bool> stop_{false};
    int wakeFd_ = -1;
    std::thread thread_;
};

} // namespace qbsim::net

#endif
