// The platform helpers: mutexes with their error answers, threads, time.
#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(Mutex, NamesUpTo255Characters) {
    struct Case {
        const char* what;
        std::string name;
        bool made;
    };
    const Case cases[] = {
        {"none", "", true},
        {"ordinary", "aLink_Managed", true},
        {"255 characters", std::string(255, 'n'), true},
        {"256 characters", std::string(256, 'n'), false},
    };
    for (const Case& c : cases) {
        aMutex* mutex = aMutex_Create(c.name.c_str());
        EXPECT_EQ(mutex != nullptr, c.made) << c.what;
        if (mutex != nullptr) {
            EXPECT_EQ(aMutex_GetName(mutex), c.name) << c.what;
            EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
            EXPECT_EQ(mutex, nullptr);
        }
    }
    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_GetName(unnamed), "");
    aMutex_Destroy(&unnamed);
}

TEST(Mutex, ErrorAnswers) {
    aMutex* mutex = aMutex_Create("m");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission); // not held by anyone
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate); // the holder again
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy); // held: kept
    ASSERT_NE(mutex, nullptr);

    std::atomic<int> tryOther{-1}, unlockOther{-1};
    std::thread other([&] {
        tryOther = aMutex_TryLock(mutex);
        unlockOther = aMutex_Unlock(mutex);
    });
    other.join();
    EXPECT_EQ(tryOther, aErrBusy);
    EXPECT_EQ(unlockOther, aErrPermission);

    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);

    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(Mutex, ExcludesOtherThreads) {
    aMutex* mutex = aMutex_Create("counter");
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; i++) {
                aMutex_Lock(mutex);
                counter++;
                aMutex_Unlock(mutex);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 40000);
    aMutex_Destroy(&mutex);
}

void* record(void* argument) {
    static_cast<std::atomic<int>*>(argument)->store(42);
    return nullptr;
}

TEST(Thread, RunsJoinsAndClears) {
    std::atomic<int> seen{0};
    aThread* thread = aThread_Create(record, &seen);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(seen, 42);
    EXPECT_NE(aThread_Destroy(&thread), 0); // nothing left to join
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

TEST(Time, TicksFollowTheWallClockAndSleepsLast) {
    uint64_t wall = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    uint64_t ticks = aTime_GetMSTicks();
    EXPECT_LE(wall > ticks ? wall - ticks : ticks - wall, 1000u);

    auto start = Clock::now();
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_LT(Clock::now() - start, 50ms);

    start = Clock::now();
    EXPECT_EQ(aTime_MSSleep(1200), aErrNone); // more than one slice
    auto slept = Clock::now() - start;
    EXPECT_GE(slept, 1200ms);
    EXPECT_LT(slept, 3000ms);
}

} // namespace
