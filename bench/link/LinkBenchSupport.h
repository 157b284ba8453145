// Shared by the link benchmarks: CPU time of the threads a link brought up,
// and the request the benchmarks exchange with the module model.
#ifndef QB_BENCH_LINK_SUPPORT_H
#define QB_BENCH_LINK_SUPPORT_H

#include "aLink.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <thread>
#include <string>
#include <vector>

namespace qbbench {

// The module the benchmarks talk to; heartbeats off, so that an idle link
// carries nothing at all.
inline constexpr uint32_t kSerial = 0x40F5849A;
inline constexpr const char* kModel = "serial=40F5849A model=14 address=2 version=2.15.3";

// System get of the serial number, and its reply.
inline constexpr uint8_t kRequest[] = {0x02, 0x03, 0x03, 0x49, 0x20};
inline constexpr size_t kReplySize = 9; // 02 07 03 09 00 + four bytes

// Ids of this process's threads.
std::set<int> threadIds();

// CPU time, in seconds, of the given threads (threads gone count 0).
double threadsCpuSeconds(const std::set<int>& threads);
// CPU time of the whole process, in seconds.
double processCpuSeconds();

// One request through the link and its reply; false when none came.
bool engineExchange(int32_t id);

// Wall time per iteration, in seconds.
double perIteration(std::chrono::steady_clock::duration wall, benchmark::IterationCount n);

// The benchmark loop of engine exchanges on a link brought up by the caller;
// the wall time per exchange, in seconds. A link id of 0 or a missing reply
// ends the benchmark with an error.
double engineRequestReply(benchmark::State& state, int32_t id);

// What an idle link cost over a period.
struct IdleCost {
    double linkShare = 0;    // the link's threads (and its transport's)
    double processShare = 0; // the whole process, rigs included
    size_t threads = 0;      // how many threads the link brought up
};

// Brings a link up with create() and watches it idle for `period`; then
// destroys it. linkShare is CPU time over wall time of the threads that
// appeared while the link was made.
template <typename Create>
IdleCost idleCost(Create create, std::chrono::seconds period, int32_t* idOut = nullptr);

double share(double cpu, std::chrono::steady_clock::duration wall);

// The benchmark body of an idle-link measurement: one link brought up with
// create() and watched for 10 s, its shares reported as counters.
template <typename Create>
void idleLinkCpu(benchmark::State& state, Create create);

template <typename Create>
IdleCost idleCost(Create create, std::chrono::seconds period, int32_t* idOut) {
    IdleCost cost;
    std::set<int> before = threadIds();
    int32_t id = create();
    if (idOut != nullptr) {
        *idOut = id;
    }
    if (id == 0) {
        return cost;
    }
    std::set<int> linkThreads;
    for (int tid : threadIds()) {
        if (before.count(tid) == 0) {
            linkThreads.insert(tid);
        }
    }
    cost.threads = linkThreads.size();
    const double link0 = threadsCpuSeconds(linkThreads);
    const double process0 = processCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(period);
    const auto wall = std::chrono::steady_clock::now() - t0;
    cost.linkShare = share(threadsCpuSeconds(linkThreads) - link0, wall);
    cost.processShare = share(processCpuSeconds() - process0, wall);
    aLink_Destroy(&id);
    return cost;
}

template <typename Create>
void idleLinkCpu(benchmark::State& state, Create create) {
    for (auto _ : state) {
        int32_t id = 0;
        IdleCost cost = idleCost(create, std::chrono::seconds(10), &id);
        if (id == 0) {
            state.SkipWithError("no link");
            return;
        }
        state.counters["link_cpu_%"] = 100 * cost.linkShare;
        state.counters["process_cpu_%"] = 100 * cost.processShare;
        state.counters["link_threads"] = static_cast<double>(cost.threads);
    }
}

} // namespace qbbench

#endif
