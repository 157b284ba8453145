// The link engine on the emulated USB bus, against the module model.
//
//   EngineRequestReply/Usb       a request and its reply through the link engine
//   RawLibusbRequestReply/Usb    the same exchange by a bare libusb client, same module
//   IdleLinkCpu/Usb              CPU share of an idle connected link over 10 s: of the
//                                threads the link brought up (link_cpu: its reader and
//                                writer, and libusb's), and of the whole process with
//                                the emulation (process_cpu)
//
// The last line printed is the ratio of the engine's exchange to the raw one.
#include "LinkBenchSupport.h"

#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "UsbPreload.h"
#include "UsbTestbed.h"
#include "qbusb_driver.h"

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <cstdio>
#include <memory>

namespace {

using namespace qbbench;
using Clock = std::chrono::steady_clock;

std::unique_ptr<qbsim::usb::Testbed> gBus;
std::unique_ptr<qbsim::ModuleModel> gModule;
double gEngineSeconds = 0;
double gRawSeconds = 0;

void EngineRequestReply_Usb(benchmark::State& state) {
    int32_t id = aLink_CreateUSB(kSerial);
    gEngineSeconds = engineRequestReply(state, id);
    aLink_Destroy(&id);
}
BENCHMARK(EngineRequestReply_Usb)->UseRealTime()->Unit(benchmark::kMicrosecond);

void RawLibusbRequestReply_Usb(benchmark::State& state) {
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    if (libusb_init(&ctx) == 0) {
        handle = libusb_open_device_with_vid_pid(ctx, QUORBITAL_VENDOR_ID, 14);
    }
    if (handle == nullptr || libusb_claim_interface(handle, 0) != 0) {
        state.SkipWithError("module not opened");
    } else {
        uint8_t request[sizeof kRequest];
        std::copy(kRequest, kRequest + sizeof kRequest, request);
        uint8_t reply[800];
        const auto t0 = Clock::now();
        for (auto _ : state) {
            int done = 0;
            libusb_bulk_transfer(handle, 0x01, request, sizeof request, &done, 1000);
            size_t got = 0;
            while (got < kReplySize) {
                if (libusb_bulk_transfer(handle, 0x81, reply + got,
                                         static_cast<int>(sizeof reply - got), &done, 1000) != 0) {
                    break;
                }
                got += static_cast<size_t>(done);
            }
            if (got != kReplySize) {
                state.SkipWithError("no reply");
                break;
            }
        }
        gRawSeconds = perIteration(Clock::now() - t0, state.iterations());
        libusb_release_interface(handle, 0);
    }
    if (handle != nullptr) {
        libusb_close(handle);
    }
    if (ctx != nullptr) {
        libusb_exit(ctx);
    }
}
BENCHMARK(RawLibusbRequestReply_Usb)->UseRealTime()->Unit(benchmark::kMicrosecond);

void IdleLinkCpu_Usb(benchmark::State& state) {
    idleLinkCpu(state, [] { return aLink_CreateUSB(kSerial); });
}
BENCHMARK(IdleLinkCpu_Usb)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    qbsim::usb::reexecWithPreload(argc, argv);
    std::string why;
    if (!qbsim::usb::Testbed::usable(&why)) {
        fprintf(stderr, "emulated USB unavailable: %s\n", why.c_str());
        return 1;
    }
    gBus = std::make_unique<qbsim::usb::Testbed>();
    gModule = qbsim::makeModule(kModel);
    gBus->addModule(*gModule);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Quorbital_libusb_exit();
    gBus.reset();
    if (gEngineSeconds > 0 && gRawSeconds > 0) {
        printf("USB request and reply: engine %.1f us, bare libusb %.1f us, ratio %.2f\n",
               gEngineSeconds * 1e6, gRawSeconds * 1e6, gEngineSeconds / gRawSeconds);
    }
    return 0;
}
