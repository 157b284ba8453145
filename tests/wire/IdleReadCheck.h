// What a stream a link reads from must do when nothing comes: each get-byte
// sleeps for about its wait before answering aErrNotReady, so a reader going
// straight back does not spin, and a byte that arrives meanwhile is
// delivered at once.
#ifndef QB_TESTS_WIRE_IDLE_READ_CHECK_H
#define QB_TESTS_WIRE_IDLE_READ_CHECK_H

#include "aError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace qbtest {

// get reads one byte from the stream; send puts `expected` on the far side.
template <typename Get, typename Send>
void ExpectIdleReadsSleep(Get get, Send send, int waitMs, uint8_t expected) {
    using Clock = std::chrono::steady_clock;
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(get(&byte), aErrNotReady);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(waitMs - 2));

    std::atomic<int> idleAnswers{0};
    std::thread reader([&] {
        aErr err;
        while ((err = get(&byte)) == aErrNotReady) {
            idleAnswers++;
        }
        EXPECT_EQ(err, aErrNone);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send();
    reader.join();
    EXPECT_EQ(byte, expected);
    // About 200 / waitMs answers, not a spinning loop's thousands.
    EXPECT_LE(idleAnswers.load(), 200 / waitMs + 3);
}

} // namespace qbtest

#endif
