// A stand-in device for tests of the rigs: it answers every byte the host
// writes with the same byte (unless echo is off), can be told to send bytes
// of its own at a given moment, and can leave its transport and come back,
// possibly under another identity. Its controls may be used from the test's
// thread while a rig drives it.
#ifndef QBSIM_ECHO_PEER_H
#define QBSIM_ECHO_PEER_H

#include "peer/BytePeer.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

namespace qbsim {

class EchoPeer : public BytePeer {
public:
    explicit EchoPeer(PeerIdentity id, bool echo = true) : id_(id), echo_(echo) {}

    void fromHost(const uint8_t* data, size_t length, Clock::time_point now) override {
        std::lock_guard<std::mutex> g(m_);
        received_.insert(received_.end(), data, data + length);
        if (echo_) {
            pending_.push_back({now, std::vector<uint8_t>(data, data + length)});
            sortPending();
        }
    }

    size_t toHost(uint8_t* out, size_t capacity, Clock::time_point now) override {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        while (n < capacity && !pending_.empty() && pending_.front().due <= now) {
            auto& chunk = pending_.front();
            size_t take = std::min(capacity - n, chunk.bytes.size());
            std::copy_n(chunk.bytes.begin(), take, out + n);
            chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<long>(take));
            n += take;
            if (chunk.bytes.empty()) {
                pending_.pop_front();
            }
        }
        sent_ += n;
        return n;
    }

    Clock::time_point nextWakeup() const override {
        std::lock_guard<std::mutex> g(m_);
        Clock::time_point next = Clock::time_point::max();
        if (!pending_.empty()) {
            next = pending_.front().due;
        }
        // Presence changes still ahead are wakeups too.
        const auto now = Clock::now();
        for (auto edge : {absentFrom_, absentUntil_}) {
            if (edge > now && edge != Clock::time_point::max()) {
                next = std::min(next, edge);
            }
        }
        return next;
    }

    bool present(Clock::time_point now) const override {
        std::lock_guard<std::mutex> g(m_);
        return !(now >= absentFrom_ && now < absentUntil_);
    }

    PeerIdentity identity() const override {
        std::lock_guard<std::mutex> g(m_);
        return id_;
    }

    void hostDisconnected() override {
        std::lock_guard<std::mutex> g(m_);
        ++disconnects_;
        pending_.clear(); // the old session's answers are not the next one's
    }

    // Test controls. A rig notices a change at the peer's next wakeup; call
    // the rig's wake() to have it look at once.

    // Sends `bytes` to the host at `when` (not before).
    void sendAt(Clock::time_point when, std::vector<uint8_t> bytes) {
        std::lock_guard<std::mutex> g(m_);
        pending_.push_back({when, std::move(bytes)});
        sortPending();
    }

    // Leaves the transport from `from` until `until` (max: for good).
    void absent(Clock::time_point from, Clock::time_point until = Clock::time_point::max()) {
        std::lock_guard<std::mutex> g(m_);
        absentFrom_ = from;
        absentUntil_ = until;
        pending_.clear(); // a restart loses what was queued
    }

    // Present from now on.
    void back() {
        std::lock_guard<std::mutex> g(m_);
        absentFrom_ = Clock::time_point::max();
        absentUntil_ = Clock::time_point::min();
    }

    void setIdentity(PeerIdentity id) {
        std::lock_guard<std::mutex> g(m_);
        id_ = id;
    }

    void setEcho(bool on) {
        std::lock_guard<std::mutex> g(m_);
        echo_ = on;
    }

    std::vector<uint8_t> received() const {
        std::lock_guard<std::mutex> g(m_);
        return received_;
    }

    size_t sentCount() const {
        std::lock_guard<std::mutex> g(m_);
        return sent_;
    }

    unsigned disconnects() const {
        std::lock_guard<std::mutex> g(m_);
        return disconnects_;
    }

private:
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    void sortPending() {
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const Chunk& a, const Chunk& b) { return a.due < b.due; });
    }

    mutable std::mutex m_;
    PeerIdentity id_;
    bool echo_;
    std::deque<Chunk> pending_;
    std::vector<uint8_t> received_;
    size_t sent_ = 0;
    unsigned disconnects_ = 0;
    Clock::time_point absentFrom_ = Clock::time_point::max();
    Clock::time_point absentUntil_ = Clock::time_point::min();
};

} // namespace qbsim

#endif
