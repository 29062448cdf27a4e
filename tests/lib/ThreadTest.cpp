#include "../support/TestSupport.h"
#include "tarn/BaseThread.h"
#include "tarn/LockedObj.h"
#include "tarn/ThreadLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using tarn::BaseThread;
using tarn::LockedObj;
using tarn::ThreadLock;
using Clock = std::chrono::steady_clock;
namespace platform = tarn::platform;

namespace {

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using testsupport::eventually;  // polls for up to five seconds

}  // namespace

// ---- ThreadLock

TEST(ThreadLock, UnlockOfAFreeLockIsANoOp) {
    ThreadLock lock;
    EXPECT_FALSE(lock.isLocked());
    lock.unlock();
    lock.unlock();
    lock.lock();
    EXPECT_TRUE(lock.isLocked());
    EXPECT_TRUE(lock.isHeldByCurrentThread());
    lock.unlock();
    EXPECT_FALSE(lock.isLocked());
}

TEST(ThreadLock, ExcludesOtherThreads) {
    ThreadLock lock;
    long counter = 0;  // guarded by lock; TSan checks the claim
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<ThreadLock> guard(lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(80000, counter);
}

TEST(ThreadLock, UnlockByAnotherThreadDoesNotRelease) {
    ThreadLock lock;
    lock.lock();
    std::thread stranger([&] { lock.unlock(); });
    stranger.join();
    EXPECT_TRUE(lock.isHeldByCurrentThread());

    std::atomic<bool> entered{false};
    std::thread contender([&] {
        lock.lock();
        entered.store(true);
        lock.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered.load()) << "the stranger's unlock released the lock";
    lock.unlock();
    EXPECT_TRUE(eventually([&] { return entered.load(); }));
    contender.join();
}

TEST(ThreadLock, SecondLockByOwnerNeitherHangsNorKeepsItHeld) {
    ThreadLock lock;
    lock.lock();
    lock.lock();
    lock.unlock();
    EXPECT_FALSE(lock.isLocked());
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.lock();
        entered.store(true);
        lock.unlock();
    });
    EXPECT_TRUE(eventually([&] { return entered.load(); }));
    other.join();
}

TEST(ThreadLock, DestroyingAHeldLockReleasesIt) {
    auto lock = std::make_unique<ThreadLock>();
    lock->lock();
    lock.reset();  // the sanitizers would flag a held mutex being destroyed
    ThreadLock again;
    again.lock();
    again.unlock();
    SUCCEED();
}

// ---- LockedObj

TEST(LockedObj, GetReturnsWhatSetStored) {
    LockedObj<bool> flag;
    flag.set(true);
    EXPECT_TRUE(flag.get());
    LockedObj<unsigned long> id;
    id.set(0xFFFFFFFFul);
    EXPECT_EQ(0xFFFFFFFFul, id.get());
}

TEST(LockedObj, ConcurrentGetNeverSeesAHalfWrittenValue) {
    struct Pair {
        long a;
        long b;
    };
    LockedObj<Pair> value;
    value.set(Pair{0, 0});
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const Pair p = value.get();
            if (p.a != p.b) torn.fetch_add(1);
        }
    });
    for (long i = 1; i <= 50000; ++i) value.set(Pair{i, i});
    stop.store(true);
    reader.join();
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(50000, value.get().a);
}

// ---- BaseThread

namespace {

// Runs `body` on its thread; counts its runs.
class FnThread : public BaseThread {
public:
    explicit FnThread(int maxStarts, std::function<void(FnThread&)> body = {})
        : BaseThread(maxStarts), body_(std::move(body)) {}
    void run() override {
        runs.fetch_add(1);
        if (body_) body_(*this);
    }
    std::atomic<int> runs{0};

private:
    std::function<void(FnThread&)> body_;
};

}  // namespace

TEST(BaseThread, FreshObjectState) {
    FnThread t(1);
    EXPECT_EQ(0, t.getState());
    EXPECT_EQ(0, t.getStartCount());
    EXPECT_EQ(1, t.getMaxStarts());
    EXPECT_EQ(nullptr, t.getThreadHandle());
    EXPECT_EQ(0, t.join(0)) << "a join with no thread";
    EXPECT_EQ(0, t.join(platform::kInfinite));
}

TEST(BaseThread, WaitZeroConsumesOneWake) {
    FnThread t(1);
    EXPECT_EQ(3, t.wait(0));
    EXPECT_EQ(0, t.wake());
    EXPECT_EQ(0, t.wake());  // wake-ups do not accumulate
    EXPECT_EQ(0, t.wait(0));
    EXPECT_EQ(3, t.wait(0));
    const auto start = Clock::now();
    EXPECT_EQ(3, t.wait(40));
    EXPECT_GE(msSince(start), 40);
}

TEST(BaseThread, StartLimitIsEnforced) {
    FnThread t(1);
    EXPECT_EQ(0, t.start());
    EXPECT_EQ(1, t.getState());
    EXPECT_EQ(0, t.join(5000));
    t.setState(7);
    EXPECT_EQ(4, t.start());
    EXPECT_EQ(1, t.getState()) << "a refused start still sets the state";
    EXPECT_EQ(1, t.getStartCount());
    EXPECT_EQ(4, t.start());
    EXPECT_EQ(0, t.join(5000));
    EXPECT_EQ(1, t.runs.load()) << "a refused start created a thread";
}

TEST(BaseThread, ZeroStartsAllowedRefusesTheFirst) {
    FnThread t(0);
    EXPECT_EQ(4, t.start());
    EXPECT_EQ(0, t.getStartCount());
    EXPECT_EQ(nullptr, t.getThreadHandle());
}

TEST(BaseThread, JoinOfAnEndedThreadReturnsAtOnceAndRepeats) {
    FnThread t(1);
    ASSERT_EQ(0, t.start());
    ASSERT_TRUE(eventually([&] { return t.runs.load() == 1; }));
    EXPECT_EQ(0, t.join(5000));
    // Ended and reaped: later joins, even with no time at all, give 0.
    EXPECT_EQ(0, t.join(0));
    EXPECT_EQ(0, t.join(0));
    EXPECT_NE(0u, t.getOsThreadId());
}

TEST(BaseThread, JoinTimesOutWhileRunGoesOnThenSucceeds) {
    // run() waits for its wake event, as a worker does.
    FnThread t(1, [](FnThread& self) { self.wait(platform::kInfinite); });
    ASSERT_EQ(0, t.start());
    EXPECT_EQ(3, t.join(0));
    EXPECT_EQ(3, t.join(30));
    ASSERT_NE(nullptr, t.getThreadHandle());
    EXPECT_FALSE(t.getThreadHandle()->tryAcquire());
    t.wake();
    EXPECT_EQ(0, t.join(5000));
    platform::Waitable* const handle[] = {t.getThreadHandle()};
    EXPECT_EQ(platform::kWaitObject0, platform::waitAny(handle, 0)) << "the thread handle signals its end";
}

TEST(BaseThread, WakeBeforeStartIsKeptForTheFirstWait) {
    std::atomic<int> result{-1};
    FnThread t(1, [&](FnThread& self) { result.store(self.wait(5000)); });
    t.wake();
    ASSERT_EQ(0, t.start());
    EXPECT_EQ(0, t.join(10000));
    EXPECT_EQ(0, result.load());
}

TEST(BaseThread, WorkerServesEveryHandshakedWake) {
    std::atomic<bool> stop{false};
    std::atomic<int> served{0};
    FnThread t(1, [&](FnThread& self) {
        while (!stop.load()) {
            if (self.wait(5000) == 0) served.fetch_add(1);
        }
    });
    ASSERT_EQ(0, t.start());
    for (int i = 1; i <= 200; ++i) {
        t.wake();
        ASSERT_TRUE(eventually([&] { return served.load() >= i; })) << "wake " << i << " was lost";
    }
    stop.store(true);
    t.wake();
    EXPECT_EQ(0, t.join(10000));
}

TEST(BaseThread, RestartDetachesAStillRunningEarlierThread) {
    platform::Event release(true, false);
    std::atomic<int> finished{0};
    FnThread t(-1, [&](FnThread&) {
        release.wait(10000);
        finished.fetch_add(1);
    });
    ASSERT_EQ(0, t.start());
    platform::Waitable* first = t.getThreadHandle();
    ASSERT_NE(nullptr, first);
    // The first thread still runs; a second start must neither block nor
    // end the process.
    ASSERT_EQ(0, t.start());
    EXPECT_NE(first, t.getThreadHandle());
    EXPECT_EQ(2, t.getStartCount());
    EXPECT_EQ(3, t.join(0));
    release.set();
    EXPECT_EQ(0, t.join(10000));
    // The detached first thread ends on its own.
    EXPECT_TRUE(eventually([&] { return finished.load() == 2; }));
    EXPECT_EQ(2, t.runs.load());
}

TEST(BaseThread, RestartAfterTheEarlierThreadEnded) {
    FnThread t(3);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(0, t.start());
        ASSERT_EQ(0, t.join(10000));
        EXPECT_EQ(i, t.runs.load());
    }
    EXPECT_EQ(4, t.start());
    EXPECT_EQ(3, t.getStartCount());
}

TEST(BaseThread, DestroyedRightAfterItsThreadEnds) {
    // No stop and no join: the object goes while its thread may be finishing.
    for (int i = 0; i < 100; ++i) {
        auto t = std::make_unique<FnThread>(1);
        ASSERT_EQ(0, t->start());
        platform::Waitable* ended = t->getThreadHandle();
        ASSERT_NE(nullptr, ended);
        ASSERT_TRUE(eventually([&] { return ended->tryAcquire(); }));
        t.reset();
    }
}

TEST(BaseThread, StartUnderTheObjectsLockKeepsItHeld) {
    FnThread t(1);
    t.lock();
    EXPECT_EQ(0, t.start());
    t.setState(5);
    EXPECT_EQ(5, t.getState());
    std::atomic<bool> entered{false};
    std::thread other([&] {
        t.lock();
        entered.store(true);
        t.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered.load()) << "start() or setState() released the caller's lock";
    t.unlock();
    EXPECT_TRUE(eventually([&] { return entered.load(); }));
    other.join();
    EXPECT_EQ(0, t.join(5000));
}

TEST(BaseThread, SubclassLockGuardsSharedState) {
    long shared = 0;  // guarded by the thread object's lock
    FnThread t(1, [&](FnThread& self) {
        for (int i = 0; i < 20000; ++i) {
            self.lock();
            ++shared;
            self.unlock();
        }
    });
    ASSERT_EQ(0, t.start());
    for (int i = 0; i < 20000; ++i) {
        t.lock();
        ++shared;
        t.unlock();
    }
    ASSERT_EQ(0, t.join(10000));
    EXPECT_EQ(40000, shared);
}
