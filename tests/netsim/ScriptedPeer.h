// A small device for the network tests: it echoes what the host sends, and
// two command bytes take it off its transport like a restart:
//   kStayAway   off until the test calls comeBack() (its echo goes out first)
//   kRestart    off for `restartTime`, then back on its own
#ifndef NETSIM_SCRIPTED_PEER_H
#define NETSIM_SCRIPTED_PEER_H

#include "BytePeer.h"

#include <chrono>
#include <deque>

namespace netsim {

class ScriptedPeer : public qbsim::BytePeer {
public:
    static constexpr uint8_t kStayAway = 0xEE;
    static constexpr uint8_t kRestart = 0xED;

    explicit ScriptedPeer(uint32_t serial = 0x2181F0EE, uint16_t productId = 14,
                          std::chrono::milliseconds restartTime = std::chrono::milliseconds(500))
        : identity_{serial, productId}, restartTime_(restartTime) {}

    void fromHost(const uint8_t* data, size_t length, qbsim::Clock::time_point now) override {
        for (size_t i = 0; i < length; ++i) {
            if (!present(now)) {
                return; // a device that is off hears nothing
            }
            pending_.push_back(data[i]);
            if (data[i] == kStayAway) {
                away_ = true;
            } else if (data[i] == kRestart) {
                backAt_ = now + restartTime_;
            }
        }
    }

    size_t toHost(uint8_t* out, size_t capacity, qbsim::Clock::time_point now) override {
        last_ = now;
        size_t n = 0;
        while (n < capacity && !pending_.empty()) {
            out[n++] = pending_.front();
            pending_.pop_front();
        }
        return n;
    }

    qbsim::Clock::time_point nextWakeup() const override {
        return backAt_ > last_ ? backAt_ : qbsim::Clock::time_point::max();
    }

    bool present(qbsim::Clock::time_point now) const override { return !away_ && now >= backAt_; }

    qbsim::PeerIdentity identity() const override { return identity_; }

    void hostDisconnected() override { ++disconnects_; }

    void comeBack() { away_ = false; }
    unsigned disconnects() const { return disconnects_; }

private:
    qbsim::PeerIdentity identity_;
    std::chrono::milliseconds restartTime_;
    std::deque<uint8_t> pending_;
    bool away_ = false;
    qbsim::Clock::time_point backAt_{};
    qbsim::Clock::time_point last_{};
    unsigned disconnects_ = 0;
};

} // namespace netsim

#endif
