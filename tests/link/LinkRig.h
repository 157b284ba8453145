// What the link engine's tests drive a link with:
//
// - ScriptedStream: an in-memory aStream whose reads answer exactly what the
//   test scripts (bytes, an idle read, a failed read) and whose writes are
//   recorded. While the script is empty a read waits for it, so the engine
//   sees an idle read only when the test says so.
// - PeerServer: serves a qbsim::BytePeer as a TCP module on 127.0.0.1, one
//   connection at a time, from a thread of its own that waits in poll().
// - ScriptedModule: a small BytePeer that answers the address query, echoes
//   requests, sends heartbeats and counts their answers.
// - Pty: a pseudo-terminal whose slave a serial link opens.
#ifndef QB_TEST_LINK_RIG_H
#define QB_TEST_LINK_RIG_H

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"

#include "BytePeer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qbtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Polls cond every 5 ms until it holds or the time is up; answers cond().
bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds within = 3s);

std::string hex(const Bytes& bytes);

// A packet in link framing: address, length, data. Empty for no packet.
Bytes frameOf(const aPacket* packet);
// The same, and the packet is destroyed.
Bytes takeFrame(aPacket* packet);
// Queues a packet to address with data on the link.
aErr sendPacket(int32_t id, uint8_t address, const Bytes& data);

class ScriptedStream {
public:
    ScriptedStream() = default;
    ~ScriptedStream();
    ScriptedStream(const ScriptedStream&) = delete;
    ScriptedStream& operator=(const ScriptedStream&) = delete;

    // A new aStream over this script (owned by whoever takes it; this object
    // must outlive it).
    aStream* make();

    void feed(const Bytes& bytes);
    // The next read answers aErrNotReady.
    void idle();
    // The next read fails with err.
    void fail(aErr err);
    // From now on a read with nothing scripted answers aErrNotReady after a
    // short wait instead of waiting for the script: the link can stop.
    void release();
    // Every write from now on fails with err (aErrNone: writes succeed).
    void failWrites(aErr err);

    // Waits until at least count bytes were written since the last take,
    // then takes everything written so far.
    Bytes awaitWritten(size_t count, std::chrono::milliseconds within = 3s);
    // Takes everything written so far.
    Bytes takeWritten();
    // Number of write calls and the size of each, since the start.
    std::vector<size_t> writeSizes();

    bool deleted();
    // What had been written (and not taken) when the stream was deleted.
    Bytes writtenAtDelete();

private:
    struct Item {
        enum Kind { Byte, Idle, Fail } kind;
        uint8_t byte;
        aErr err;
    };
    static aErr sGet(uint8_t* byte, void* context);
    static aErr sPut(const uint8_t* byte, void* context);
    static aErr sWrite(const uint8_t* bytes, uint64_t length, void* context);
    static aErr sDelete(void* context);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> script_;
    bool released_ = false;
    aErr writeError_ = aErrNone;
    Bytes written_;
    std::vector<size_t> writeSizes_;
    bool deleted_ = false;
    Bytes writtenAtDelete_;
};

// A TCP listener on 127.0.0.1 that serves one BytePeer.
class PeerServer {
public:
    explicit PeerServer(std::unique_ptr<qbsim::BytePeer> peer);
    ~PeerServer();
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    uint16_t port() const { return port_; }
    // 127.0.0.1 in network byte order.
    static uint32_t address();

    // Runs fn with the peer while the server's thread keeps off it.
    void withPeer(const std::function<void(qbsim::BytePeer&)>& fn);

    int connections() const { return connections_; }
    // The most connections that were open at one time.
    int mostOpen() const { return mostOpen_; }
    int open() const { return open_; }

private:
    void serve();
    void wake();

    std::unique_ptr<qbsim::BytePeer> peer_;
    std::mutex mutex_;
    int listener_ = -1;
    int wakeFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> open_{0};
    std::atomic<int> mostOpen_{0};
    std::thread thread_;
};

// A module at one address: answers AD 00 with an empty packet from its
// address, answers every other packet to its address with the same data
// (an echo), optionally sends heartbeats [0, 0] / [0, 1] by turns and checks
// that each is answered [0, x + 2].
class ScriptedModule : public qbsim::BytePeer {
public:
    explicit ScriptedModule(uint8_t address, std::chrono::milliseconds heartbeat = 0ms);

    void fromHost(const uint8_t* data, size_t length, qbsim::Clock::time_point now) override;
    size_t toHost(uint8_t* out, size_t capacity, qbsim::Clock::time_point now) override;
    qbsim::Clock::time_point nextWakeup() const override;
    bool present(qbsim::Clock::time_point) const override { return true; }
    qbsim::PeerIdentity identity() const override { return {0x40F5849A, 0x0E}; }
    void hostDisconnected() override;

    uint64_t heartbeatsSent() const { return heartbeatsSent_; }
    uint64_t heartbeatsAnswered() const { return heartbeatsAnswered_; }
    uint64_t heartbeatsWrong() const { return heartbeatsWrong_; }
    uint64_t requests() const { return requests_; }
    // Packets received, in link framing (address, length, data).
    const std::vector<Bytes>& received() const { return received_; }

private:
    void packet(const Bytes& frame);

    uint8_t address_;
    std::chrono::milliseconds heartbeat_;
    qbsim::Clock::time_point nextHeartbeat_{};
    uint8_t nextValue_ = 0;
    std::deque<uint8_t> outstanding_;
    Bytes partial_;
    Bytes out_;
    uint64_t heartbeatsSent_ = 0;
    uint64_t heartbeatsAnswered_ = 0;
    uint64_t heartbeatsWrong_ = 0;
    uint64_t requests_ = 0;
    std::vector<Bytes> received_;
};

// A module whose every byte the test scripts, for any rig: bytes for the
// host are queued by the test (the rig must then be woken), bytes from the
// host are recorded, and empty requests to address 173 can be answered
// automatically, as a module does. Thread-safe.
class WirePeer : public qbsim::BytePeer {
public:
    explicit WirePeer(uint32_t serialNumber, uint16_t productId = 0x010E);

    // Answers each AD 00 with an empty packet from address; 0: answers nothing.
    void answerSync(uint8_t address);
    // Bytes for the host.
    void push(const Bytes& bytes);
    // Waits until count bytes came from the host since the last take, then
    // takes everything that came.
    Bytes awaitFromHost(size_t count, std::chrono::milliseconds within = 5s);
    Bytes takeFromHost();
    // Every packet the host sent, in link framing.
    std::vector<Bytes> frames();
    // Times the host let go of the module.
    int disconnects();

    void fromHost(const uint8_t* data, size_t length, qbsim::Clock::time_point now) override;
    size_t toHost(uint8_t* out, size_t capacity, qbsim::Clock::time_point now) override;
    qbsim::Clock::time_point nextWakeup() const override;
    bool present(qbsim::Clock::time_point) const override { return true; }
    qbsim::PeerIdentity identity() const override { return identity_; }
    void hostDisconnected() override;

private:
    const qbsim::PeerIdentity identity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint8_t syncAddress_ = 0;
    Bytes fromHost_;
    Bytes partial_;
    std::vector<Bytes> frames_;
    Bytes out_;
    int disconnects_ = 0;
};

// Another peer behind a lock, so that a test may look at it while a rig's
// thread drives it.
class LockedPeer : public qbsim::BytePeer {
public:
    explicit LockedPeer(std::unique_ptr<qbsim::BytePeer> inner) : inner_(std::move(inner)) {}

    template <typename Peer, typename Fn>
    auto with(Fn fn) {
        std::lock_guard<std::mutex> guard(mutex_);
        return fn(static_cast<Peer&>(*inner_));
    }

    void fromHost(const uint8_t* data, size_t length, qbsim::Clock::time_point now) override {
        std::lock_guard<std::mutex> guard(mutex_);
        inner_->fromHost(data, length, now);
    }
    size_t toHost(uint8_t* out, size_t capacity, qbsim::Clock::time_point now) override {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_->toHost(out, capacity, now);
    }
    qbsim::Clock::time_point nextWakeup() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_->nextWakeup();
    }
    bool present(qbsim::Clock::time_point now) const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_->present(now);
    }
    qbsim::PeerIdentity identity() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_->identity();
    }
    void hostDisconnected() override {
        std::lock_guard<std::mutex> guard(mutex_);
        inner_->hostDisconnected();
    }

private:
    mutable std::mutex mutex_;
    std::unique_ptr<qbsim::BytePeer> inner_;
};

// A pseudo-terminal: the test holds the master, a serial link opens the slave.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    void write(const Bytes& bytes);
    // Reads until count bytes came or nothing more arrives for `quiet`.
    Bytes read(size_t count, std::chrono::milliseconds quiet = 2s);

private:
    int master_ = -1;
    int slave_ = -1; // kept open so that the master never reads EIO between opens
    std::string path_;
};

} // namespace qbtest

#endif
