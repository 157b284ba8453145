#include "TcpModule.h"
#include "Discovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace qbsim::net {

namespace {

[[noreturn]] void sThrow(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

void sClose(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Closes a connection with a reset, as a module that restarts leaves its
// peer: the host's next read or write fails at once.
void sReset(int& fd) {
    if (fd >= 0) {
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        sClose(fd);
    }
}

sockaddr_in sEndpoint(in_addr address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

int sSocket(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        sThrow(errno, "socket");
    }
    return fd;
}

void sBind(int fd, in_addr address, uint16_t port, const std::string& what) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in endpoint = sEndpoint(address, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) != 0) {
        const int error = errno;
        close(fd);
        sThrow(error, "bind " + what);
    }
}

constexpr size_t kOutputLimit = 64 * 1024; // bytes held for a host that does not read

} // namespace

struct TcpModule::Sockets {
    in_addr address{};
    int discovery = -1; // joined to the group, port 9888
    int replies = -1;   // bound to the module's own address
    int listener = -1;
    int connection = -1;
    std::vector<uint8_t> output; // for the host, not yet sent
    bool present = false;

    ~Sockets() {
        sClose(discovery);
        sClose(replies);
        sClose(listener);
        sReset(connection);
    }
};

TcpModule::TcpModule(const netns::Namespace& ns, std::unique_ptr<BytePeer> peer,
                     TcpModuleConfig config)
    : config_(std::move(config)), peer_(std::move(peer)) {
    if (!peer_) {
        throw std::invalid_argument("TcpModule without a peer");
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        sThrow(errno, "eventfd");
    }
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread(&TcpModule::serve, this, ns.fd(), &started);
    try {
        ready.get();
    } catch (...) {
        thread_.join();
        close(wakeFd_);
        throw;
    }
}

TcpModule::~TcpModule() {
    stop_ = true;
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    close(wakeFd_);
}

void TcpModule::wake() {
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void TcpModule::withPeer(const std::function<void(BytePeer&)>& fn) {
    {
        std::lock_guard lock(mutex_);
        fn(*peer_);
    }
    wake();
}

TcpModule::Counters TcpModule::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void TcpModule::serve(int nsFd, std::promise<void>* started) {
    Sockets s;
    auto openListener = [&] {
        s.listener = sSocket(SOCK_STREAM);
        sBind(s.listener, s.address, config_.port,
              config_.address + " port " + std::to_string(config_.port));
        if (listen(s.listener, 1) != 0) {
            sThrow(errno, "listen");
        }
    };
    try {
        // This thread lives in the module's namespace: sockets it opens
        // later (the listener after a restart) land there as well.
        if (setns(nsFd, CLONE_NEWNET) != 0) {
            sThrow(errno, "setns");
        }
        if (!netns::inTestNamespace()) {
            throw std::logic_error("a simulated module serves only in a test namespace");
        }
        s.address = netns::parseAddress(config_.address);

        s.discovery = sSocket(SOCK_DGRAM);
        in_addr group{};
        inet_pton(AF_INET, kDiscoveryGroup, &group);
        sBind(s.discovery, group, kDiscoveryPort, "discovery");
        ip_mreq membership{group, s.address};
        if (setsockopt(s.discovery, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership,
                       sizeof membership) != 0) {
            sThrow(errno, "join " + std::string(kDiscoveryGroup) + " on " + config_.address);
        }
        s.replies = sSocket(SOCK_DGRAM);
        sBind(s.replies, s.address, 0, config_.address);

        std::lock_guard lock(mutex_);
        s.present = peer_->present(Clock::now());
        if (s.present) {
            openListener();
        }
    } catch (...) {
        started->set_exception(std::current_exception());
        return;
    }
    started->set_value();

    std::vector<uint8_t> buffer(4096);
    while (!stop_) {
        // What to wait for, and until when.
        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {wakeFd_, POLLIN, 0};
        fds[count++] = {s.discovery, POLLIN, 0};
        const int listenerSlot = s.listener >= 0 && s.connection < 0 ? static_cast<int>(count) : -1;
        if (listenerSlot >= 0) {
            fds[count++] = {s.listener, POLLIN, 0};
        }
        const int connectionSlot = s.connection >= 0 ? static_cast<int>(count) : -1;
        if (connectionSlot >= 0) {
            const short events = static_cast<short>(POLLIN | (s.output.empty() ? 0 : POLLOUT));
            fds[count++] = {s.connection, events, 0};
        }
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            const Clock::time_point due = peer_->nextWakeup();
            if (due != Clock::time_point::max()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
                // At least 1 ms, so that a peer whose wake-up stays in the
                // past cannot spin this thread.
                timeout = static_cast<int>(std::clamp<long long>(left.count(), 1, 60000));
            }
        }
        if (poll(fds, count, timeout) < 0 && errno != EINTR) {
            std::perror("qbsim tcp module: poll");
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t drained;
            (void)!read(wakeFd_, &drained, sizeof drained);
        }

        std::unique_lock lock(mutex_);
        Clock::time_point now = Clock::now();

        // Bytes from the host.
        if (connectionSlot >= 0 && (fds[connectionSlot].revents & (POLLIN | POLLHUP | POLLERR))) {
            bool ended = false;
            for (;;) {
                const ssize_t got = recv(s.connection, buffer.data(), buffer.size(), 0);
                if (got > 0) {
                    peer_->fromHost(buffer.data(), static_cast<size_t>(got), now);
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ended = true;
                }
                break;
            }
            if (ended) {
                sClose(s.connection);
                s.output.clear();
                peer_->hostDisconnected();
            }
        }

        // A new host.
        if (listenerSlot >= 0 && (fds[listenerSlot].revents & POLLIN) && s.connection < 0) {
            const int fd = accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                s.connection = fd;
                s.output.clear();
                ++counters_.connections;
            }
        }

        // Bytes for the host; the peer's timers move on even when no host
        // is connected (what it says then goes nowhere).
        now = Clock::now();
        for (;;) {
            const size_t room = s.connection >= 0
                                    ? kOutputLimit - std::min(kOutputLimit, s.output.size())
                                    : buffer.size();
            if (room == 0) {
                break;
            }
            const size_t take = std::min(room, buffer.size());
            const size_t got = peer_->toHost(buffer.data(), take, now);
            if (s.connection >= 0) {
                s.output.insert(s.output.end(), buffer.begin(), buffer.begin() + got);
            }
            if (got < take) {
                break;
            }
        }
        auto flush = [&] {
            while (s.connection >= 0 && !s.output.empty()) {
                const ssize_t sent =
                    send(s.connection, s.output.data(), s.output.size(), MSG_NOSIGNAL);
                if (sent > 0) {
                    s.output.erase(s.output.begin(), s.output.begin() + sent);
                    continue;
                }
                if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
                    break;
                }
                sClose(s.connection);
                s.output.clear();
                peer_->hostDisconnected();
            }
        };
        flush();

        // On or off the network.
        const bool present = peer_->present(now);
        if (present != s.present) {
            s.present = present;
            if (!present) {
                // The listener first: a host that sees the reset must find
                // the module gone when it tries again.
                sClose(s.listener);
                sReset(s.connection);
                s.output.clear();
                ++counters_.drops;
            } else {
                try {
                    openListener();
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "qbsim tcp module: %s\n", error.what());
                    s.present = false; // tried again at the next round
                }
            }
        }

        // Discovery requests; answered only while on the network.
        for (;;) {
            uint8_t request[64];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = recvfrom(s.discovery, request, sizeof request, 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) {
                break;
            }
            if (!s.present || !isDiscoveryRequest(request, static_cast<size_t>(got))) {
                continue;
            }
            const PeerIdentity id = peer_->identity();
            const DiscoveryDatagram reply =
                discoveryReply(config_.moduleAddress, config_.port, id.serialNumber,
                               static_cast<uint8_t>(id.productId & 0xFF));
            const sockaddr_in to = sEndpoint(from.sin_addr, kDiscoveryReplyPort);
            if (sendto(s.replies, reply.data(), reply.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to),
                       sizeof to) == static_cast<ssize_t>(reply.size())) {
                ++counters_.discoveryReplies;
            }
        }
    }
}

} // namespace qbsim::net
