#include "tarn/platform/WakeCount.h"
#include "tarn/platform/Waitable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace tarn::platform;
using Clock = std::chrono::steady_clock;

TEST(WakeCount, SleepsOnlyWhileTheCountIsTheOneSeen) {
    WakeCount w;
    const uint32_t seen = w.count();
    EXPECT_FALSE(w.bump()) << "no one sleeps: nothing to wake";
    EXPECT_EQ(seen + 1, w.count());
    const auto t0 = Clock::now();
    w.sleepWhile(seen, kInfinite);  // the count moved: returns at once
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));

    const auto t1 = Clock::now();
    w.sleepWhile(w.count(), 50);  // nothing bumps: the time-out ends it
    const auto slept = Clock::now() - t1;
    EXPECT_GE(slept, std::chrono::milliseconds(45));
    EXPECT_LT(slept, std::chrono::seconds(5));
    EXPECT_FALSE(w.bump()) << "the sleeper's mark goes with its sleep";
}

TEST(WakeCount, EveryBumpFromRacingThreadsEndsTheSleepItInterrupts) {
    // Two threads bump at shifting moments while one sleeps on each count it
    // sees. A sleep that lasts its whole time-out although the count moved
    // is a lost wake-up; a late wake meant for an earlier sleep must not use
    // up the mark of a later one.
    WakeCount w;
    constexpr int kPerBumper = 10000;
    constexpr uint32_t kLimitMs = 2000;
    std::atomic<bool> done{false};
    int lost = 0;
    int sleeps = 0;
    std::thread sleeper([&] {
        uint32_t seen = w.count();
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (!done.load() && Clock::now() < deadline) {
            const auto t0 = Clock::now();
            w.sleepWhile(seen, kLimitMs);
            const uint32_t now = w.count();
            if (now != seen && Clock::now() - t0 >= std::chrono::milliseconds(kLimitMs)) ++lost;
            seen = now;
            ++sleeps;
        }
    });
    auto bumper = [&](int salt) {
        for (int i = 0; i < kPerBumper; ++i) {
            w.bump();
            // Mostly short gaps, now and then one long enough for the
            // sleeper to be in the futex when the next bump comes.
            const auto gap = std::chrono::microseconds((i + salt) % 16 == 0 ? 5 + (i % 7) * 10 : (i + salt) % 3);
            const auto until = Clock::now() + gap;
            while (Clock::now() < until) {
            }
        }
    };
    std::thread a(bumper, 0);
    std::thread b(bumper, 31);
    a.join();
    b.join();
    done = true;
    w.bump();
    sleeper.join();
    EXPECT_EQ(0, lost);
    EXPECT_GT(sleeps, 0);
    EXPECT_EQ(static_cast<uint32_t>(2 * kPerBumper + 1), w.count());
}
