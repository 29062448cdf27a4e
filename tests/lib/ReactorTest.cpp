#include "../support/TestSupport.h"
#include "tarn/CrashLog.h"
#include "tarn/QuorException.h"
#include "tarn/Reactor.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tarn;
using platform::Event;
using platform::kWaitObject0;

namespace {

constexpr uint32_t kLimitMs = 5000;

long tid() { return static_cast<long>(::syscall(SYS_gettid)); }

// Every call the tasks receive, in order.
using Journal = testsupport::Journal;

class NamedTask : public Task {
public:
    NamedTask(Journal& j, std::string name) : journal_(j), name_(std::move(name)) {}
    void execute() override {
        executeThread = tid();
        ++executed;
        journal_.add("x:" + name_);
        done.set();
    }
    void discard() override {
        discardThread = tid();
        ++discarded;
        journal_.add("d:" + name_);
        done.set();
    }
    std::atomic<int> executed{0};
    std::atomic<int> discarded{0};
    std::atomic<long> executeThread{0};
    std::atomic<long> discardThread{0};
    Event done{true, false};

private:
    Journal& journal_;
    std::string name_;
};

// A task that runs a function on the reactor thread.
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

class ThrowingTask : public Task {
public:
    void execute() override { throw QuorException(3, "task failed"); }
    void discard() override {}
};

class UnknownThrowingTask : public Task {
public:
    void execute() override { throw 42; }
    void discard() override {}
};

// One end of a socket pair, watched by the reactor; the test writes into the other end.
class PairSocket : public BaseSocket {
public:
    PairSocket() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) ADD_FAILURE() << "socketpair";
        mine_ = fds[0];
        peer_ = fds[1];
    }
    ~PairSocket() override {
        platform::netClose(mine_);
        ::close(peer_);
    }
    SocketHandle getSocket() const override { return mine_; }
    int handleEvents() override {
        platform::NetworkEvents ev;
        platform::enumNetworkEvents(mine_, ev);
        if (ev.lNetworkEvents & platform::FD_READ) {
            char buf[256];
            while (platform::netRecv(mine_, buf, sizeof buf) > 0) {
            }
            ++reads;
            if (onRead) onRead();
            served.set();
        }
        if (throwOnEvent) throw QuorException(9, "socket failed");
        return 0;
    }
    void onReactorStop() override { ++stopCalls; }
    void poke() { ASSERT_EQ(1, ::write(peer_, "x", 1)); }

    std::atomic<int> reads{0};
    std::atomic<int> stopCalls{0};
    std::atomic<bool> throwOnEvent{false};
    std::function<void()> onRead;
    Event served{false, false};

private:
    int mine_ = -1;
    int peer_ = -1;
};

class NoSocketEventReactor : public Reactor {
public:
    ~NoSocketEventReactor() override { stop(); }

protected:
    std::unique_ptr<platform::SocketEvent> createSocketEvent() override { return nullptr; }
};

// Sends the crash log to a fresh file and captures standard output.
class CrashLogCapture {
public:
    CrashLogCapture() {
        char dir[] = "/tmp/reactor-test-XXXXXX";
        folder_ = ::mkdtemp(dir);
        setCrashLogFolder(folder_);
    }
    ~CrashLogCapture() {
        std::remove(crashLogPath().c_str());
        ::rmdir(folder_.c_str());
        setCrashLogFolder("");
    }
    std::vector<std::string> fileLines() const {
        std::ifstream in(crashLogPath());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    std::string folder_;
};

SystemTime inMs(int ms) {
    SystemTime t = SystemTime::now();
    t += ms;
    return t;
}

// The CPU time the whole process spends while the caller sleeps for `span`.
double cpuSecondsOver(std::chrono::milliseconds span) {
    const auto seconds = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    const double before = seconds();
    std::this_thread::sleep_for(span);
    return seconds() - before;
}

}  // namespace

TEST(ReactorTasks, PostedBeforeStartRunInOrderInOnePass) {
    Journal j;
    Reactor r;
    NamedTask a(j, "a"), b(j, "b"), c(j, "c");
    r.post(&a);
    r.post(&b);
    r.post(&c);
    ASSERT_EQ(0, r.start());
    ASSERT_EQ(kWaitObject0, c.done.wait(kLimitMs));
    EXPECT_EQ((std::vector<std::string>{"x:a", "x:b", "x:c"}), j.snapshot());
    EXPECT_NE(tid(), a.executeThread.load());
    EXPECT_EQ(4, r.start()) << "a reactor runs its loop once";
    EXPECT_EQ(0, r.stop());
}

TEST(ReactorTasks, ScheduledTasksRunByTimeThenSchedulingOrder) {
    Journal j;
    Reactor r;
    ASSERT_EQ(0, r.start());
    const SystemTime at = inMs(150);
    NamedTask late(j, "late"), first(j, "first"), second(j, "second"), past(j, "past");
    r.schedule(inMs(300), &late);
    r.schedule(at, &first);
    r.schedule(at, &second);
    r.schedule(inMs(-1000), &past);
    ASSERT_EQ(kWaitObject0, late.done.wait(kLimitMs));
    EXPECT_EQ((std::vector<std::string>{"x:past", "x:first", "x:second", "x:late"}), j.snapshot());
    r.stop();
}

TEST(ReactorTasks, StopDiscardsWhatIsQueuedExactlyOnce) {
    Journal j;
    Reactor r;
    Event entered(true, false);
    Event release(true, false);
    FnTask blocker([&] {
        entered.set();
        release.wait(kLimitMs);
    });
    NamedTask p1(j, "p1"), p2(j, "p2"), s1(j, "s1");
    ASSERT_EQ(0, r.start());
    r.post(&blocker);
    ASSERT_EQ(kWaitObject0, entered.wait(kLimitMs));  // the loop is busy: what follows stays queued
    r.post(&p1);
    r.post(&p2);
    r.schedule(inMs(60000), &s1);
    std::thread stopper([&] { r.stop(); });
    for (int i = 0; i < 500 && r.isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    release.set();
    stopper.join();
    EXPECT_TRUE(r.isStopped());
    for (NamedTask* t : {&p1, &p2, &s1}) {
        EXPECT_EQ(0, t->executed.load());
        EXPECT_EQ(1, t->discarded.load());
    }
    EXPECT_EQ((std::vector<std::string>{"d:p1", "d:p2", "d:s1"}), j.snapshot());
    // After the stop, post and schedule discard at once on the caller's thread.
    NamedTask after(j, "after");
    r.post(&after);
    r.schedule(inMs(10), &after);
    EXPECT_EQ(2, after.discarded.load());
    EXPECT_EQ(tid(), after.discardThread.load());
    EXPECT_EQ(0, after.executed.load());
}

TEST(ReactorTasks, EveryAcceptedTaskGetsExactlyOneCallWhilePostersRaceTheStop) {
    Journal j;
    std::vector<std::unique_ptr<NamedTask>> tasks;
    for (int i = 0; i < 4000; ++i) tasks.push_back(std::make_unique<NamedTask>(j, "t"));
    Reactor r;
    ASSERT_EQ(0, r.start());
    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p) {
        posters.emplace_back([&, p] {
            for (int i = p; i < 4000; i += 4) {
                if (i % 2 == 0) {
                    r.post(tasks[static_cast<size_t>(i)].get());
                } else {
                    r.schedule(inMs(i % 3 == 0 ? 0 : 60000), tasks[static_cast<size_t>(i)].get());
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    r.stop();
    for (auto& t : posters) t.join();
    for (auto& t : tasks) ASSERT_EQ(1, t->executed.load() + t->discarded.load());
}

TEST(ReactorTasks, CancelFromAnotherThreadAndFromTheReactorThread) {
    Journal j;
    Reactor r;
    ASSERT_EQ(0, r.start());
    NamedTask never(j, "never"), twice(j, "twice"), inner(j, "inner");
    r.schedule(inMs(60000), &never);
    r.cancelScheduledTask(&never);
    r.schedule(inMs(20), &twice);
    r.schedule(inMs(100), &twice);
    r.cancelScheduledTask(&twice);  // the earlier entry goes
    r.cancelScheduledTask(&inner);  // not scheduled: nothing happens
    // From inside a task the cancel acts at once, without posting.
    r.schedule(inMs(50), &inner);
    FnTask canceller([&] { r.cancelScheduledTask(&inner); });
    r.post(&canceller);
    ASSERT_EQ(kWaitObject0, canceller.done.wait(kLimitMs));
    ASSERT_EQ(kWaitObject0, twice.done.wait(kLimitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    r.stop();
    EXPECT_EQ(1, twice.executed.load());
    EXPECT_EQ(0, twice.discarded.load());
    for (NamedTask* t : {&never, &inner}) {
        EXPECT_EQ(0, t->executed.load());
        EXPECT_EQ(0, t->discarded.load());
    }
}

TEST(ReactorTasks, TimersSetFromSeveralThreadsWhileTheLoopFiresRunOnceEachInTheirOrder) {
    // Four threads set timers while earlier ones fall due and fire; each
    // thread's timers share a few due times, so its own order must hold.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 1500;
    struct Stamp : Task {
        std::atomic<int>* sequence = nullptr;
        int thread = 0;
        int index = 0;
        std::atomic<int> runs{0};
        int ranAt = -1;  // written on the loop thread, read after the stop
        void execute() override {
            ranAt = sequence->fetch_add(1);
            ++runs;
        }
        void discard() override {}
    };
    std::atomic<int> sequence{0};
    std::vector<std::vector<Stamp>> stamps(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        stamps[static_cast<size_t>(t)] = std::vector<Stamp>(kPerThread);
        for (int i = 0; i < kPerThread; ++i) {
            Stamp& s = stamps[static_cast<size_t>(t)][static_cast<size_t>(i)];
            s.sequence = &sequence;
            s.thread = t;
            s.index = i;
        }
    }
    Reactor r;
    ASSERT_EQ(0, r.start());
    const SystemTime base = SystemTime::now();
    std::vector<std::thread> setters;
    for (int t = 0; t < kThreads; ++t) {
        setters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                SystemTime due = base;
                due += (i / 100) * 5;  // 15 due times, 5 ms apart, 100 timers each
                r.schedule(due, &stamps[static_cast<size_t>(t)][static_cast<size_t>(i)]);
            }
        });
    }
    for (auto& s : setters) s.join();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (sequence.load() < kThreads * kPerThread && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.stop();
    ASSERT_EQ(kThreads * kPerThread, sequence.load());
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const Stamp& s = stamps[static_cast<size_t>(t)][static_cast<size_t>(i)];
            ASSERT_EQ(1, s.runs.load()) << "thread " << t << " timer " << i;
            if (i > 0) {
                // Same due time or a later one: after the thread's previous timer.
                EXPECT_GT(s.ranAt, stamps[static_cast<size_t>(t)][static_cast<size_t>(i - 1)].ranAt)
                    << "thread " << t << " timer " << i;
            }
        }
    }
}

TEST(ReactorTasks, RaisingTasksAreLoggedAndTheBatchGoesOn) {
    CrashLogCapture log;
    Journal j;
    Reactor r;
    ThrowingTask bad;
    UnknownThrowingTask worse;
    NamedTask after(j, "after");
    r.post(&bad);
    r.post(&worse);
    r.post(&after);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, r.start());
    ASSERT_EQ(kWaitObject0, after.done.wait(kLimitMs));
    ThrowingTask badLater;
    NamedTask mark(j, "mark");
    r.schedule(inMs(0), &badLater);
    r.schedule(inMs(0), &mark);
    ASSERT_EQ(kWaitObject0, mark.done.wait(kLimitMs));
    r.stop();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::vector<std::string> expected = {
        "Caught QuorException executing task \"(anonymous namespace)::ThrowingTask\" in reactor "
        "\"tarn::Reactor\".  task failed",
        "Caught an unknown exception executing task \"(anonymous namespace)::UnknownThrowingTask\" in "
        "reactor \"tarn::Reactor\".",
        "Caught QuorException executing scheduled task \"(anonymous namespace)::ThrowingTask\" in reactor "
        "\"tarn::Reactor\".  task failed"};
    EXPECT_EQ(expected, log.fileLines());
    std::string joined;
    for (const auto& l : expected) joined += l + "\n";
    EXPECT_EQ(joined, out);
    EXPECT_EQ(1, after.executed.load());
}

TEST(ReactorSockets, EventsAreServedAndARaisingSocketStaysWatched) {
    CrashLogCapture log;
    PairSocket a, b;  // declared first: they outlive the reactor
    Reactor r;
    a.throwOnEvent = true;
    ASSERT_EQ(0, r.addSocket(&a));  // before start: direct
    ASSERT_EQ(0, r.start());
    ASSERT_EQ(0, r.addSocket(&b));  // from another thread: through the loop
    testing::internal::CaptureStdout();
    a.poke();
    b.poke();
    ASSERT_EQ(kWaitObject0, b.served.wait(kLimitMs));
    ASSERT_EQ(kWaitObject0, a.served.wait(kLimitMs));
    a.poke();
    ASSERT_EQ(kWaitObject0, a.served.wait(kLimitMs)) << "a failing socket is served again";
    ASSERT_EQ(0, r.removeSocket(&a));
    ASSERT_EQ(0, r.removeSocket(&b));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, r.removeSocket(&a)) << "not watched";
    r.stop();
    const auto lines = log.fileLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(
        "Caught QuorException handling socket event for \"(anonymous namespace)::PairSocket\" in reactor "
        "\"tarn::Reactor\".  socket failed",
        lines[0]);
    EXPECT_EQ(0, a.stopCalls.load()) << "removed sockets are not told of the stop";
}

TEST(ReactorSockets, AHandlerRemovingAnotherSocketOfThePass) {
    PairSocket first, second;
    Reactor r;
    first.onRead = [&] { r.removeSocket(&second); };
    r.addSocket(&first);
    r.addSocket(&second);
    second.poke();
    first.poke();
    ASSERT_EQ(0, r.start());
    ASSERT_EQ(kWaitObject0, second.served.wait(kLimitMs)) << "still in this pass's copy";
    ASSERT_EQ(1, first.reads.load());
    second.poke();
    first.poke();
    ASSERT_EQ(kWaitObject0, first.served.wait(kLimitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1, second.reads.load()) << "not served from the next pass on";
    r.stop();
    EXPECT_EQ(1, first.stopCalls.load());
    EXPECT_EQ(0, second.stopCalls.load());
}

TEST(ReactorSockets, RemovalFromTheReactorThreadAndAfterTheStop) {
    PairSocket s;
    Reactor r;
    ASSERT_EQ(0, r.start());
    std::atomic<int> inside{1};
    FnTask remove([&] { inside = r.removeSocket(&s); });
    r.post(&remove);
    ASSERT_EQ(kWaitObject0, remove.done.wait(kLimitMs));
    EXPECT_EQ(-1, inside.load());
    r.stop();
    EXPECT_EQ(0, r.addSocket(&s)) << "changes nothing after the stop";
    EXPECT_EQ(0, r.removeSocket(&s)) << "so the socket was never added";
}

TEST(ReactorSockets, ARemovalStillQueuedAtTheStopIsCarriedOut) {
    PairSocket kept, removed;
    Reactor r;
    r.addSocket(&kept);
    r.addSocket(&removed);
    Event entered(true, false);
    Event release(true, false);
    FnTask blocker([&] {
        entered.set();
        release.wait(kLimitMs);
    });
    ASSERT_EQ(0, r.start());
    r.post(&blocker);
    ASSERT_EQ(kWaitObject0, entered.wait(kLimitMs));
    std::atomic<int> result{7};
    std::thread remover([&] { result = r.removeSocket(&removed); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the request is queued behind the blocker
    std::thread stopper([&] { r.stop(); });
    for (int i = 0; i < 500 && r.isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    release.set();
    remover.join();
    stopper.join();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(1, kept.stopCalls.load());
    EXPECT_EQ(0, removed.stopCalls.load()) << "the caller may already have deleted it";
}

TEST(ReactorSockets, WithoutASocketEventTasksStillRun) {
    Journal j;
    PairSocket s;
    NoSocketEventReactor r;
    r.addSocket(&s);
    ASSERT_EQ(0, r.start());
    s.poke();
    NamedTask posted(j, "posted"), timed(j, "timed");
    r.post(&posted);
    r.schedule(inMs(10), &timed);
    ASSERT_EQ(kWaitObject0, timed.done.wait(kLimitMs));
    ASSERT_EQ(kWaitObject0, posted.done.wait(kLimitMs));
    EXPECT_EQ(0, s.reads.load());
    r.stop();
}

TEST(ReactorSockets, IdleWatchedSocketsCostNoCpu) {
    std::vector<std::unique_ptr<PairSocket>> sockets;
    Reactor r;
    for (int i = 0; i < 100; ++i) {
        sockets.push_back(std::make_unique<PairSocket>());
        r.addSocket(sockets.back().get());
    }
    ASSERT_EQ(0, r.start());
    sockets[0]->poke();  // one pass with an event, then silence
    ASSERT_EQ(kWaitObject0, sockets[0]->served.wait(kLimitMs));
    EXPECT_LT(cpuSecondsOver(std::chrono::seconds(2)), 0.2) << "an idle loop must not spin";
    r.stop();
    for (auto& s : sockets) EXPECT_EQ(1, s->stopCalls.load());
}

TEST(ReactorSockets, EventsPostsAndTimersThatComeRightAfterASocketPassAreAllServed) {
    // Right after serving a socket the loop looks for more before it sleeps:
    // whatever comes during that look (an event on either socket, a post, a
    // timer) is served, and none waits for a later wake-up.
    Journal j;
    PairSocket a, b;
    Reactor r;
    r.addSocket(&a);
    r.addSocket(&b);
    ASSERT_EQ(0, r.start());
    for (int i = 0; i < 300; ++i) {
        PairSocket& s = i % 2 == 0 ? a : b;
        s.poke();
        ASSERT_EQ(kWaitObject0, s.served.wait(kLimitMs)) << "event " << i;
        if (i % 3 == 0) {
            NamedTask posted(j, "p");
            r.post(&posted);
            ASSERT_EQ(kWaitObject0, posted.done.wait(kLimitMs)) << "post " << i;
        } else if (i % 3 == 1) {
            NamedTask timed(j, "t");
            r.schedule(inMs(0), &timed);
            ASSERT_EQ(kWaitObject0, timed.done.wait(kLimitMs)) << "timer " << i;
        }
    }
    EXPECT_EQ(300, a.reads.load() + b.reads.load());
    r.stop();
    EXPECT_EQ(200u, j.size());
}

TEST(ReactorSockets, ALoopWithNoSocketWaitingForAFarTimerCostsNoCpu) {
    // With nothing watched the loop sleeps on its wake counter with the
    // timer's time-out.
    Reactor r;
    ASSERT_EQ(0, r.start());
    Journal journal;
    NamedTask far(journal, "far");
    r.schedule(inMs(60000), &far);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LT(cpuSecondsOver(std::chrono::seconds(1)), 0.1) << "an idle loop must not spin";
    r.stop();
    EXPECT_EQ(std::vector<std::string>{"d:far"}, journal.snapshot());
}

TEST(ReactorProxy, ForwardsToTheReactor) {
    Journal j;
    PairSocket s;
    Reactor r;
    ReactorProxy proxy(&r);
    EXPECT_EQ(0, proxy.addSocket(&s));
    EXPECT_EQ(0, proxy.removeSocket(&s));
    EXPECT_EQ(-1, proxy.removeSocket(&s));
    NamedTask t(j, "t");
    proxy.schedule(inMs(60000), &t);
    proxy.cancelScheduledTask(&t);
    proxy.post(&t);
    ASSERT_EQ(0, r.start());
    ASSERT_EQ(kWaitObject0, t.done.wait(kLimitMs));
    r.stop();
    EXPECT_EQ((std::vector<std::string>{"x:t"}), j.snapshot());
}
