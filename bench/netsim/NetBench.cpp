// What the network rig costs: making the namespaces, a discovery round trip,
// a packet's round trip over TCP to the module model, and the CPU time an
// idle module with heartbeats takes. Run as root.
#include "ModelModules.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

bool sRoot(benchmark::State& state) {
    if (!qbsim::netns::available()) {
        state.SkipWithError("needs root");
        return false;
    }
    return true;
}

sockaddr_in sEndpoint(const char* address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

bool sReceive(int fd, uint8_t* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 2000) <= 0) {
            return false;
        }
        const ssize_t n = recv(fd, buffer + got, length - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void BM_PairSetUp(benchmark::State& state) {
    if (!sRoot(state)) {
        return;
    }
    for (auto _ : state) {
        qbsim::netns::Pair pair;
        benchmark::DoNotOptimize(pair.host().fd());
    }
}
BENCHMARK(BM_PairSetUp)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DiscoveryRoundTrip(benchmark::State& state) {
    if (!sRoot(state)) {
        return;
    }
    auto rig = qbsim::net::modelRig("serial=40F5849A model=14");
    qbsim::netns::Enter inHost(rig.host());
    const int on = 1;
    const int in = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(in, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in any = sEndpoint("0.0.0.0", 9889);
    bind(in, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in via = sEndpoint("192.0.2.10", 0);
    setsockopt(out, IPPROTO_IP, IP_MULTICAST_IF, &via.sin_addr, sizeof via.sin_addr);
    const sockaddr_in group = sEndpoint("232.2.2.2", 9888);
    const uint8_t request[16] = {1};
    for (auto _ : state) {
        sendto(out, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&group),
               sizeof group);
        uint8_t reply[16];
        if (!sReceive(in, reply, sizeof reply)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    close(in);
    close(out);
}
BENCHMARK(BM_DiscoveryRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// getSerialNumber on module 6 and its reply, over TCP.
void BM_PacketRoundTrip(benchmark::State& state) {
    if (!sRoot(state)) {
        return;
    }
    auto rig = qbsim::net::modelRig("serial=40F5849A model=14 address=6");
    qbsim::netns::Enter inHost(rig.host());
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in module = sEndpoint("192.0.2.20", 9000);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&module), sizeof module) != 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const uint8_t request[] = {0x06, 0x03, 0x03, 0x49, 0x20};
    for (auto _ : state) {
        send(fd, request, sizeof request, 0);
        uint8_t reply[9];
        if (!sReceive(fd, reply, sizeof reply)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_PacketRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A connected host that says nothing to a module sending a heartbeat every
// 100 ms: the CPU time the whole process takes per second of wall time.
void BM_IdleModuleCpu(benchmark::State& state) {
    if (!sRoot(state)) {
        return;
    }
    auto rig = qbsim::net::modelRig("serial=40F5849A model=14 heartbeat=100");
    qbsim::netns::Enter inHost(rig.host());
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in module = sEndpoint("192.0.2.20", 9000);
    connect(fd, reinterpret_cast<const sockaddr*>(&module), sizeof module);
    const uint8_t query[] = {0xAD, 0x00}; // a host talks to it: heartbeats start
    send(fd, query, sizeof query, 0);
    double cpuPerSecond = 0;
    for (auto _ : state) {
        timespec cpu0, cpu1;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
        cpuPerSecond = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                       static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
        uint8_t drain[256];
        while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
    }
    state.counters["cpu_ms_per_s"] = cpuPerSecond * 1000;
    close(fd);
}
BENCHMARK(BM_IdleModuleCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
