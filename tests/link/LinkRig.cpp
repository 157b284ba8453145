#include "LinkRig.h"

#include "aLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qbtest {

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds within) {
    auto deadline = std::chrono::steady_clock::now() + within;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return cond();
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char one[4];
    for (uint8_t b : bytes) {
        snprintf(one, sizeof one, "%02X ", b);
        text += one;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

Bytes frameOf(const aPacket* packet) {
    Bytes bytes;
    if (packet != nullptr) {
        bytes.push_back(packet->address);
        bytes.push_back(packet->length);
        for (uint8_t i = 0; i < packet->length && i < aPACKET_MAXDATA; i++) {
            bytes.push_back(packet->data[i]);
        }
    }
    return bytes;
}

Bytes takeFrame(aPacket* packet) {
    Bytes bytes = frameOf(packet);
    aPacket_Destroy(&packet);
    return bytes;
}

aErr sendPacket(int32_t id, uint8_t address, const Bytes& data) {
    aPacket* packet =
        aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
    aErr result = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

// ScriptedStream

ScriptedStream::~ScriptedStream() = default;

aStream* ScriptedStream::make() {
    return aStream_Create(sGet, sPut, sWrite, sDelete, this);
}

void ScriptedStream::feed(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (uint8_t b : bytes) {
        script_.push_back({Item::Byte, b, aErrNone});
    }
    changed_.notify_all();
}

void ScriptedStream::idle() {
    std::lock_guard<std::mutex> guard(mutex_);
    script_.push_back({Item::Idle, 0, aErrNotReady});
    changed_.notify_all();
}

void ScriptedStream::fail(aErr err) {
    std::lock_guard<std::mutex> guard(mutex_);
    script_.push_back({Item::Fail, 0, err});
    changed_.notify_all();
}

void ScriptedStream::release() {
    std::lock_guard<std::mutex> guard(mutex_);
    released_ = true;
    changed_.notify_all();
}

void ScriptedStream::failWrites(aErr err) {
    std::lock_guard<std::mutex> guard(mutex_);
    writeError_ = err;
}

Bytes ScriptedStream::awaitWritten(size_t count, std::chrono::milliseconds within) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, within, [&] { return written_.size() >= count; });
    Bytes taken;
    taken.swap(written_);
    return taken;
}

Bytes ScriptedStream::takeWritten() {
    std::lock_guard<std::mutex> guard(mutex_);
    Bytes taken;
    taken.swap(written_);
    return taken;
}

std::vector<size_t> ScriptedStream::writeSizes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return writeSizes_;
}

bool ScriptedStream::deleted() {
    std::lock_guard<std::mutex> guard(mutex_);
    return deleted_;
}

Bytes ScriptedStream::writtenAtDelete() {
    std::lock_guard<std::mutex> guard(mutex_);
    return writtenAtDelete_;
}

aErr ScriptedStream::sGet(uint8_t* byte, void* context) {
    auto* self = static_cast<ScriptedStream*>(context);
    std::unique_lock<std::mutex> lock(self->mutex_);
    // Waits for the script, but not for ever: a test that went wrong must
    // still be able to stop its link.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (self->script_.empty()) {
        auto until = self->released_ ? std::chrono::steady_clock::now() + 2ms : deadline;
        if (self->changed_.wait_until(lock, until) == std::cv_status::timeout &&
            self->script_.empty()) {
            return aErrNotReady;
        }
    }
    Item item = self->script_.front();
    self->script_.pop_front();
    switch (item.kind) {
    case Item::Byte:
        *byte = item.byte;
        return aErrNone;
    case Item::Idle:
        return aErrNotReady;
    default:
        return item.err;
    }
}

aErr ScriptedStream::sWrite(const uint8_t* bytes, uint64_t length, void* context) {
    auto* self = static_cast<ScriptedStream*>(context);
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->writeSizes_.push_back(length);
    if (self->writeError_ != aErrNone) {
        return self->writeError_;
    }
    self->written_.insert(self->written_.end(), bytes, bytes + length);
    self->changed_.notify_all();
    return aErrNone;
}

aErr ScriptedStream::sPut(const uint8_t* byte, void* context) {
    return sWrite(byte, 1, context);
}

aErr ScriptedStream::sDelete(void* context) {
    auto* self = static_cast<ScriptedStream*>(context);
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->deleted_ = true;
    self->writtenAtDelete_ = self->written_;
    self->changed_.notify_all();
    return aErrNone;
}

// PeerServer

PeerServer::PeerServer(std::unique_ptr<qbsim::BytePeer> peer) : peer_(std::move(peer)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = address();
    socklen_t length = sizeof at;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        ADD_FAILURE() << "no loopback listener";
    }
    port_ = ntohs(at.sin_port);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { serve(); });
}

PeerServer::~PeerServer() {
    stop_ = true;
    wake();
    thread_.join();
    close(listener_);
    close(wakeFd_);
}

uint32_t PeerServer::address() {
    return htonl(INADDR_LOOPBACK);
}

void PeerServer::withPeer(const std::function<void(qbsim::BytePeer&)>& fn) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        fn(*peer_);
    }
    wake();
}

void PeerServer::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void PeerServer::serve() {
    std::vector<int> connections; // the newest last; the peer's output goes there
    uint8_t buffer[4096];
    while (!stop_) {
        int timeout = 1000;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            auto next = peer_->nextWakeup();
            if (next != qbsim::Clock::time_point::max()) {
                auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(next - qbsim::Clock::now());
                timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1000));
            }
        }
        std::vector<pollfd> fds;
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        for (int fd : connections) {
            fds.push_back({fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            break;
        }
        uint64_t drained;
        [[maybe_unused]] ssize_t n = read(wakeFd_, &drained, sizeof drained);
        // Closed connections first, then new ones: a close and the connect
        // that followed it are seen in that order.
        std::vector<int> still;
        for (size_t i = 2; i < fds.size(); i++) {
            int fd = fds[i].fd;
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                still.push_back(fd);
                continue;
            }
            ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                std::lock_guard<std::mutex> guard(mutex_);
                peer_->fromHost(buffer, static_cast<size_t>(got), qbsim::Clock::now());
                still.push_back(fd);
            } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                still.push_back(fd);
            } else {
                close(fd);
                open_--;
                std::lock_guard<std::mutex> guard(mutex_);
                peer_->hostDisconnected();
            }
        }
        connections.swap(still);
        if ((fds[1].revents & POLLIN) != 0) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                connections.push_back(fd);
                connections_++;
                int nowOpen = ++open_;
                mostOpen_ = std::max(mostOpen_.load(), nowOpen);
            }
        }
        if (!connections.empty()) {
            size_t out;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                out = peer_->toHost(buffer, sizeof buffer, qbsim::Clock::now());
            }
            if (out > 0) {
                [[maybe_unused]] ssize_t sent = send(connections.back(), buffer, out, MSG_NOSIGNAL);
            }
        }
    }
    for (int fd : connections) {
        close(fd);
    }
}

// ScriptedModule

ScriptedModule::ScriptedModule(uint8_t address, std::chrono::milliseconds heartbeat)
    : address_(address), heartbeat_(heartbeat) {}

void ScriptedModule::fromHost(const uint8_t* data, size_t length, qbsim::Clock::time_point) {
    partial_.insert(partial_.end(), data, data + length);
    while (partial_.size() >= 2 && partial_.size() >= 2u + partial_[1]) {
        Bytes frame(partial_.begin(), partial_.begin() + 2 + partial_[1]);
        partial_.erase(partial_.begin(), partial_.begin() + 2 + partial_[1]);
        packet(frame);
    }
}

void ScriptedModule::packet(const Bytes& frame) {
    received_.push_back(frame);
    uint8_t to = frame[0];
    if (to == 0xAD && frame[1] == 0) {
        out_.push_back(address_);
        out_.push_back(0);
        return;
    }
    if (to != address_) {
        return; // force-route and packets for other modules
    }
    if (frame[1] == 2 && frame[2] == 0) {
        if (!outstanding_.empty() && frame[3] == outstanding_.front() + 2) {
            heartbeatsAnswered_++;
            outstanding_.pop_front();
        } else {
            heartbeatsWrong_++;
        }
        return;
    }
    requests_++;
    out_.insert(out_.end(), frame.begin(), frame.end());
}

size_t ScriptedModule::toHost(uint8_t* out, size_t capacity, qbsim::Clock::time_point now) {
    if (heartbeat_ > 0ms && now >= nextHeartbeat_) {
        out_.insert(out_.end(), {address_, 2, 0, nextValue_});
        outstanding_.push_back(nextValue_);
        nextValue_ ^= 1;
        heartbeatsSent_++;
        nextHeartbeat_ = now + heartbeat_;
    }
    size_t n = std::min(capacity, out_.size());
    std::copy(out_.begin(), out_.begin() + n, out);
    out_.erase(out_.begin(), out_.begin() + n);
    return n;
}

qbsim::Clock::time_point ScriptedModule::nextWakeup() const {
    return heartbeat_ > 0ms ? nextHeartbeat_ : qbsim::Clock::time_point::max();
}

void ScriptedModule::hostDisconnected() {
    partial_.clear();
    out_.clear();
    outstanding_.clear();
}

// WirePeer

WirePeer::WirePeer(uint32_t serialNumber, uint16_t productId)
    : identity_{serialNumber, productId} {}

void WirePeer::answerSync(uint8_t address) {
    std::lock_guard<std::mutex> guard(mutex_);
    syncAddress_ = address;
}

void WirePeer::push(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

Bytes WirePeer::awaitFromHost(size_t count, std::chrono::milliseconds within) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, within, [&] { return fromHost_.size() >= count; });
    Bytes taken;
    taken.swap(fromHost_);
    return taken;
}

Bytes WirePeer::takeFromHost() {
    std::lock_guard<std::mutex> guard(mutex_);
    Bytes taken;
    taken.swap(fromHost_);
    return taken;
}

std::vector<Bytes> WirePeer::frames() {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
}

int WirePeer::disconnects() {
    std::lock_guard<std::mutex> guard(mutex_);
    return disconnects_;
}

void WirePeer::fromHost(const uint8_t* data, size_t length, qbsim::Clock::time_point) {
    std::lock_guard<std::mutex> guard(mutex_);
    fromHost_.insert(fromHost_.end(), data, data + length);
    partial_.insert(partial_.end(), data, data + length);
    while (partial_.size() >= 2 && partial_.size() >= 2u + partial_[1]) {
        Bytes frame(partial_.begin(), partial_.begin() + 2 + partial_[1]);
        partial_.erase(partial_.begin(), partial_.begin() + 2 + partial_[1]);
        if (syncAddress_ != 0 && frame == Bytes{0xAD, 0}) {
            out_.push_back(syncAddress_);
            out_.push_back(0);
        }
        frames_.push_back(std::move(frame));
    }
    changed_.notify_all();
}

size_t WirePeer::toHost(uint8_t* out, size_t capacity, qbsim::Clock::time_point) {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = std::min(capacity, out_.size());
    std::copy(out_.begin(), out_.begin() + n, out);
    out_.erase(out_.begin(), out_.begin() + n);
    return n;
}

qbsim::Clock::time_point WirePeer::nextWakeup() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return out_.empty() ? qbsim::Clock::time_point::max() : qbsim::Clock::now();
}

void WirePeer::hostDisconnected() {
    std::lock_guard<std::mutex> guard(mutex_);
    disconnects_++;
    partial_.clear();
    changed_.notify_all();
}

// Pty

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        ADD_FAILURE() << "no pseudo-terminal name";
        return;
    }
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

Pty::~Pty() {
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void Pty::write(const Bytes& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes Pty::read(size_t count, std::chrono::milliseconds quiet) {
    Bytes got;
    uint8_t buffer[256];
    while (got.size() < count) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) != 1) {
            break;
        }
        ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

} // namespace qbtest
