// Functions carried to the loop's thread: runInLoop (the caller waits) and
// queueInLoop (fire and forget), around the loop's start and its stop.
#include "../support/TestSupport.h"
#include "tarn/CrashLog.h"
#include "tarn/QuorException.h"
#include "tarn/Reactor.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace tarn;
using platform::Event;
using platform::kWaitObject0;

namespace {

constexpr uint32_t kLimitMs = 5000;

using Journal = testsupport::Journal;

class NamedTask : public Task {
public:
    NamedTask(Journal& j, std::string name) : journal_(j), name_(std::move(name)) {}
    void execute() override { journal_.add("x:" + name_); }
    void discard() override { journal_.add("d:" + name_); }

private:
    Journal& journal_;
    std::string name_;
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

// Holds the loop busy inside one task until released, so that what is posted
// meanwhile stays queued.
struct Blocker {
    Event entered{true, false};
    Event release{true, false};
    FnTask task{[this] {
        entered.set();
        release.wait(kLimitMs);
    }};
};

// Keeps its end sequence at onLoopEnd until released: the queue is closed
// then, while the loop thread still exists.
class GatedEndReactor : public Reactor {
public:
    ~GatedEndReactor() override {
        endRelease.set();
        stop();
    }
    void onLoopEnd() override {
        endEntered.set();
        endRelease.wait(kLimitMs);
    }
    Event endEntered{true, false};
    Event endRelease{true, false};
};

// Counts its destruction and where it happened.
struct Sentinel {
    Sentinel(std::atomic<int>* d, std::atomic<std::thread::id>* w) : destroyed(d), where(w) {}
    Sentinel(const Sentinel&) = delete;
    Sentinel& operator=(const Sentinel&) = delete;
    std::atomic<int>* destroyed;
    std::atomic<std::thread::id>* where;
    ~Sentinel() {
        where->store(std::this_thread::get_id());
        ++*destroyed;
    }
};

// The id of the loop's thread, learnt from a task run there.
std::thread::id loopThreadOf(Reactor& r) {
    std::thread::id id;
    FnTask probe([&] { id = std::this_thread::get_id(); });
    r.post(&probe);
    EXPECT_EQ(kWaitObject0, probe.done.wait(kLimitMs));
    return id;
}

// Sends the crash log to a fresh file and captures standard output.
class CrashLogCapture {
public:
    CrashLogCapture() {
        char dir[] = "/tmp/reactor-inloop-test-XXXXXX";
        folder_ = ::mkdtemp(dir);
        setCrashLogFolder(folder_);
        testing::internal::CaptureStdout();
    }
    ~CrashLogCapture() {
        testing::internal::GetCapturedStdout();
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

}  // namespace

TEST(ReactorInLoop, OnTheLoopThreadRunInLoopRunsInline) {
    Reactor r;
    ASSERT_EQ(0, r.start());
    EXPECT_FALSE(r.isInLoopThread());
    std::atomic<bool> inLoop{false};
    std::atomic<bool> ranBeforeReturn{false};
    std::atomic<std::thread::id> ranOn{};
    FnTask outer([&] {
        inLoop = r.isInLoopThread();
        bool ran = false;
        r.runInLoop([&] {
            ran = true;
            ranOn = std::this_thread::get_id();
        });
        // Posted instead, it would still be queued behind this task.
        ranBeforeReturn = ran;
    });
    r.post(&outer);
    ASSERT_EQ(kWaitObject0, outer.done.wait(kLimitMs));
    EXPECT_TRUE(inLoop.load());
    EXPECT_TRUE(ranBeforeReturn.load());
    EXPECT_EQ(loopThreadOf(r), ranOn.load());
    r.stop();
}

TEST(ReactorInLoop, FromAnotherThreadRunInLoopRunsOnTheLoopThreadAndReturnsAfter) {
    Reactor r;
    ASSERT_EQ(0, r.start());
    const std::thread::id loop = loopThreadOf(r);
    for (int i = 0; i < 100; ++i) {
        std::thread::id ranOn;
        bool finished = false;
        r.runInLoop([&] {
            ranOn = std::this_thread::get_id();
            std::this_thread::yield();
            finished = true;
        });
        ASSERT_TRUE(finished) << i;
        ASSERT_EQ(loop, ranOn) << i;
    }
    r.stop();
}

TEST(ReactorInLoop, WhatTheFunctionRaisesOnTheLoopThreadReachesTheCaller) {
    Journal j;
    Reactor r;
    ASSERT_EQ(0, r.start());
    try {
        r.runInLoop([] { throw QuorException(5, "refused"); });
        ADD_FAILURE() << "nothing raised";
    } catch (const QuorException& e) {
        EXPECT_EQ(5, e.getCode());
        EXPECT_STREQ("refused", e.getMessage());
    }
    EXPECT_THROW(r.runInLoop([] { throw 7; }), int);
    // The loop goes on.
    NamedTask after(j, "after");
    r.post(&after);
    bool ran = false;
    r.runInLoop([&] { ran = true; });
    EXPECT_TRUE(ran);
    r.stop();
    EXPECT_EQ(std::vector<std::string>{"x:after"}, j.snapshot());
}

TEST(ReactorInLoop, BeforeTheStartAndAfterTheStopRunInLoopRunsOnTheCaller) {
    Reactor r;
    std::thread::id ranOn;
    r.runInLoop([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(std::this_thread::get_id(), ranOn) << "no loop thread yet";
    ASSERT_EQ(0, r.start());
    r.stop();
    EXPECT_FALSE(r.isInLoopThread());
    ranOn = std::thread::id();
    r.runInLoop([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(std::this_thread::get_id(), ranOn) << "the loop has ended";
}

TEST(ReactorInLoop, ARunInLoopCallQueuedAtTheStopReturnsWithoutRunning) {
    Reactor r;
    Blocker blocker;
    ASSERT_EQ(0, r.start());
    r.post(&blocker.task);
    ASSERT_EQ(kWaitObject0, blocker.entered.wait(kLimitMs));
    std::atomic<bool> ran{false};
    Event returned(true, false);
    std::thread caller([&] {
        r.runInLoop([&] { ran = true; });
        returned.set();
    });
    // The call is queued behind the blocker, then the stop discards it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(kWaitObject0, returned.wait(0)) << "returned before its call was served";
    std::thread stopper([&] { r.stop(); });
    for (int i = 0; i < 500 && r.isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    blocker.release.set();
    ASSERT_EQ(kWaitObject0, returned.wait(kLimitMs));
    caller.join();
    stopper.join();
    EXPECT_FALSE(ran.load());
}

TEST(ReactorInLoop, RefusedOnceTheQueueIsClosedBothReturnAtOnceUnrun) {
    GatedEndReactor r;
    ASSERT_EQ(0, r.start());
    std::thread stopper([&] { r.stop(); });
    ASSERT_EQ(kWaitObject0, r.endEntered.wait(kLimitMs));
    // The loop thread is in its end sequence: the queue refuses what comes.
    std::atomic<int> destroyed{0};
    std::atomic<std::thread::id> where{};
    bool ran = false;
    r.runInLoop([&] { ran = true; });
    EXPECT_FALSE(ran);
    {
        auto sentinel = std::make_shared<Sentinel>(&destroyed, &where);
        r.queueInLoop([sentinel = std::move(sentinel), &ran] { ran = true; });
    }
    EXPECT_EQ(1, destroyed.load()) << "a refused function is destroyed at once";
    EXPECT_EQ(std::this_thread::get_id(), where.load());
    EXPECT_FALSE(ran);
    r.endRelease.set();
    stopper.join();
}

TEST(ReactorInLoop, QueueInLoopKeepsOrderWithPosts) {
    Journal j;
    Reactor r;
    Blocker blocker;
    ASSERT_EQ(0, r.start());
    r.post(&blocker.task);
    ASSERT_EQ(kWaitObject0, blocker.entered.wait(kLimitMs));
    std::vector<std::unique_ptr<NamedTask>> tasks;
    std::vector<std::string> expected;
    std::atomic<int> wrongThread{0};
    const std::thread::id self = std::this_thread::get_id();
    for (int i = 0; i < 200; ++i) {
        const std::string name = std::to_string(i);
        if (i % 3 == 0) {
            tasks.push_back(std::make_unique<NamedTask>(j, name));
            r.post(tasks.back().get());
        } else {
            r.queueInLoop([&j, &wrongThread, &r, self, name] {
                if (std::this_thread::get_id() == self || !r.isInLoopThread()) ++wrongThread;
                j.add("x:" + name);
            });
        }
        expected.push_back("x:" + name);
    }
    blocker.release.set();
    Event last(true, false);
    r.queueInLoop([&] { last.set(); });
    ASSERT_EQ(kWaitObject0, last.wait(kLimitMs));
    r.stop();
    EXPECT_EQ(expected, j.snapshot());
    EXPECT_EQ(0, wrongThread.load());
}

TEST(ReactorInLoop, QueuedFunctionsDiscardedByTheStopAreDestroyedUnrun) {
    Reactor r;
    Blocker blocker;
    ASSERT_EQ(0, r.start());
    const std::thread::id loop = loopThreadOf(r);
    r.post(&blocker.task);
    ASSERT_EQ(kWaitObject0, blocker.entered.wait(kLimitMs));
    std::atomic<int> destroyed{0};
    std::atomic<std::thread::id> where{};
    std::atomic<int> ran{0};
    constexpr int kQueued = 300;  // more than the reactor keeps spare
    for (int i = 0; i < kQueued; ++i) {
        auto sentinel = std::make_shared<Sentinel>(&destroyed, &where);
        // A large capture, so that the function keeps it on the heap.
        std::string padding(200, 'p');
        r.queueInLoop([sentinel = std::move(sentinel), padding, &ran] { ++ran; });
    }
    EXPECT_EQ(0, destroyed.load());
    std::thread stopper([&] { r.stop(); });
    for (int i = 0; i < 500 && r.isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    blocker.release.set();
    stopper.join();
    EXPECT_EQ(0, ran.load());
    EXPECT_EQ(kQueued, destroyed.load());
    EXPECT_EQ(loop, where.load()) << "discarded by the end sequence, on the loop thread";
}

TEST(ReactorInLoop, AnExecutedFunctionIsDestroyedOnTheLoopThreadAfterItRan) {
    Reactor r;
    ASSERT_EQ(0, r.start());
    const std::thread::id loop = loopThreadOf(r);
    std::atomic<int> destroyed{0};
    std::atomic<std::thread::id> where{};
    std::atomic<int> destroyedWhileRunning{-1};
    Event ran(true, false);
    {
        auto sentinel = std::make_shared<Sentinel>(&destroyed, &where);
        r.queueInLoop([sentinel = std::move(sentinel), &destroyed, &destroyedWhileRunning, &ran] {
            destroyedWhileRunning = destroyed.load();
            ran.set();
        });
    }
    ASSERT_EQ(kWaitObject0, ran.wait(kLimitMs));
    bool flushed = false;
    r.runInLoop([&] { flushed = true; });  // the queued call is over by now
    EXPECT_TRUE(flushed);
    EXPECT_EQ(0, destroyedWhileRunning.load());
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(loop, where.load());
    r.stop();
}

TEST(ReactorInLoop, AQueuedFunctionThatRaisesIsLoggedAndTheLoopGoesOn) {
    CrashLogCapture log;
    Reactor r;
    ASSERT_EQ(0, r.start());
    r.queueInLoop([] { throw QuorException(3, "queued call failed"); });
    bool after = false;
    r.runInLoop([&] { after = true; });
    EXPECT_TRUE(after);
    r.stop();
    const auto lines = log.fileLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("Caught QuorException executing task \"", 0)) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find("in reactor \"tarn::Reactor\".  queued call failed")) << lines[0];
}

TEST(ReactorInLoop, CallersRacingTheStopAllReturn) {
    Reactor r;
    ASSERT_EQ(0, r.start());
    constexpr int kThreads = 4;
    constexpr int kCalls = 500;
    std::atomic<int> ran{0};
    std::atomic<int> returned{0};
    std::atomic<int> destroyed{0};
    std::atomic<std::thread::id> where{};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                r.runInLoop([&] { ++ran; });
                ++returned;
                auto sentinel = std::make_shared<Sentinel>(&destroyed, &where);
                r.queueInLoop([sentinel = std::move(sentinel), &ran] { ++ran; });
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    r.stop();
    for (int i = 0; i < 2500 && returned.load() < kThreads * kCalls; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(kThreads * kCalls, returned.load()) << "a caller is stranded";
    for (auto& c : callers) c.join();
    EXPECT_EQ(kThreads * kCalls, destroyed.load()) << "every queued function is destroyed, run or not";
    EXPECT_GT(ran.load(), 0);
}
