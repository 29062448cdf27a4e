// The reactor's wake path: tasks posted while the loop sleeps or serves,
// watched handles that change between passes, reactors side by side.
#include "tarn/Reactor.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace tarn;
using platform::Event;
using platform::kWaitObject0;

namespace {

constexpr uint32_t kLimitMs = 5000;

// Appends its number to a list only the reactor thread writes.
class OrderTask : public Task {
public:
    void execute() override {
        order->push_back(number);
        ++*executed;
        if (last) done->set();
    }
    void discard() override { ++*discarded; }
    int number = 0;
    bool last = false;
    std::vector<int>* order = nullptr;
    std::atomic<int>* executed = nullptr;
    std::atomic<int>* discarded = nullptr;
    Event* done = nullptr;
};

class FnTask : public Task {
public:
    explicit FnTask(std::function<void()> fn) : fn_(std::move(fn)) {}
    void execute() override {
        fn_();
        done.set();
    }
    void discard() override { done.set(); }
    Event done{true, false};

private:
    std::function<void()> fn_;
};

// A watched socket pair whose own end can be replaced on the reactor thread,
// as a client socket replaces its handle after a close.
class SwappableSocket : public BaseSocket {
public:
    SwappableSocket() { open(); }
    ~SwappableSocket() override { closeBoth(); }
    SocketHandle getSocket() const override { return mine_.load(); }
    int handleEvents() override {
        platform::NetworkEvents ev;
        platform::enumNetworkEvents(mine_.load(), ev);
        if (ev.lNetworkEvents & platform::FD_READ) {
            char buf[64];
            while (platform::netRecv(mine_.load(), buf, sizeof buf) > 0) {
            }
            if (onRead) onRead();
            served.set();
        }
        return 0;
    }
    void onReactorStop() override {}
    // Closes both ends and opens a new pair (the numbers are free to be reused).
    void replace() {
        closeBoth();
        open();
    }
    bool poke() { return ::send(peer_.load(), "x", 1, MSG_NOSIGNAL) == 1; }

    Event served{false, false};
    std::function<void()> onRead;

private:
    void open() {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) ADD_FAILURE() << "socketpair";
        mine_.store(fds[0]);
        peer_.store(fds[1]);
    }
    void closeBoth() {
        if (mine_.load() >= 0) platform::netClose(mine_.load());
        if (peer_.load() >= 0) ::close(peer_.load());
        mine_.store(-1);
        peer_.store(-1);
    }
    std::atomic<int> mine_{-1};
    std::atomic<int> peer_{-1};
};

class NoSocketEventReactor : public Reactor {
public:
    ~NoSocketEventReactor() override { stop(); }

protected:
    std::unique_ptr<platform::SocketEvent> createSocketEvent() override { return nullptr; }
};

// Posts `count` tasks in bursts with pauses, so that some land while the
// loop sleeps and some while it serves; checks order and exactly-once.
void postInBursts(Reactor& reactor, int count) {
    std::vector<OrderTask> tasks(static_cast<size_t>(count));
    std::vector<int> order;
    std::atomic<int> executed{0};
    std::atomic<int> discarded{0};
    Event done{true, false};
    for (int i = 0; i < count; ++i) {
        OrderTask& t = tasks[static_cast<size_t>(i)];
        t.number = i;
        t.last = i == count - 1;
        t.order = &order;
        t.executed = &executed;
        t.discarded = &discarded;
        t.done = &done;
    }
    for (int i = 0; i < count; ++i) {
        reactor.post(&tasks[static_cast<size_t>(i)]);
        if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ASSERT_EQ(kWaitObject0, done.wait(kLimitMs));
    EXPECT_EQ(count, executed.load());
    EXPECT_EQ(0, discarded.load());
    ASSERT_EQ(static_cast<size_t>(count), order.size());
    for (int i = 0; i < count; ++i) {
        if (order[static_cast<size_t>(i)] != i) {
            ADD_FAILURE() << "task " << order[static_cast<size_t>(i)] << " ran at position " << i;
            break;
        }
    }
}

}  // namespace

TEST(ReactorWake, LonePostsToASleepingLoopRunEachTime) {
    // Each post finds the loop asleep: its wake-up is acquired only after
    // the task ran, and nothing may be left waiting for the next one.
    SwappableSocket watched;  // so that the loop sleeps on sockets and wake-up together
    Reactor r;
    ASSERT_EQ(0, r.addSocket(&watched));
    ASSERT_EQ(0, r.start());
    std::atomic<int> runs{0};
    for (int i = 0; i < 100; ++i) {
        FnTask t([&runs] { ++runs; });
        r.post(&t);
        ASSERT_EQ(kWaitObject0, t.done.wait(kLimitMs)) << "post " << i;
        if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(100, runs.load());
    r.removeSocket(&watched);
    r.stop();
}

TEST(ReactorWake, ATaskPostedWhileItsBatchRunsIsNotStranded) {
    // The loop wakes from its sleep, and while the batch runs (before the
    // wake-up is acquired) a task posts another: that post finds the wake
    // event still signalled and writes nothing, so the loop itself must
    // take the new task in.
    SwappableSocket watched;
    Reactor r;
    ASSERT_EQ(0, r.addSocket(&watched));
    ASSERT_EQ(0, r.start());
    for (int round = 0; round < 5; ++round) {
        FnTask second([] {});
        FnTask first([&r, &second] { r.post(&second); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the loop is asleep
        r.post(&first);
        const bool ran = first.done.wait(kLimitMs) == kWaitObject0 && second.done.wait(kLimitMs) == kWaitObject0;
        if (!ran) r.stop();  // discards what is stranded while it still exists
        ASSERT_TRUE(ran) << "round " << round;
    }
    r.removeSocket(&watched);
    r.stop();
}

TEST(ReactorWake, BurstsRunInOrderExactlyOnceWithAndWithoutSockets) {
    {
        SwappableSocket watched;
        Reactor r;
        ASSERT_EQ(0, r.addSocket(&watched));
        ASSERT_EQ(0, r.start());
        postInBursts(r, 5000);
        r.removeSocket(&watched);
        r.stop();
    }
    {
        NoSocketEventReactor r;
        ASSERT_EQ(0, r.start());
        postInBursts(r, 5000);
        r.stop();
    }
}

TEST(ReactorWake, SocketsAreServedWhileTasksKeepArriving) {
    // A steady stream of posts keeps the loop awake; the socket still gets
    // its turn after every served batch.
    SwappableSocket s;
    Reactor r;
    ASSERT_EQ(0, r.addSocket(&s));
    ASSERT_EQ(0, r.start());
    std::atomic<bool> stopPosting{false};
    std::atomic<int> ran{0};
    class CountTask : public Task {
    public:
        explicit CountTask(std::atomic<int>& n) : n_(n) {}
        void execute() override { ++n_; }
        void discard() override {}

    private:
        std::atomic<int>& n_;
    };
    std::vector<std::unique_ptr<CountTask>> tasks;
    for (int i = 0; i < 20000; ++i) tasks.push_back(std::make_unique<CountTask>(ran));
    std::atomic<int> posted{0};
    std::thread poster([&] {
        for (auto& t : tasks) {
            if (stopPosting.load()) break;
            r.post(t.get());
            ++posted;
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(s.poke());
        EXPECT_EQ(kWaitObject0, s.served.wait(kLimitMs)) << "poke " << i;
    }
    stopPosting = true;
    poster.join();
    for (int i = 0; i < 500 && ran.load() < posted.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(posted.load(), ran.load());
    r.removeSocket(&s);
    r.stop();
}

TEST(ReactorWake, AHandleReplacedBetweenPassesIsSelectedInTheNext) {
    SwappableSocket s;
    Reactor r;
    ASSERT_EQ(0, r.addSocket(&s));
    ASSERT_EQ(0, r.start());
    ASSERT_TRUE(s.poke());
    ASSERT_EQ(kWaitObject0, s.served.wait(kLimitMs));
    for (int round = 0; round < 5; ++round) {
        // Replaced on the reactor thread, as a socket does it in a handler;
        // the new pair often reuses the old numbers.
        FnTask swap([&s] { s.replace(); });
        r.post(&swap);
        ASSERT_EQ(kWaitObject0, swap.done.wait(kLimitMs));
        ASSERT_TRUE(s.poke());
        EXPECT_EQ(kWaitObject0, s.served.wait(kLimitMs)) << "round " << round << ", handle " << s.getSocket();
    }
    r.removeSocket(&s);
    r.stop();
}

TEST(ReactorWake, AHandlerReplacingItsHandleIsServedAgain) {
    SwappableSocket s;
    std::atomic<int> replaced{0};
    s.onRead = [&] {
        if (replaced.load() < 3) {
            ++replaced;
            s.replace();
        }
    };
    Reactor r;
    ASSERT_EQ(0, r.addSocket(&s));
    ASSERT_EQ(0, r.start());
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(s.poke());
        ASSERT_EQ(kWaitObject0, s.served.wait(kLimitMs)) << "poke " << i;
    }
    EXPECT_EQ(3, replaced.load());
    r.removeSocket(&s);
    r.stop();
}

TEST(ReactorWake, TwoReactorsServeTheirSocketsIndependently) {
    // While a handler of one reactor is held up, the other reactor goes on
    // serving its own sockets and tasks.
    SwappableSocket slow, fast;
    Event release{true, false};
    Event holding{true, false};
    slow.onRead = [&] {
        holding.set();
        release.wait(kLimitMs);
    };
    Reactor a, b;
    ASSERT_EQ(0, a.addSocket(&slow));
    ASSERT_EQ(0, b.addSocket(&fast));
    ASSERT_EQ(0, a.start());
    ASSERT_EQ(0, b.start());
    ASSERT_TRUE(slow.poke());
    ASSERT_EQ(kWaitObject0, holding.wait(kLimitMs));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(fast.poke());
        ASSERT_EQ(kWaitObject0, fast.served.wait(kLimitMs)) << "poke " << i;
        FnTask t([] {});
        b.post(&t);
        ASSERT_EQ(kWaitObject0, t.done.wait(kLimitMs));
    }
    release.set();
    ASSERT_EQ(kWaitObject0, slow.served.wait(kLimitMs));
    ASSERT_TRUE(slow.poke());
    ASSERT_EQ(kWaitObject0, slow.served.wait(kLimitMs));
    a.removeSocket(&slow);
    b.removeSocket(&fast);
    a.stop();
    b.stop();
}

TEST(ReactorWake, TasksTakenInAfterTheLastBatchAreDiscardedByTheStop) {
    // Posters racing the stop: every task gets exactly one call, also those
    // the loop had taken in for its next pass.
    for (int round = 0; round < 5; ++round) {
        Reactor r;
        ASSERT_EQ(0, r.start());
        constexpr int kTasks = 3000;
        std::vector<OrderTask> tasks(kTasks);
        std::vector<int> order;
        std::atomic<int> executed{0};
        std::atomic<int> discarded{0};
        Event unused{true, false};
        for (int i = 0; i < kTasks; ++i) {
            OrderTask& t = tasks[static_cast<size_t>(i)];
            t.number = i;
            t.order = &order;
            t.executed = &executed;
            t.discarded = &discarded;
            t.done = &unused;
        }
        std::thread poster([&] {
            for (auto& t : tasks) r.post(&t);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
        r.stop();
        poster.join();
        EXPECT_EQ(kTasks, executed.load() + discarded.load()) << "round " << round;
        for (size_t i = 1; i < order.size(); ++i) {
            if (order[i] != order[i - 1] + 1) {
                ADD_FAILURE() << "out of order at " << i;
                break;
            }
        }
    }
}

TEST(ReactorWake, PostsRacingTheSwitchBetweenSocketsAndTheWakeCounterAllRun) {
    // With no socket watched the loop sleeps on its wake counter, with one in
    // epoll beside the wake event. Adding and removing the socket over and
    // over moves it between the two while a poster keeps posting: a wake-up
    // sent the wrong way would strand a task.
    SwappableSocket s;
    Reactor r;
    ASSERT_EQ(0, r.start());
    std::atomic<bool> stopToggling{false};
    std::atomic<int> toggles{0};
    std::thread toggler([&] {
        for (int i = 0; i < 400 && !stopToggling.load(); ++i) {
            if (r.addSocket(&s) != 0 || r.removeSocket(&s) != 0) ADD_FAILURE() << "toggle " << i;
            ++toggles;
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 7)));
        }
    });
    postInBursts(r, 5000);
    stopToggling = true;
    toggler.join();
    EXPECT_GT(toggles.load(), 0);
    // The socket is still served once it stays watched.
    ASSERT_EQ(0, r.addSocket(&s));
    ASSERT_TRUE(s.poke());
    EXPECT_EQ(kWaitObject0, s.served.wait(kLimitMs));
    r.removeSocket(&s);
    r.stop();
}

TEST(ReactorWake, ALoopSleepingOnItsCounterWakesForANearerTimerAndForTheStop) {
    Reactor r;
    ASSERT_EQ(0, r.start());
    std::atomic<int> farCalls{0};
    FnTask far([&farCalls] { ++farCalls; });
    SystemTime farAt = SystemTime::now();
    farAt += 60'000;
    r.schedule(farAt, &far);  // the loop now sleeps for a minute
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    FnTask near([] {});
    SystemTime nearAt = SystemTime::now();
    nearAt += 20;
    r.schedule(nearAt, &near);
    EXPECT_EQ(kWaitObject0, near.done.wait(kLimitMs)) << "the nearer timer must shorten the sleep";
    EXPECT_FALSE(far.done.wait(0) == kWaitObject0);

    const auto t0 = std::chrono::steady_clock::now();
    r.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(kLimitMs));
    EXPECT_EQ(kWaitObject0, far.done.wait(0)) << "the far timer is discarded by the stop";
    EXPECT_EQ(0, farCalls.load());
}

TEST(ReactorWake, APostLandingAsTheLoopGoesBackToSleepIsServed) {
    // The poster spins until the previous task has run and posts at once, so
    // its post lands in the short stretch between the batch and the loop's
    // next sleep, at a slightly different point each round. Every other
    // task adds or removes a watched socket, so that the loop has just
    // switched between sleeping on its counter and in epoll when the post
    // comes.
    SwappableSocket s;
    Reactor r;
    ASSERT_EQ(0, r.start());
    class MarkTask : public Task {
    public:
        MarkTask(Reactor& r, SwappableSocket& s) : r_(r), s_(s) {}
        void execute() override {
            const int n = ran.load();
            if (n % 4 == 1) r_.addSocket(&s_);
            if (n % 4 == 3) r_.removeSocket(&s_);
            ran.store(n + 1);
        }
        void discard() override {}
        std::atomic<int> ran{0};

    private:
        Reactor& r_;
        SwappableSocket& s_;
    };
    MarkTask task(r, s);
    constexpr int kRounds = 20000;
    for (int i = 0; i < kRounds; ++i) {
        r.post(&task);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
        while (task.ran.load() <= i && std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_EQ(i + 1, task.ran.load()) << "post " << i << " was not served";
        for (int spin = 0; spin < (i % 64) * 4; ++spin) {
            std::atomic_signal_fence(std::memory_order_seq_cst);
        }
    }
    r.removeSocket(&s);
    r.stop();
}

TEST(ReactorWake, TimersLaterThanTheFrontDoNotWakeTheLoopYetAllRunInOrder) {
    // Two threads schedule timers at random near times, most of them behind
    // the front entry (they do not rouse the loop), some in front of it,
    // with the front cancelled now and then; with and without a watched
    // socket. Every timer that was not cancelled runs once, in time order.
    for (const bool withSocket : {false, true}) {
        SwappableSocket s;
        Reactor r;
        if (withSocket) r.addSocket(&s);
        ASSERT_EQ(0, r.start());
        constexpr int kPerThread = 400;
        class StampTask : public Task {
        public:
            void execute() override {
                ranAt = SystemTime::now();
                order = counter->fetch_add(1);
                ++calls;
            }
            void discard() override { ++calls; }
            SystemTime due{0};
            SystemTime ranAt{0};
            int order = -1;
            std::atomic<int> calls{0};
            std::atomic<int>* counter = nullptr;
        };
        std::vector<StampTask> tasks(2 * kPerThread);
        std::atomic<int> counter{0};
        std::atomic<int> cancelled{0};
        const SystemTime base = SystemTime::now();
        auto schedule = [&](int first, unsigned seed) {
            std::mt19937 rng(seed);
            for (int i = first; i < first + kPerThread; ++i) {
                StampTask& t = tasks[static_cast<size_t>(i)];
                t.counter = &counter;
                t.due = base;
                t.due += 200 + static_cast<int>(rng() % 300);
                r.schedule(t.due, &t);
                if (i % 97 == 0) {
                    r.cancelScheduledTask(&t);
                    ++cancelled;
                }
            }
        };
        std::thread a(schedule, 0, 1u);
        std::thread b(schedule, kPerThread, 2u);
        a.join();
        b.join();
        // A cancellation finds its entry gone only when it already ran.
        const int expected = 2 * kPerThread - cancelled.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
        while (counter.load() < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        r.stop();
        ASSERT_GE(counter.load(), expected) << "with socket " << withSocket;
        std::vector<const StampTask*> byOrder(static_cast<size_t>(counter.load()), nullptr);
        for (size_t i = 0; i < tasks.size(); ++i) {
            const StampTask& t = tasks[i];
            if (t.calls.load() == 0) {
                EXPECT_EQ(0u, i % 97) << "timer " << i << " never ran and was not cancelled";
                continue;
            }
            ASSERT_EQ(1, t.calls.load());
            ASSERT_GE(t.order, 0);
            byOrder[static_cast<size_t>(t.order)] = &t;
            EXPECT_TRUE(t.ranAt >= t.due) << "a timer ran before its time";
        }
        for (size_t i = 1; i < byOrder.size(); ++i) {
            ASSERT_NE(nullptr, byOrder[i]);
            EXPECT_TRUE(byOrder[i - 1]->due <= byOrder[i]->due) << "out of order at " << i;
        }
    }
}
