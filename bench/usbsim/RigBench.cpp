// Round trips through the rigs and their idle CPU use, and the device
// library's USB stream on the emulated bus.
//
//   build/bench/usbsim/bench_usbsim
//
// "cpu_share" is the CPU time of the whole process (client, rig threads,
// umockdev's worker, libusb's threads) over the wall time, while the client
// waits for an answer that does not come.
#include "PtyRig.h"
#include "aStreamUSB.h"
#include "qbusb_driver.h"
#include "UsbPreload.h"
#include "UsbTestbed.h"
#include "peer/EchoPeer.h"

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using qbsim::Clock;
using qbsim::EchoPeer;

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One emulated module and a bare libusb client holding its interface.
struct UsbSetup {
    EchoPeer peer{{0x5B000001, 0x010E}};
    std::unique_ptr<qbsim::usb::Testbed> testbed;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;

    bool start() {
        if (!qbsim::usb::Testbed::usable()) {
            return false;
        }
        testbed = std::make_unique<qbsim::usb::Testbed>();
        testbed->addModule(peer);
        if (libusb_init(&ctx) != 0) {
            return false;
        }
        handle = libusb_open_device_with_vid_pid(ctx, QUORBITAL_VENDOR_ID, 0x010E);
        return handle != nullptr && libusb_claim_interface(handle, 0) == 0;
    }

    ~UsbSetup() {
        if (handle != nullptr) {
            libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
        if (ctx != nullptr) {
            libusb_exit(ctx);
        }
    }
};

void BM_UsbPacketRoundTrip(benchmark::State& state) {
    UsbSetup s;
    if (!s.start()) {
        state.SkipWithError("emulated USB unavailable");
        return;
    }
    unsigned char packet[3] = {0x03, 0x49, 0x20};
    unsigned char in[800];
    for (auto _ : state) {
        int done = 0;
        libusb_bulk_transfer(s.handle, 0x01, packet, sizeof packet, &done, 1000);
        libusb_bulk_transfer(s.handle, 0x81, in, sizeof in, &done, 1000);
        if (done != 3) {
            state.SkipWithError("echo lost");
            break;
        }
    }
}
BENCHMARK(BM_UsbPacketRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_UsbIdleRead(benchmark::State& state) {
    UsbSetup s;
    if (!s.start()) {
        state.SkipWithError("emulated USB unavailable");
        return;
    }
    unsigned char in[800];
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double c0 = processCpuSeconds();
        const auto t0 = Clock::now();
        int done = 0;
        libusb_bulk_transfer(s.handle, 0x81, in, sizeof in, &done, 500);
        cpu += processCpuSeconds() - c0;
        wall += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    state.counters["cpu_share"] = wall > 0 ? cpu / wall : 0;
}
BENCHMARK(BM_UsbIdleRead)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);

// The device library's USB stream on an emulated module.
struct StreamSetup {
    EchoPeer peer{{0x5B000003, 0x010E}};
    std::unique_ptr<qbsim::usb::Testbed> testbed;
    aStream* stream = nullptr;

    bool start() {
        if (!qbsim::usb::Testbed::usable()) {
            return false;
        }
        testbed = std::make_unique<qbsim::usb::Testbed>();
        testbed->addModule(peer);
        return aStream_CreateUSB(0x5B000003, &stream) == aErrNone;
    }

    ~StreamSetup() {
        if (stream != nullptr) {
            aStream_Destroy(&stream);
        }
        Quorbital_libusb_exit();
    }
};

void BM_UsbStreamPacketRoundTrip(benchmark::State& state) {
    StreamSetup s;
    if (!s.start()) {
        state.SkipWithError("emulated USB unavailable");
        return;
    }
    const uint8_t packet[5] = {0x06, 0x03, 0x03, 0x49, 0x20};
    uint8_t in[5];
    for (auto _ : state) {
        aStream_Write(s.stream, packet, sizeof packet);
        aErr e = aErrNotReady;
        for (int i = 0; i < 3 && e == aErrNotReady; ++i) {
            e = aStream_Read(s.stream, in, sizeof in);
        }
        if (e != aErrNone) {
            state.SkipWithError("echo lost");
            break;
        }
    }
}
BENCHMARK(BM_UsbStreamPacketRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A 120-byte write: transfers of 50, 50 and 20 bytes.
void BM_UsbStreamWrite120(benchmark::State& state) {
    StreamSetup s;
    if (!s.start()) {
        state.SkipWithError("emulated USB unavailable");
        return;
    }
    s.peer.setEcho(false);
    uint8_t data[120] = {};
    for (auto _ : state) {
        aStream_Write(s.stream, data, sizeof data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 120);
}
BENCHMARK(BM_UsbStreamWrite120)->UseRealTime()->Unit(benchmark::kMicrosecond);

struct NodeSetup {
    EchoPeer peer{{0x5B000002, 0x010E}};
    std::string dir;
    std::unique_ptr<qbsim::pty::NodeRig> rig;
    int fd = -1;

    bool start() {
        char pattern[] = "/tmp/qbsim-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return false;
        }
        dir = pattern;
        rig = std::make_unique<qbsim::pty::NodeRig>(peer, qbsim::pty::NodeRig::Options{dir});
        fd = open(rig->linkPath().c_str(), O_RDWR | O_NOCTTY);
        return fd >= 0;
    }

    ~NodeSetup() {
        if (fd >= 0) {
            close(fd);
        }
        rig.reset();
        if (!dir.empty()) {
            rmdir(dir.c_str());
        }
    }
};

void BM_NodePacketRoundTrip(benchmark::State& state) {
    NodeSetup s;
    if (!s.start()) {
        state.SkipWithError("no pty");
        return;
    }
    const unsigned char packet[3] = {0x03, 0x49, 0x20};
    for (auto _ : state) {
        if (write(s.fd, packet, sizeof packet) != 3) {
            state.SkipWithError("write failed");
            break;
        }
        size_t got = 0;
        while (got < 3) {
            unsigned char b;
            ssize_t n = read(s.fd, &b, 1);
            if (n <= 0) {
                break;
            }
            ++got;
        }
        if (got != 3) {
            state.SkipWithError("echo lost");
            break;
        }
    }
}
BENCHMARK(BM_NodePacketRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_NodeIdleRead(benchmark::State& state) {
    NodeSetup s;
    if (!s.start()) {
        state.SkipWithError("no pty");
        return;
    }
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double c0 = processCpuSeconds();
        const auto t0 = Clock::now();
        for (int i = 0; i < 5; ++i) { // five empty reads of 100 ms
            unsigned char b;
            benchmark::DoNotOptimize(read(s.fd, &b, 1));
        }
        cpu += processCpuSeconds() - c0;
        wall += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    state.counters["cpu_share"] = wall > 0 ? cpu / wall : 0;
}
BENCHMARK(BM_NodeIdleRead)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);

} // namespace

int main(int argc, char** argv) {
    qbsim::usb::reexecWithPreload(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
