#include "SparseMemory.h"

#include <gtest/gtest.h>

#include <numeric>

using qbsim::SparseMemory;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes run(uint8_t from, size_t length) {
    Bytes bytes(length);
    std::iota(bytes.begin(), bytes.end(), from);
    return bytes;
}

} // namespace

TEST(SparseMemory, WritesMergeIntoRuns) {
    struct Write {
        uint32_t address;
        Bytes bytes;
    };
    struct Case {
        const char* what;
        std::vector<Write> writes;
        std::vector<std::pair<uint32_t, size_t>> runs; // start, length
    };
    const Case cases[] = {
        {"apart", {{0, run(0, 4)}, {10, run(0, 4)}}, {{0, 4}, {10, 4}}},
        {"touching after", {{0, run(0, 4)}, {4, run(0, 4)}}, {{0, 8}}},
        {"touching before", {{4, run(0, 4)}, {0, run(0, 4)}}, {{0, 8}}},
        {"overlapping", {{0, run(0, 6)}, {4, run(0, 6)}}, {{0, 10}}},
        {"inside", {{0, run(0, 10)}, {2, run(0, 2)}}, {{0, 10}}},
        {"bridging two", {{0, run(0, 4)}, {8, run(0, 4)}, {3, run(0, 6)}}, {{0, 12}}},
        {"covering several", {{2, run(0, 1)}, {5, run(0, 1)}, {0, run(0, 10)}}, {{0, 10}}},
        {"at the top", {{0xFFFFFFFE, run(0, 4)}}, {{0xFFFFFFFE, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SparseMemory memory;
        for (const Write& w : c.writes) {
            memory.write(w.address, w.bytes);
        }
        std::vector<std::pair<uint32_t, size_t>> runs;
        for (const auto& [start, bytes] : memory.runs()) {
            runs.emplace_back(start, bytes.size());
        }
        EXPECT_EQ(runs, c.runs);
    }
}

TEST(SparseMemory, ReadsOnlyWhatWasWritten) {
    SparseMemory memory;
    memory.write(100, run(0, 10));
    memory.write(104, Bytes{0xAA, 0xBB});
    EXPECT_EQ(memory.read(100, 10), (Bytes{0, 1, 2, 3, 0xAA, 0xBB, 6, 7, 8, 9}));
    EXPECT_EQ(memory.read(108, 2), (Bytes{8, 9}));
    EXPECT_FALSE(memory.read(99, 2));
    EXPECT_FALSE(memory.read(109, 2));
    EXPECT_FALSE(memory.read(200, 1));
    EXPECT_TRUE(memory.contains(109));
    EXPECT_FALSE(memory.contains(110));
    EXPECT_EQ(memory.size(), 10u);
    memory.write(0, run(0, 1));
    EXPECT_EQ(memory.size(), 11u);
}
