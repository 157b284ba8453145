#include "TcpModuleRig.h"

#include <algorithm>

namespace qbsim::net {

namespace {

netns::PairConfig sEmptyDeviceSide() {
    netns::PairConfig config;
    config.deviceAddresses.clear();
    return config;
}

} // namespace

TcpModuleRig::TcpModuleRig() : pair_(std::make_unique<netns::Pair>(sEmptyDeviceSide())) {}

TcpModuleRig::TcpModuleRig(std::unique_ptr<BytePeer> peer, TcpModuleConfig config)
    : TcpModuleRig() {
    add(std::move(peer), std::move(config));
}

TcpModule& TcpModuleRig::add(std::unique_ptr<BytePeer> peer, TcpModuleConfig config) {
    if (config.address.empty()) {
        const auto& taken = pair_->config().deviceAddresses;
        do {
            config.address = "192.0.2." + std::to_string(nextHost_++);
        } while (std::find(taken.begin(), taken.end(), config.address) != taken.end());
    }
    const auto& taken = pair_->config().deviceAddresses;
    if (std::find(taken.begin(), taken.end(), config.address) == taken.end()) {
        pair_->addDeviceAddress(config.address);
    }
    modules_.push_back(std::make_unique<TcpModule>(pair_->device(), std::move(peer), config));
    return *modules_.back();
}

} // namespace qbsim::net
