// Reactor figures beside Boost.Asio doing the same work in the same run:
// (a) cross-thread post throughput and post-to-execute latency, (b) many
// scheduled tasks at random due times, (c) the cost of one pass over many
// watched sockets when one of them has an event.
#include "tarn/Reactor.h"

#include <boost/asio.hpp>

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

using namespace tarn;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPosts = 1'000'000;
constexpr int kSampleEvery = 1000;

struct Latencies {
    std::vector<int64_t> ns;
    void report(benchmark::State& state) {
        if (ns.empty()) return;
        std::sort(ns.begin(), ns.end());
        state.counters["p50_us"] = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
        state.counters["p99_us"] = static_cast<double>(ns[ns.size() * 99 / 100]) / 1000.0;
    }
};

// One task object per post, reused across iterations; the last one signals.
class CountTask : public Task {
public:
    void execute() override {
        if (sampled) latencies->push_back((Clock::now() - postedAt).count());
        if (--*remaining == 0) done->set();
    }
    void discard() override {}
    std::atomic<int>* remaining = nullptr;
    platform::Event* done = nullptr;
    std::vector<int64_t>* latencies = nullptr;
    Clock::time_point postedAt;
    bool sampled = false;
};

void ReactorPost(benchmark::State& state) {
    Reactor reactor;
    reactor.start();
    std::vector<CountTask> tasks(kPosts);
    std::atomic<int> remaining{0};
    platform::Event done(false, false);
    Latencies lat;
    for (auto _ : state) {
        remaining = kPosts;
        lat.ns.clear();
        for (int i = 0; i < kPosts; ++i) {
            CountTask& t = tasks[static_cast<size_t>(i)];
            t.remaining = &remaining;
            t.done = &done;
            t.latencies = &lat.ns;
            t.sampled = i % kSampleEvery == 0;
            if (t.sampled) t.postedAt = Clock::now();
            reactor.post(&t);
        }
        done.wait(platform::kInfinite);
    }
    reactor.stop();
    state.SetItemsProcessed(state.iterations() * kPosts);
    lat.report(state);
}
BENCHMARK(ReactorPost)->Unit(benchmark::kMillisecond)->UseRealTime();

void AsioPost(benchmark::State& state) {
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    std::thread loop([&] { io.run(); });
    std::atomic<int> remaining{0};
    platform::Event done(false, false);
    Latencies lat;
    for (auto _ : state) {
        remaining = kPosts;
        lat.ns.clear();
        for (int i = 0; i < kPosts; ++i) {
            const bool sampled = i % kSampleEvery == 0;
            const Clock::time_point at = sampled ? Clock::now() : Clock::time_point{};
            boost::asio::post(io, [&, sampled, at] {
                if (sampled) lat.ns.push_back((Clock::now() - at).count());
                if (--remaining == 0) done.set();
            });
        }
        done.wait(platform::kInfinite);
    }
    guard.reset();
    loop.join();
    state.SetItemsProcessed(state.iterations() * kPosts);
    lat.report(state);
}
BENCHMARK(AsioPost)->Unit(benchmark::kMillisecond)->UseRealTime();

// A watched socket pair; handleEvents drains what the peer wrote.
class PairSocket : public BaseSocket {
public:
    PairSocket() {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        mine = fds[0];
        peer = fds[1];
    }
    ~PairSocket() override {
        platform::netClose(mine);
        ::close(peer);
    }
    SocketHandle getSocket() const override { return mine; }
    int handleEvents() override {
        platform::NetworkEvents ev;
        platform::enumNetworkEvents(mine, ev);
        if (ev.lNetworkEvents & platform::FD_READ) {
            char b[16];
            while (platform::netRecv(mine, b, sizeof b) > 0) {
            }
            served.set();
        }
        return 0;
    }
    void onReactorStop() override {}
    int mine = -1;
    int peer = -1;
    platform::Event served{false, false};
};

// Post-to-execute latency of a lone task on an idle loop (the throughput runs
// above measure queueing, not latency).
class PingTask : public Task {
public:
    void execute() override {
        ranAt = Clock::now();
        done.set();
    }
    void discard() override {}
    Clock::time_point ranAt;
    platform::Event done{false, false};
};

// withSocket watches one idle socket pair, so the loop sleeps in epoll_wait
// beside its sockets; without one it sleeps on its wake counter.
void ReactorPostLatencyOn(benchmark::State& state, bool withSocket) {
    Reactor reactor;
    std::unique_ptr<PairSocket> idle;
    if (withSocket) {
        idle = std::make_unique<PairSocket>();
        reactor.addSocket(idle.get());
    }
    reactor.start();
    PingTask ping;
    Latencies lat;
    for (auto _ : state) {
        const auto at = Clock::now();
        reactor.post(&ping);
        ping.done.wait(platform::kInfinite);
        lat.ns.push_back((ping.ranAt - at).count());
    }
    reactor.stop();
    lat.report(state);
}

void ReactorPostLatency(benchmark::State& state) { ReactorPostLatencyOn(state, false); }
BENCHMARK(ReactorPostLatency)->Iterations(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void ReactorPostLatencyWithSocket(benchmark::State& state) { ReactorPostLatencyOn(state, true); }
BENCHMARK(ReactorPostLatencyWithSocket)->Iterations(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Asio's io_context doing the same; withSocket puts one socket in it, so its
// thread sleeps in epoll_wait and a post interrupts it through its eventfd,
// as our loop does while it watches sockets. Without a socket Asio sleeps on
// a condition variable, as ours sleeps on a futex then.
void AsioPostLatencyOn(benchmark::State& state, bool withSocket) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    if (withSocket) socket.open(boost::asio::ip::tcp::v4());
    auto guard = boost::asio::make_work_guard(io);
    std::thread loop([&] { io.run(); });
    platform::Event done(false, false);
    Clock::time_point ranAt;
    Latencies lat;
    for (auto _ : state) {
        const auto at = Clock::now();
        boost::asio::post(io, [&] {
            ranAt = Clock::now();
            done.set();
        });
        done.wait(platform::kInfinite);
        lat.ns.push_back((ranAt - at).count());
    }
    guard.reset();
    loop.join();
    lat.report(state);
}

void AsioPostLatency(benchmark::State& state) { AsioPostLatencyOn(state, false); }
BENCHMARK(AsioPostLatency)->Iterations(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void AsioPostLatencyWithSocket(benchmark::State& state) { AsioPostLatencyOn(state, true); }
BENCHMARK(AsioPostLatencyWithSocket)->Iterations(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// (b) Scheduled tasks at random due times within a 2 s window that opens
// once they are all scheduled; prints how late they ran, whether they ran in
// order, and how long scheduling them took.
class TimedTask : public Task {
public:
    void execute() override {
        ranAt = SystemTime::now();
        order = (*counter)++;
        if (order + 1 == total) done->set();
    }
    void discard() override {}
    SystemTime due{0};
    SystemTime ranAt{0};
    int order = -1;
    int total = 0;
    int* counter = nullptr;  // the reactor thread's only
    platform::Event* done = nullptr;
};

void ReactorScheduled(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Reactor reactor;
        reactor.start();
        std::vector<TimedTask> tasks(static_cast<size_t>(n));
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> offset(0, 2000);
        int counter = 0;
        platform::Event done(false, false);
        // Open the window once all are scheduled (100,000 take about 0.3 s),
        // so that none falls due while later ones are still being scheduled.
        SystemTime base = SystemTime::now();
        base += 1000 + n / 100;
        const auto t0 = Clock::now();
        for (auto& t : tasks) {
            t.due = base;
            t.due += offset(rng);
            t.total = n;
            t.counter = &counter;
            t.done = &done;
            reactor.schedule(t.due, &t);
        }
        const double scheduleMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        done.wait(60'000);
        reactor.stop();
        std::vector<int64_t> late;
        bool inOrder = true;
        std::vector<const TimedTask*> byOrder(static_cast<size_t>(n), nullptr);
        for (const auto& t : tasks) {
            if (t.order < 0) continue;
            byOrder[static_cast<size_t>(t.order)] = &t;
            SystemTime d = t.ranAt;
            d -= t.due;  // unchanged (not late) if it ran before its time: never
            late.push_back(t.ranAt >= t.due ? d.toMilliseconds() : -1);
        }
        for (size_t i = 1; i < byOrder.size(); ++i) {
            if (byOrder[i] == nullptr || byOrder[i - 1] == nullptr || byOrder[i]->due < byOrder[i - 1]->due) inOrder = false;
        }
        std::sort(late.begin(), late.end());
        state.counters["ran"] = static_cast<double>(late.size());
        state.counters["in_order"] = inOrder ? 1 : 0;
        state.counters["schedule_ms"] = scheduleMs;
        if (!late.empty()) {
            state.counters["late_p50_ms"] = static_cast<double>(late[late.size() / 2]);
            state.counters["late_p99_ms"] = static_cast<double>(late[late.size() * 99 / 100]);
            state.counters["late_max_ms"] = static_cast<double>(late.back());
        }
    }
}
BENCHMARK(ReactorScheduled)->Arg(10'000)->Arg(100'000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// (c) One event on one of many watched sockets: the time of one pass.
void ReactorOneEventManySockets(benchmark::State& state) {
    std::vector<std::unique_ptr<PairSocket>> sockets;
    Reactor reactor;
    for (int i = 0; i < state.range(0); ++i) {
        sockets.push_back(std::make_unique<PairSocket>());
        reactor.addSocket(sockets.back().get());
    }
    reactor.start();
    PairSocket& hot = *sockets[sockets.size() / 2];
    for (auto _ : state) {
        if (::write(hot.peer, "x", 1) != 1) state.SkipWithError("write");
        hot.served.wait(platform::kInfinite);
    }
    reactor.stop();
}
BENCHMARK(ReactorOneEventManySockets)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
