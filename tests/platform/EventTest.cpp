#include "tarn/platform/Event.h"
#include "tarn/platform/Waitable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <chrono>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tarn::platform;
using Clock = std::chrono::steady_clock;

namespace {

// Whether the descriptor polls readable right now. A descriptor left readable
// on an unsignalled event would make every wait spin.
bool readable(const Event& e) {
    pollfd p{e.pollFd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(Event, AutoResetConsumesOneSignalAndSetsCoalesce) {
    Event e;
    EXPECT_FALSE(e.isManualReset());
    EXPECT_EQ(kWaitTimeout, e.wait(0));
    e.set();
    e.set();
    e.set();
    EXPECT_EQ(kWaitObject0, e.wait(0));
    EXPECT_EQ(kWaitTimeout, e.wait(0));
    EXPECT_FALSE(readable(e));
    // The short-cut flag must not outlive the signal: the next set counts.
    e.set();
    EXPECT_TRUE(readable(e));
    EXPECT_EQ(kWaitObject0, e.wait(0));
    EXPECT_EQ(kWaitTimeout, e.wait(0));
}

TEST(Event, InitialStateIsHonoured) {
    Event autoOn(false, true);
    EXPECT_EQ(kWaitObject0, autoOn.wait(0));
    EXPECT_EQ(kWaitTimeout, autoOn.wait(0));
    autoOn.set();
    EXPECT_EQ(kWaitObject0, autoOn.wait(0));

    Event manualOn(true, true);
    EXPECT_TRUE(manualOn.isManualReset());
    EXPECT_EQ(kWaitObject0, manualOn.wait(0));
    EXPECT_EQ(kWaitObject0, manualOn.wait(0));

    Event manualOff(true, false);
    EXPECT_EQ(kWaitTimeout, manualOff.wait(0));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    Event e(true, false);
    e.set();
    e.set();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kWaitObject0, e.wait(0));
    e.reset();
    EXPECT_EQ(kWaitTimeout, e.wait(0));
    EXPECT_FALSE(readable(e));
    e.reset();  // resetting an unsignalled event changes nothing
    EXPECT_EQ(kWaitTimeout, e.wait(0));
    e.set();
    EXPECT_EQ(kWaitObject0, e.wait(0));
}

TEST(Event, ResetOfAutoResetDropsPendingSignal) {
    Event e(false, true);
    e.reset();
    EXPECT_EQ(kWaitTimeout, e.wait(0));
    EXPECT_FALSE(readable(e));
    e.set();
    EXPECT_EQ(kWaitObject0, e.wait(0));
}

TEST(Event, TimedWaitLastsAtLeastItsTime) {
    Event e;
    const auto start = Clock::now();
    EXPECT_EQ(kWaitTimeout, e.wait(60));
    EXPECT_GE(msSince(start), 60);
}

TEST(Event, SetFromAnotherThreadWakesAnUnlimitedWait) {
    Event e;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        e.set();
    });
    // Bounded by the setter: it always sets.
    EXPECT_EQ(kWaitObject0, e.wait(kInfinite));
    setter.join();
    EXPECT_EQ(kWaitTimeout, e.wait(0));
}

TEST(Event, CreationFailureThrowsInsteadOfSignalling) {
    // UBSan checks a dynamic type the first time it meets it with the help of
    // a descriptor of its own: let it meet both types before none are left.
    { Event warm; }
    try {
        throw std::system_error(EMFILE, std::system_category(), "warm-up");
    } catch (const std::system_error&) {
    }
    rlimit old{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &old));
    // Use up the descriptors under a small limit, then try.
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> held;
    for (int i = 0; i < 128; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        held.push_back(fd);
    }
    bool threw = false;
    try {
        Event e;
        e.set();
    } catch (const std::system_error& err) {
        threw = true;
        EXPECT_EQ(EMFILE, err.code().value());
    }
    for (int fd : held) ::close(fd);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &old));
    EXPECT_TRUE(threw);
}

TEST(WaitAny, ReturnsLowestSignalledAndAcquiresOnlyIt) {
    Event a, b, c;
    Waitable* const all[] = {&a, &b, &c};
    c.set();
    b.set();
    EXPECT_EQ(kWaitObject0 + 1, waitAny(all, 0));
    EXPECT_EQ(kWaitObject0 + 2, waitAny(all, 0));  // c was left alone
    EXPECT_EQ(kWaitTimeout, waitAny(all, 0));
}

TEST(WaitAny, ManualResetEntryIsNotConsumed) {
    Event manual(true, false), later;
    Waitable* const all[] = {&manual, &later};
    manual.set();
    later.set();
    EXPECT_EQ(kWaitObject0, waitAny(all, 0));
    EXPECT_EQ(kWaitObject0, waitAny(all, 0));
    manual.reset();
    EXPECT_EQ(kWaitObject0 + 1, waitAny(all, 0));
}

TEST(WaitAny, TimesOutAndWakesOnALaterEntry) {
    Event a, b;
    Waitable* const all[] = {&a, &b};
    const auto start = Clock::now();
    EXPECT_EQ(kWaitTimeout, waitAny(all, 40));
    EXPECT_GE(msSince(start), 40);

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        b.set();
    });
    EXPECT_EQ(kWaitObject0 + 1, waitAny(all, 5000));
    setter.join();
}

TEST(WaitAny, RefusesBadArguments) {
    Event a;
    a.set();
    EXPECT_EQ(kWaitFailed, waitAny({}, 0));
    Waitable* const withNull[] = {&a, nullptr};
    EXPECT_EQ(kWaitFailed, waitAny(withNull, 0));
    std::vector<Waitable*> tooMany(65, &a);
    EXPECT_EQ(kWaitFailed, waitAny(tooMany, 0));
    // None of those consumed the signal.
    EXPECT_EQ(kWaitObject0, a.wait(0));
}

namespace {

void ignoreSignal(int) {}

}  // namespace

// Signals interrupt poll() with EINTR whatever SA_RESTART says: the wait
// goes on with the time left, neither failing nor ending early.
TEST(WaitAny, SignalsNeitherFailNorShortenAWait) {
    struct sigaction sa {};
    sa.sa_handler = ignoreSignal;
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &sa, &old));

    Event e;
    std::atomic<uint32_t> timedResult{0}, setResult{0};
    std::atomic<int64_t> timedMs{0};
    std::atomic<bool> inWait{false};
    std::thread waiter([&] {
        inWait.store(true);
        const auto start = Clock::now();
        timedResult.store(e.wait(150));
        timedMs.store(msSince(start));
        setResult.store(e.wait(kInfinite));
    });
    while (!inWait.load()) std::this_thread::yield();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 3; ++i) {
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    e.set();
    waiter.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(kWaitTimeout, timedResult.load());
    EXPECT_GE(timedMs.load(), 150);
    EXPECT_EQ(kWaitObject0, setResult.load());
}

namespace {

// A waitable whose descriptor is in error: a wait must fail, not spin.
class BrokenWaitable : public Waitable {
public:
    BrokenWaitable() {
        int fds[2];
        if (::pipe(fds) == 0) {
            ::close(fds[0]);
            fd_ = fds[1];  // the write end of a pipe without reader polls POLLERR
        }
    }
    ~BrokenWaitable() override {
        if (fd_ >= 0) ::close(fd_);
    }
    int pollFd() const override { return fd_; }
    bool tryAcquire() override { return false; }

private:
    int fd_ = -1;
};

}  // namespace

TEST(WaitAny, DescriptorInErrorFailsTheWait) {
    BrokenWaitable broken;
    ASSERT_GE(broken.pollFd(), 0);
    Event e;
    Waitable* const all[] = {&e, &broken};
    EXPECT_EQ(kWaitFailed, waitAny(all, 2000));
}

// One set releases exactly one of two blocked waiters.
TEST(EventThreads, AutoResetReleasesOneWaiterPerSet) {
    Event e;
    std::atomic<int> woken{0};
    std::atomic<bool> done{false};
    auto waiter = [&] {
        while (!done.load()) {
            if (e.wait(20) == kWaitObject0) woken.fetch_add(1);
        }
    };
    std::thread w1(waiter), w2(waiter);
    for (int round = 1; round <= 50; ++round) {
        e.set();
        const auto start = Clock::now();
        while (woken.load() < round && msSince(start) < 5000) std::this_thread::yield();
        ASSERT_EQ(round, woken.load()) << "a set released no waiter";
        // Give a second (wrong) release time to show.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(round, woken.load()) << "a set released two waiters";
    }
    done.store(true);
    w1.join();
    w2.join();
}

// Ping-pong over two auto-reset events: a lost wake-up stalls a round.
TEST(EventThreads, PingPongLosesNoWakeUp) {
    Event ping, pong;
    constexpr int kRounds = 20000;
    std::atomic<int> stalls{0};
    std::thread peer([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (ping.wait(5000) != kWaitObject0) {
                stalls.fetch_add(1);
                return;
            }
            pong.set();
        }
    });
    int completed = 0;
    for (; completed < kRounds; ++completed) {
        ping.set();
        if (pong.wait(5000) != kWaitObject0) break;
    }
    peer.join();
    EXPECT_EQ(kRounds, completed);
    EXPECT_EQ(0, stalls.load());
}

// Sets racing with a consumer must never leave the event stuck: afterwards
// one more set must still signal it, and once consumed it must be quiet.
TEST(EventThreads, SetStormAgainstConsumerNeverSticks) {
    for (const bool manual : {false, true}) {
        Event e(manual, false);
        std::atomic<bool> stop{false};
        std::thread consumer([&] {
            while (!stop.load()) {
                if (manual) {
                    e.reset();
                } else {
                    e.wait(0);
                }
            }
        });
        std::vector<std::thread> setters;
        for (int t = 0; t < 2; ++t) {
            setters.emplace_back([&] {
                for (int i = 0; i < 50000; ++i) e.set();
            });
        }
        for (auto& s : setters) s.join();
        stop.store(true);
        consumer.join();

        e.reset();
        EXPECT_EQ(kWaitTimeout, e.wait(0)) << "manual=" << manual;
        EXPECT_FALSE(readable(e)) << "manual=" << manual;
        e.set();
        EXPECT_EQ(kWaitObject0, e.wait(0)) << "a set was swallowed, manual=" << manual;
        e.reset();
        EXPECT_EQ(kWaitTimeout, e.wait(0)) << "manual=" << manual;
    }
}

// Producers announce work and set; the consumer takes the announcements,
// then waits. Whatever was announced after its last look must wake it: a
// wait that times out with work pending is a lost wake-up.
TEST(EventThreads, AnnouncedWorkAlwaysWakesTheConsumer) {
    Event e;
    constexpr int kProducers = 2;
    constexpr long kPerProducer = 100000;
    std::atomic<long> pending{0};
    std::atomic<int> producing{kProducers};
    std::atomic<bool> lost{false};
    long taken = 0;
    std::thread consumer([&] {
        for (;;) {
            taken += pending.exchange(0);
            if (producing.load() == 0 && pending.load() == 0) return;
            if (e.wait(5000) == kWaitTimeout && pending.load() > 0) {
                lost.store(true);
                return;
            }
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            for (long i = 0; i < kPerProducer; ++i) {
                pending.fetch_add(1);
                e.set();
                // Vary the pace so that sets land at every point of a wait.
                for (long k = 0; k < (i % 7) * 20; ++k) std::atomic_signal_fence(std::memory_order_seq_cst);
            }
            producing.fetch_sub(1);
            e.set();
        });
    }
    for (auto& t : producers) t.join();
    consumer.join();
    EXPECT_FALSE(lost.load());
    EXPECT_EQ(kProducers * kPerProducer, taken + pending.load());
}

// Handshake: each set is made only when the previous signal was taken, so
// each must release exactly one of the two waiters, and none twice.
TEST(EventThreads, EverySignalIsTakenExactlyOnce) {
    Event work, ack;
    std::atomic<int> outstanding{0};
    std::atomic<int> doubles{0};
    std::atomic<bool> done{false};
    auto waiter = [&] {
        while (!done.load()) {
            if (work.wait(10) != kWaitObject0) continue;
            if (outstanding.fetch_sub(1) != 1) doubles.fetch_add(1);
            ack.set();
        }
    };
    std::thread w1(waiter), w2(waiter);
    constexpr int kRounds = 5000;
    int acked = 0;
    for (; acked < kRounds; ++acked) {
        outstanding.store(1);
        work.set();
        if (ack.wait(5000) != kWaitObject0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    done.store(true);
    w1.join();
    w2.join();
    EXPECT_EQ(kRounds, acked);
    EXPECT_EQ(0, doubles.load());
    EXPECT_EQ(0, outstanding.load());
}

// The waiter frees the event as soon as it wakes; set() must not touch it
// after its write (the sanitizers see a use after free otherwise).
TEST(EventThreads, WaiterMayDestroyEventRightAfterWaking) {
    for (int i = 0; i < 500; ++i) {
        auto e = std::make_unique<Event>(i % 2 == 1, false);
        Event* raw = e.get();
        std::thread setter([raw] { raw->set(); });
        ASSERT_EQ(kWaitObject0, e->wait(5000));
        e.reset();
        setter.join();
    }
}
