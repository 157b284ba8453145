// A test's network in one line: two namespaces joined by a veth pair and
// simulated modules answering on the device side.
//
//   qbsim::net::TcpModuleRig rig(std::make_unique<MyPeer>());
//   qbsim::netns::Enter inHost(rig.host()); // this thread now sees the module
//
// Module i gets the device-side address 192.0.2.(20 + i) unless its config
// names one; the host side is 192.0.2.10. Everything goes away with the rig
// (or with the process).
#ifndef QBSIM_NET_TCP_MODULE_RIG_H
#define QBSIM_NET_TCP_MODULE_RIG_H

#include "TcpModule.h"

#include <memory>
#include <vector>

namespace qbsim::net {

class TcpModuleRig {
public:
    TcpModuleRig();
    explicit TcpModuleRig(std::unique_ptr<BytePeer> peer, TcpModuleConfig config = {});

    // Adds a module; an empty config.address takes the next free address.
    TcpModule& add(std::unique_ptr<BytePeer> peer, TcpModuleConfig config = {});

    const netns::Pair& net() const { return *pair_; }
    const netns::Namespace& host() const { return pair_->host(); }
    const netns::Namespace& device() const { return pair_->device(); }
    const std::string& hostAddress() const { return pair_->hostAddress(); }

    size_t size() const { return modules_.size(); }
    TcpModule& module(size_t index = 0) { return *modules_.at(index); }

private:
    std::unique_ptr<netns::Pair> pair_;
    std::vector<std::unique_ptr<TcpModule>> modules_; // stopped before the pair goes
    unsigned nextHost_ = 20;
};

} // namespace qbsim::net

#endif
