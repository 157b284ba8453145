// Packet FIFOs and idle stream reads.
//
//   FifoPutAwaitRoundTrip     one packet to an echo thread and back through two FIFOs
//   AwaitFirstBehind900       AwaitFirst finding its packet behind 900 it declines
//   IdleSocketReadCpu         CPU time of a thread reading an idle socket stream for 5 s
//   IdleSerialLinkReadCpu     the same for a serial link's waiting port (a pseudo-terminal)
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <time.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

aPacket* makePacket(uint8_t command) {
    const uint8_t data[3] = {command, 0x49, 0x20};
    return aPacket_CreateWithData(6, 3, data);
}

int commandFilter(const aPacket* p, void* reference) {
    return p->data[0] == *static_cast<uint8_t*>(reference);
}

void FifoPutAwaitRoundTrip(benchmark::State& state) {
    uint64_t request = aPacketFifo_Create();
    uint64_t reply = aPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        while (!stop) {
            aPacket* p = aPacketFifo_Await(request, 1000);
            if (p != nullptr) {
                aPacketFifo_Put(reply, p);
                aPacket_Destroy(&p);
            }
        }
    });
    aPacket* packet = makePacket(3);
    for (auto _ : state) {
        aPacketFifo_Put(request, packet);
        aPacket* back = aPacketFifo_Await(reply, 1000);
        if (back == nullptr) {
            state.SkipWithError("no echo");
            break;
        }
        aPacket_Destroy(&back);
    }
    stop = true;
    uint64_t id = request;
    aPacketFifo_Destroy(&id); // wakes the echo thread
    echo.join();
    aPacketFifo_Destroy(&reply);
    aPacket_Destroy(&packet);
}
BENCHMARK(FifoPutAwaitRoundTrip)->UseRealTime();

void AwaitFirstBehind900(benchmark::State& state) {
    uint64_t fifo = aPacketFifo_Create();
    aPacket* other = makePacket(1);
    for (int i = 0; i < 900; i++) {
        aPacketFifo_Put(fifo, other);
    }
    aPacket* wanted = makePacket(3);
    uint8_t command = 3;
    for (auto _ : state) {
        aPacketFifo_Put(fifo, wanted);
        aPacket* p = aPacketFifo_AwaitFirst(fifo, commandFilter, &command, 1000);
        if (p == nullptr) {
            state.SkipWithError("not found");
            break;
        }
        aPacket_Destroy(&p);
    }
    state.counters["queued"] = static_cast<double>(aPacketFifo_GetLength(fifo));
    aPacketFifo_Destroy(&fifo);
    aPacket_Destroy(&other);
    aPacket_Destroy(&wanted);
}
BENCHMARK(AwaitFirstBehind900);

// The calling thread's CPU time: as getrusage counts it (in scheduler ticks),
// and exactly (the thread's CPU clock).
double threadRusageSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadClockSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// A reader thread like the link engine's: get-byte, and straight back on
// aErrNotReady, for 5 seconds with nothing arriving.
void measureIdleReader(benchmark::State& state, aStream* stream) {
    for (auto _ : state) {
        double cpu = 0;
        double rusageCpu = 0;
        long calls = 0;
        std::thread reader([&] {
            double start = threadClockSeconds();
            double rusageStart = threadRusageSeconds();
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            uint8_t byte;
            while (std::chrono::steady_clock::now() < until) {
                aStream_Read(stream, &byte, 1);
                calls++;
            }
            cpu = threadClockSeconds() - start;
            rusageCpu = threadRusageSeconds() - rusageStart;
        });
        reader.join();
        state.counters["cpu_ms"] = cpu * 1000;
        state.counters["cpu_percent_of_core"] = cpu / 5.0 * 100;
        state.counters["rusage_cpu_ms"] = rusageCpu * 1000;
        state.counters["reads_per_s"] = calls / 5.0;
    }
}

void IdleSocketReadCpu(benchmark::State& state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    aStream* stream = nullptr;
    if (aStream_CreateSocket(address.sin_addr.s_addr, ntohs(address.sin_port), &stream) !=
        aErrNone) {
        state.SkipWithError("no loopback connection");
        close(listener);
        return;
    }
    int peer = accept(listener, nullptr, nullptr);
    measureIdleReader(state, stream);
    aStream_Destroy(&stream);
    close(peer);
    close(listener);
}
BENCHMARK(IdleSocketReadCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdleSerialLinkReadCpu(benchmark::State& state) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    const char* path = ptsname(master);
    int slave = open(path, O_RDWR | O_NOCTTY);
    aStream* stream = nullptr;
    if (aStream_CreateSerialWaiting(path, 7, 0, 0, 0, aSERIAL_LINK_READ_WAIT_MS, &stream) !=
        aErrNone) {
        state.SkipWithError("cannot open the pseudo-terminal as a port");
    } else {
        measureIdleReader(state, stream);
        aStream_Destroy(&stream);
    }
    close(slave);
    close(master);
}
BENCHMARK(IdleSerialLinkReadCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
