// Loading a BIRD file whose firmware image inflates to 4 MiB: time, and
// peak memory against the inflated size. Goals: under 50 ms, under 3 times.
//
//   cmake -S . -B build/bench -DQB_BUILD_BENCH=ON && cmake --build build/bench -j2
//   build/bench/bench/bird/bench_bird_load
//
// Two images: "image" is a whole firmware image (code, text, data, erased
// flash up to sector boundaries; zlib packs it about 3.5:1), "code" is
// dense machine code alone (about 2.2:1). Loading reads the file into one
// allocation and inflates it into a second one of 8 times the file's
// payload, the most the format allows; so the heap peak is about 9 times the
// compressed size, and below 3 times the inflated size only for images that
// pack better than 3:1. An image that packs better than 8:1 does not load at
// all: a 4 MiB image must compress to at least 512 KiB.
//
// Memory is measured two ways:
//  - peak_heap: malloc, calloc, realloc, free and the aligned allocators are
//    replaced in this program (glibc's own allocator underneath) and count
//    the live bytes and their high-water mark, zlib's allocations and
//    operator new included. The peak of one load is the high-water mark
//    during the load minus the live bytes before it.
//  - rss_growth: a forked child returns its free heap to the system, resets
//    its peak resident set to what it holds (/proc/self/clear_refs), loads
//    the file once and reports the growth of that peak (VmHWM): the memory
//    actually touched, which leaves out the part of the inflate buffer that
//    is allocated but never written.
#include "BirdFile.h"
#include "BirdWriter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#ifdef QB_HEAP_COUNTING
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<size_t> sLive{0};
std::atomic<size_t> sPeak{0};

void* sCounted(void* pointer) {
    if (pointer != nullptr) {
        size_t now = sLive.fetch_add(malloc_usable_size(pointer)) + malloc_usable_size(pointer);
        size_t peak = sPeak.load();
        while (now > peak && !sPeak.compare_exchange_weak(peak, now)) {
        }
    }
    return pointer;
}

void sReleased(void* pointer) {
    if (pointer != nullptr) {
        sLive.fetch_sub(malloc_usable_size(pointer));
    }
}
} // namespace

extern "C" {
void* malloc(size_t size) noexcept {
    return sCounted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) noexcept {
    return sCounted(__libc_calloc(count, size));
}
void* realloc(void* pointer, size_t size) noexcept {
    sReleased(pointer);
    return sCounted(__libc_realloc(pointer, size));
}
void free(void* pointer) noexcept {
    sReleased(pointer);
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) noexcept {
    return sCounted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
    return sCounted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    void* pointer = sCounted(__libc_memalign(alignment, size));
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *out = pointer;
    return 0;
}
void* valloc(size_t size) noexcept {
    return sCounted(__libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size));
}
}
#endif

namespace {

namespace bird = qbsim::bird;

constexpr size_t INFLATED_IMAGE = 4 * 1024 * 1024;

struct Fixture {
    std::string path;
    size_t fileBytes = 0;
    size_t inflatedBytes = 0;
};

const Fixture& fixture(bird::Fill fill, const char* name) {
    static Fixture fixtures[2];
    Fixture& f = fixtures[fill == bird::Fill::Image ? 0 : 1];
    if (f.path.empty()) {
        bird::Description d;
        d.Info("12345", "1.4.2", "00000000", "QB-ROUTER")
            .Loader(0x20000000, bird::Generate(bird::Fill::Code, 32 * 1024, 1))
            .SerialOffsets(0x1010, 0x1040)
            .Firmware(0x00000000, bird::Generate(fill, INFLATED_IMAGE, 2024));
        std::vector<uint8_t> bytes = bird::BuildFile(d);
        f.path =
            std::string(P_tmpdir) + "/bench-" + name + "-" + std::to_string(getpid()) + ".bird";
        bird::WriteBytes(f.path, bytes);
        f.fileBytes = bytes.size();
        f.inflatedBytes = bird::BuildStream(d).size();
    }
    return f;
}

void removeFixtures() {
    for (const char* name : {"image", "code"}) {
        std::string path =
            std::string(P_tmpdir) + "/bench-" + name + "-" + std::to_string(getpid()) + ".bird";
        unlink(path.c_str());
    }
}

// The peak resident set of this process in bytes (VmHWM), or -1.
long peakResident() {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
            break;
        }
    }
    fclose(status);
    return kib < 0 ? -1 : kib * 1024;
}

// Growth of the peak resident set while a child loads the file once. The
// child inherits its parent's high-water mark, so it first gives its free
// heap back and resets the mark to what it holds (clear_refs 5).
long rssGrowth(const std::string& path) {
    int pipefd[2];
    if (pipe(pipefd) != 0) {
        return -1;
    }
    pid_t child = fork();
    if (child == 0) {
        close(pipefd[0]);
        malloc_trim(0);
        long growth = -1;
        FILE* clear = fopen("/proc/self/clear_refs", "w");
        if (clear != nullptr && fputs("5", clear) >= 0 && fclose(clear) == 0) {
            long before = peakResident();
            try {
                BirdFile file(path);
                long after = peakResident();
                if (before >= 0 && after >= 0) {
                    growth = after - before;
                }
            } catch (const std::exception&) {
            }
        }
        ssize_t ignored = write(pipefd[1], &growth, sizeof growth);
        (void)ignored;
        _exit(0);
    }
    close(pipefd[1]);
    long growth = -1;
    if (read(pipefd[0], &growth, sizeof growth) != static_cast<ssize_t>(sizeof growth)) {
        growth = -1;
    }
    close(pipefd[0]);
    waitpid(child, nullptr, 0);
    return growth;
}

void loadBird(benchmark::State& state, bird::Fill fill, const char* name) {
    const Fixture& f = fixture(fill, name);
    size_t worst = 0;
    for (auto _ : state) {
#ifdef QB_HEAP_COUNTING
        size_t before = sLive.load();
        sPeak.store(before);
#endif
        BirdFile file(f.path);
        benchmark::DoNotOptimize(file.GetData());
        if (file.GetDataSize() != f.inflatedBytes || file.GetBlocks().size() != 4) {
            state.SkipWithError("the file did not load whole");
            break;
        }
#ifdef QB_HEAP_COUNTING
        worst = std::max(worst, sPeak.load() - before);
#endif
    }
    double inflated = static_cast<double>(f.inflatedBytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.inflatedBytes));
    state.counters["file_bytes"] = static_cast<double>(f.fileBytes);
    state.counters["inflated_bytes"] = inflated;
    state.counters["pack_ratio"] = inflated / static_cast<double>(f.fileBytes);
#ifdef QB_HEAP_COUNTING
    state.counters["peak_heap_bytes"] = static_cast<double>(worst);
    state.counters["peak_heap_x"] = static_cast<double>(worst) / inflated;
#endif
    long rss = rssGrowth(f.path);
    state.counters["rss_growth_bytes"] = static_cast<double>(rss);
    state.counters["rss_growth_x"] = static_cast<double>(rss) / inflated;
}

void BM_LoadBird_Image(benchmark::State& state) {
    loadBird(state, bird::Fill::Image, "image");
}
void BM_LoadBird_Code(benchmark::State& state) {
    loadBird(state, bird::Fill::Code, "code");
}

BENCHMARK(BM_LoadBird_Image)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LoadBird_Code)->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    removeFixtures();
    return 0;
}
