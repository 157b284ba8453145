#include "UsbTestbed.h"

#include "ModuleDevice.h"
#include "TestbedCore.h"
#include "UsbPreload.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace qbsim::usb {

namespace {

std::atomic<bool> gTestbedExists{false};

} // namespace

struct Testbed::Impl {
    detail::Core core;
    std::vector<std::unique_ptr<detail::Device>> devices;

    Module& add(BytePeer& peer, std::unique_ptr<BytePeer> owned, ModuleOptions options) {
        detail::ModuleDevice* module = nullptr;
        {
            std::lock_guard<std::mutex> e(core.editLock);
            auto device = std::make_unique<detail::ModuleDevice>(core, peer, std::move(owned),
                                                                 std::move(options));
            module = device.get();
            {
                std::lock_guard<std::mutex> g(core.lock);
                devices.push_back(std::move(device));
            }
            module->reconcile();
        }
        core.flushCompletions();
        core.poke();
        return *module;
    }
};

bool Testbed::usable(std::string* reason) {
    if (preloadActive()) {
        return true;
    }
    if (reason != nullptr) {
        *reason = preloadInstalled()
                      ? std::string(kPreloadLibrary) + " is not preloaded into this process"
                      : std::string(kPreloadLibrary) + " is not installed (package umockdev)";
    }
    return false;
}

Testbed::Testbed() {
    if (gTestbedExists.exchange(true)) {
        throw std::runtime_error("emulated USB: only one testbed per process");
    }
    try {
        impl_ = std::make_unique<Impl>();
        impl_->core.start(&impl_->devices);
    } catch (...) {
        gTestbedExists = false;
        throw;
    }
}

Testbed::~Testbed() {
    impl_->core.stop();
    {
        std::lock_guard<std::mutex> e(impl_->core.editLock);
        for (auto& d : impl_->devices) {
            d->retire();
        }
    }
    impl_->core.flushCompletions();
    impl_->devices.clear();
    impl_.reset();
    gTestbedExists = false;
}

Module& Testbed::addModule(BytePeer& peer, ModuleOptions options) {
    return impl_->add(peer, nullptr, std::move(options));
}

Module& Testbed::addModule(std::unique_ptr<BytePeer> peer, ModuleOptions options) {
    if (!peer) {
        throw std::invalid_argument("emulated USB: no peer");
    }
    BytePeer& ref = *peer;
    return impl_->add(ref, std::move(peer), std::move(options));
}

void Testbed::removeModule(Module& module) {
    std::unique_ptr<detail::Device> gone;
    {
        std::lock_guard<std::mutex> e(impl_->core.editLock);
        auto& devices = impl_->devices;
        auto it = std::find_if(devices.begin(), devices.end(), [&](const auto& d) {
            return dynamic_cast<Module*>(d.get()) == &module;
        });
        if (it == devices.end()) {
            return;
        }
        (*it)->retire();
        std::lock_guard<std::mutex> g(impl_->core.lock);
        gone = std::move(*it);
        devices.erase(it);
    }
    impl_->core.flushCompletions();
}

std::string Testbed::rootDir() const {
    return impl_->core.rootDir();
}

std::vector<std::string> Testbed::childEnvironment() const {
    return {"LD_PRELOAD=" + preloadValue(), "UMOCKDEV_DIR=" + rootDir(),
            "ASAN_OPTIONS=" + asanOptionsWithPreload()};
}

void Testbed::wake() {
    impl_->core.poke();
}

} // namespace qbsim::usb
