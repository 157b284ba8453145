#include "LinkBenchSupport.h"

#include <dirent.h>
#include <fstream>
#include <sys/resource.h>

namespace qbbench {

std::set<int> threadIds() {
    std::set<int> ids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return ids;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ids.insert(std::stoi(entry->d_name));
        }
    }
    closedir(dir);
    return ids;
}

double threadsCpuSeconds(const std::set<int>& threads) {
    double seconds = 0;
    for (int tid : threads) {
        // First field: nanoseconds spent on a processor.
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) {
            seconds += static_cast<double>(ns) / 1e9;
        }
    }
    return seconds;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double share(double cpu, std::chrono::steady_clock::duration wall) {
    double seconds = std::chrono::duration<double>(wall).count();
    return seconds > 0 ? cpu / seconds : 0;
}

namespace {

int isReply(const aPacket* p, void*) {
    return p->address == 2 && p->length == kReplySize - 2 && p->data[0] == 3 && p->data[1] == 9;
}

} // namespace

bool engineExchange(int32_t id) {
    aPacket* request = aPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
    aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(id, isReply, nullptr, 2000);
    bool got = reply != nullptr;
    aPacket_Destroy(&reply);
    return got;
}

double perIteration(std::chrono::steady_clock::duration wall, benchmark::IterationCount n) {
    return n > 0 ? std::chrono::duration<double>(wall).count() / static_cast<double>(n) : 0;
}

double engineRequestReply(benchmark::State& state, int32_t id) {
    if (id == 0) {
        state.SkipWithError("no link");
        return 0;
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!engineExchange(id)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    return perIteration(std::chrono::steady_clock::now() - t0, state.iterations());
}

} // namespace qbbench
