// Reactor figures beside libuv (and Boost.Asio for posting) doing the same
// work in the same process layout: the measuring thread on the first CPU,
// each loop on its own thread on the second (or all unpinned), the same
// counts and the same work per task. Every row runs the library and its
// peers alternately, once per iteration, and reports the medians:
//
//   Post/<pinned>/<alloc>    cross-thread posts per second and the latency of
//                            sampled tasks on that loaded loop; alloc: the
//                            caller allocates every task (freed when it ran)
//   PostLatencyIdle/<pinned> one post at a time to a sleeping loop: each
//                            after a pause longer than any look-before-sleep
//   Timers                   schedule 100,000 timers at random times within
//                            2 s, on the loop thread; fire them all once due.
//                            Beside libuv, a binary heap (std::push_heap) on
//                            a thread placed as the loops, held as long
//   OneEventManySockets/<n>  one readable socket among n watched
//
// ratio > 1 means the library does better than the peer named in it.
#include "BenchSupport.h"

#include "tarn/Reactor.h"

#include <benchmark/benchmark.h>
#include <boost/asio.hpp>
#include <uv.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace tarn;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 5;
constexpr int kPosts = 1'000'000;
constexpr int kSampleEvery = 1000;
constexpr int kPings = 5'000;
constexpr int kTimers = 100'000;
constexpr int kTimerWindowMs = 2000;
constexpr uint32_t kWaitMs = 60'000;

using benchpin::median;

double p50(std::vector<int64_t>& ns) {
    if (ns.empty()) return 0;
    std::sort(ns.begin(), ns.end());
    return static_cast<double>(ns[ns.size() / 2]);
}

double nsSince(Clock::time_point from, Clock::time_point to) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
}

bool waitDone(platform::Event& done, benchmark::State& state) {
    if (done.wait(kWaitMs) == platform::kWaitObject0) return true;
    state.SkipWithError("timed out");
    return false;
}

using benchpin::PinnedReactor;

// What every posted unit of work does, whichever loop runs it; the loop
// thread's only once posting has begun.
struct Sink {
    int remaining = 0;
    platform::Event* done = nullptr;
    std::vector<int64_t>* latencies = nullptr;
    void run(bool sampled, Clock::time_point postedAt) {
        if (sampled) latencies->push_back((Clock::now() - postedAt).count());
        if (--remaining == 0) done->set();
    }
};

class PostTask : public Task {
public:
    void execute() override {
        sink->run(sampled, postedAt);
        if (owned) delete this;
    }
    void discard() override {
        if (owned) delete this;
    }
    Sink* sink = nullptr;
    Clock::time_point postedAt;
    bool sampled = false;
    bool owned = false;
};

// libuv has no cross-thread post: the usual form is a queue under a mutex
// and uv_async_send, which coalesces wake-ups while one is pending.
struct UvItem {
    UvItem* next = nullptr;
    void (*fn)(UvItem*) = nullptr;
    Sink* sink = nullptr;
    Clock::time_point postedAt;
    bool sampled = false;
    void* context = nullptr;
};

class UvLoop {
public:
    explicit UvLoop(int cpu) {
        uv_loop_init(&loop_);
        uv_async_init(&loop_, &async_, &UvLoop::onAsync);
        async_.data = this;
        thread_ = std::thread([this, cpu] {
            benchpin::pinSelf(cpu);
            uv_run(&loop_, UV_RUN_DEFAULT);
        });
    }
    ~UvLoop() {
        stopping_.store(true);
        uv_async_send(&async_);
        thread_.join();
        uv_loop_close(&loop_);
    }
    UvLoop(const UvLoop&) = delete;
    UvLoop& operator=(const UvLoop&) = delete;

    // Any thread.
    void post(UvItem* item) {
        item->next = nullptr;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            *tail_ = item;
            tail_ = &item->next;
        }
        uv_async_send(&async_);
    }
    uv_loop_t* loop() { return &loop_; }

private:
    static void onAsync(uv_async_t* async) {
        auto* self = static_cast<UvLoop*>(async->data);
        UvItem* list;
        {
            std::lock_guard<std::mutex> guard(self->mutex_);
            list = self->head_;
            self->head_ = nullptr;
            self->tail_ = &self->head_;
        }
        while (list != nullptr) {
            UvItem* next = list->next;
            list->fn(list);
            list = next;
        }
        if (self->stopping_.load()) uv_close(reinterpret_cast<uv_handle_t*>(&self->async_), nullptr);
    }

    uv_loop_t loop_{};
    uv_async_t async_{};
    std::mutex mutex_;
    UvItem* head_ = nullptr;  // guarded by mutex_
    UvItem** tail_ = &head_;  // guarded by mutex_
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

void runUvItem(UvItem* item) { item->sink->run(item->sampled, item->postedAt); }
void runAndFreeUvItem(UvItem* item) {
    runUvItem(item);
    delete item;
}

class AsioLoop {
public:
    explicit AsioLoop(int cpu) : guard_(boost::asio::make_work_guard(io_)) {
        thread_ = std::thread([this, cpu] {
            benchpin::pinSelf(cpu);
            io_.run();
        });
    }
    ~AsioLoop() {
        guard_.reset();
        thread_.join();
    }
    boost::asio::io_context& io() { return io_; }

private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::thread thread_;
};

// ---- posting: throughput and latency on the loaded loop

void Post(benchmark::State& state) {
    const bool pinned = state.range(0) != 0;
    const bool alloc = state.range(1) != 0;
    const benchpin::Placement place = benchpin::placement(pinned);
    benchpin::ScopedPin pin(place.first);
    PinnedReactor reactor(place.second);
    reactor.start();
    UvLoop uv(place.second);
    AsioLoop asio(place.second);
    std::vector<PostTask> tasks(alloc ? 0 : kPosts);
    std::vector<UvItem> items(alloc ? 0 : kPosts);
    platform::Event done(false, false);
    std::vector<int64_t> lat;
    std::vector<double> tarnRate, uvRate, asioRate, tarnP50, uvP50, asioP50;
    auto measure = [&](auto&& postAll, std::vector<double>& rate, std::vector<double>& latency) {
        Sink sink{kPosts, &done, &lat};
        lat.clear();
        lat.reserve(kPosts / kSampleEvery + 1);
        const auto t0 = Clock::now();
        postAll(sink);
        if (!waitDone(done, state)) return;
        rate.push_back(kPosts / (nsSince(t0, Clock::now()) / 1e9));
        latency.push_back(p50(lat));
    };
    for (auto _ : state) {
        measure(
            [&](Sink& sink) {
                for (int i = 0; i < kPosts; ++i) {
                    PostTask* t = alloc ? new PostTask : &tasks[static_cast<size_t>(i)];
                    t->owned = alloc;
                    t->sink = &sink;
                    t->sampled = i % kSampleEvery == 0;
                    if (t->sampled) t->postedAt = Clock::now();
                    reactor.post(t);
                }
            },
            tarnRate, tarnP50);
        measure(
            [&](Sink& sink) {
                for (int i = 0; i < kPosts; ++i) {
                    UvItem* item = alloc ? new UvItem : &items[static_cast<size_t>(i)];
                    item->fn = alloc ? &runAndFreeUvItem : &runUvItem;
                    item->sink = &sink;
                    item->sampled = i % kSampleEvery == 0;
                    if (item->sampled) item->postedAt = Clock::now();
                    uv.post(item);
                }
            },
            uvRate, uvP50);
        measure(
            [&](Sink& sink) {
                for (int i = 0; i < kPosts; ++i) {
                    UvItem* item = alloc ? new UvItem : &items[static_cast<size_t>(i)];
                    item->sink = &sink;
                    item->sampled = i % kSampleEvery == 0;
                    if (item->sampled) item->postedAt = Clock::now();
                    if (alloc) {
                        boost::asio::post(asio.io(), [item] { runAndFreeUvItem(item); });
                    } else {
                        boost::asio::post(asio.io(), [item] { runUvItem(item); });
                    }
                }
            },
            asioRate, asioP50);
    }
    reactor.stop();
    state.counters["tarn_Mps"] = median(tarnRate) / 1e6;
    state.counters["uv_Mps"] = median(uvRate) / 1e6;
    state.counters["asio_Mps"] = median(asioRate) / 1e6;
    state.counters["ratio_uv"] = median(tarnRate) / median(uvRate);
    state.counters["tarn_p50_us"] = median(tarnP50) / 1000;
    state.counters["uv_p50_us"] = median(uvP50) / 1000;
    state.counters["asio_p50_us"] = median(asioP50) / 1000;
    state.SetLabel(place.label() + (alloc ? " caller-alloc" : " no-alloc"));
}
BENCHMARK(Post)->ArgsProduct({{1, 0}, {0, 1}})->Iterations(kRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- posting: one task at a time to an idle loop

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

struct UvPing {
    UvItem item;
    Clock::time_point ranAt;
    platform::Event done{false, false};
};

void runUvPing(UvItem* item) {
    auto* ping = static_cast<UvPing*>(item->context);
    ping->ranAt = Clock::now();
    ping->done.set();
}

// Long enough for a loop to have gone to sleep (the reactor looks for new
// posts for 20 microseconds first), short enough to keep the row quick.
void idlePause() {
    const auto until = Clock::now() + std::chrono::microseconds(200);
    while (Clock::now() < until) {
    }
}

void PostLatencyIdle(benchmark::State& state) {
    const benchpin::Placement place = benchpin::placement(state.range(0) != 0);
    benchpin::ScopedPin pin(place.first);
    PinnedReactor reactor(place.second);
    reactor.start();
    UvLoop uv(place.second);
    PingTask ping;
    UvPing uvPing;
    uvPing.item.fn = &runUvPing;
    uvPing.item.context = &uvPing;
    std::vector<int64_t> ns;
    ns.reserve(kPings);
    std::vector<double> tarnP50, uvP50;
    for (auto _ : state) {
        ns.clear();
        for (int i = 0; i < kPings; ++i) {
            idlePause();
            const auto at = Clock::now();
            reactor.post(&ping);
            if (!waitDone(ping.done, state)) return;
            ns.push_back((ping.ranAt - at).count());
        }
        tarnP50.push_back(p50(ns));
        ns.clear();
        for (int i = 0; i < kPings; ++i) {
            idlePause();
            const auto at = Clock::now();
            uv.post(&uvPing.item);
            if (!waitDone(uvPing.done, state)) return;
            ns.push_back((uvPing.ranAt - at).count());
        }
        uvP50.push_back(p50(ns));
    }
    reactor.stop();
    state.counters["tarn_p50_us"] = median(tarnP50) / 1000;
    state.counters["uv_p50_us"] = median(uvP50) / 1000;
    state.counters["ratio_uv"] = median(uvP50) / median(tarnP50);
    state.SetLabel(place.label());
}
BENCHMARK(PostLatencyIdle)->Arg(1)->Arg(0)->Iterations(kRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- timers

// Counts the timers fired; the last one notes the time. The loop thread's.
struct FireCount {
    int fired = 0;
    int total = 0;
    Clock::time_point lastAt;
    platform::Event* done = nullptr;
    void fire() {
        if (++fired == total) {
            lastAt = Clock::now();
            done->set();
        }
    }
};

class TimerTask : public Task {
public:
    void execute() override { count->fire(); }
    void discard() override {}
    FireCount* count = nullptr;
};

// Schedules every timer from the loop thread, then holds the loop until all
// are due, so that the loop fires them in one go once this returns.
class ScheduleAll : public Task {
public:
    void execute() override {
        SystemTime base = SystemTime::now();
        const auto t0 = Clock::now();
        for (size_t i = 0; i < timers->size(); ++i) {
            SystemTime due = base;
            due += (*offsets)[i];
            reactor->schedule(due, &(*timers)[i]);
        }
        scheduleNs = nsSince(t0, Clock::now()) / static_cast<double>(timers->size());
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(kTimerWindowMs + 20));
        releasedAt = Clock::now();
    }
    void discard() override {}
    Reactor* reactor = nullptr;
    std::vector<TimerTask>* timers = nullptr;
    const std::vector<int>* offsets = nullptr;
    double scheduleNs = 0;
    Clock::time_point releasedAt;
};

struct UvTimers {
    UvItem item;
    std::vector<uv_timer_t> timers;
    const std::vector<int>* offsets = nullptr;
    FireCount* count = nullptr;
    uv_loop_t* loop = nullptr;
    double scheduleNs = 0;
    Clock::time_point releasedAt;
};

void onUvTimer(uv_timer_t* timer) { static_cast<FireCount*>(timer->data)->fire(); }

void runUvScheduleAll(UvItem* item) {
    auto* self = static_cast<UvTimers*>(item->context);
    uv_update_time(self->loop);
    const auto t0 = Clock::now();
    for (size_t i = 0; i < self->timers.size(); ++i) {
        uv_timer_start(&self->timers[i], &onUvTimer, static_cast<uint64_t>((*self->offsets)[i]), 0);
    }
    self->scheduleNs = nsSince(t0, Clock::now()) / static_cast<double>(self->timers.size());
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(kTimerWindowMs + 20));
    self->releasedAt = Clock::now();
}

// The heap peer: the same entries (time, then scheduling order) in a vector
// kept as a binary heap, on a thread placed as the loops are.
struct HeapEntry {
    int64_t due;
    uint64_t seq;
    TimerTask* task;
    bool operator>(const HeapEntry& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

void Timers(benchmark::State& state) {
    const benchpin::Placement place = benchpin::placement(state.range(0) != 0);
    benchpin::ScopedPin pin(place.first);
    std::vector<int> offsets(kTimers);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> offset(0, kTimerWindowMs);
    for (int& o : offsets) o = offset(rng);

    PinnedReactor reactor(place.second);
    reactor.start();
    platform::Event done(false, false);
    FireCount count;
    count.done = &done;
    count.total = kTimers;
    std::vector<TimerTask> timers(kTimers);
    for (TimerTask& t : timers) t.count = &count;
    ScheduleAll scheduleAll;
    scheduleAll.reactor = &reactor;
    scheduleAll.timers = &timers;
    scheduleAll.offsets = &offsets;

    // Declared before the loop, so that the loop has ended when they go.
    UvTimers uvTimers;
    UvLoop uv(place.second);
    uvTimers.loop = uv.loop();
    uvTimers.timers.resize(kTimers);
    uvTimers.offsets = &offsets;
    uvTimers.count = &count;
    uvTimers.item.context = &uvTimers;
    for (uv_timer_t& t : uvTimers.timers) t.data = &count;
    {
        // uv_timer_init belongs on the loop thread.
        struct Init {
            UvItem item;
            UvTimers* timers;
            uv_loop_t* loop;
            platform::Event done{false, false};
        } init{{}, &uvTimers, uv.loop()};
        init.item.context = &init;
        init.item.fn = [](UvItem* item) {
            auto* self = static_cast<Init*>(item->context);
            for (uv_timer_t& t : self->timers->timers) {
                void* data = t.data;
                uv_timer_init(self->loop, &t);
                t.data = data;
            }
            self->done.set();
        };
        uv.post(&init.item);
        if (!waitDone(init.done, state)) return;
    }
    uvTimers.item.fn = &runUvScheduleAll;

    std::vector<HeapEntry> heap;
    std::vector<double> tarnSchedule, uvSchedule, heapSchedule, tarnFire, uvFire, heapFire;
    for (auto _ : state) {
        count.fired = 0;
        reactor.post(&scheduleAll);
        if (!waitDone(done, state)) return;
        tarnSchedule.push_back(scheduleAll.scheduleNs);
        tarnFire.push_back(nsSince(scheduleAll.releasedAt, count.lastAt) / kTimers);

        count.fired = 0;
        uv.post(&uvTimers.item);
        if (!waitDone(done, state)) return;
        uvSchedule.push_back(uvTimers.scheduleNs);
        uvFire.push_back(nsSince(uvTimers.releasedAt, count.lastAt) / kTimers);

        count.fired = 0;
        std::thread heapThread([&] {
            benchpin::pinSelf(place.second);
            heap.clear();
            uint64_t seq = 0;
            const auto t0 = Clock::now();
            const int64_t base = std::chrono::duration_cast<std::chrono::milliseconds>(t0.time_since_epoch()).count();
            for (int i = 0; i < kTimers; ++i) {
                heap.push_back(
                    HeapEntry{base + offsets[static_cast<size_t>(i)], seq++, &timers[static_cast<size_t>(i)]});
                std::push_heap(heap.begin(), heap.end(), std::greater<>());
            }
            const auto t1 = Clock::now();
            // Held as the loops are, so that all three fire after the same
            // pause (caches as cold or warm for each).
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(kTimerWindowMs + 20));
            const auto released = Clock::now();
            while (!heap.empty()) {
                std::pop_heap(heap.begin(), heap.end(), std::greater<>());
                TimerTask* task = heap.back().task;
                heap.pop_back();
                task->execute();
            }
            heapSchedule.push_back(nsSince(t0, t1) / kTimers);
            heapFire.push_back(nsSince(released, count.lastAt) / kTimers);
        });
        heapThread.join();
        // The heap's last timer signalled `done` too, with no one waiting:
        // clear it, or the next run's wait would return at once.
        done.reset();
    }
    reactor.stop();
    state.counters["tarn_sched_ns"] = median(tarnSchedule);
    state.counters["uv_sched_ns"] = median(uvSchedule);
    state.counters["heap_sched_ns"] = median(heapSchedule);
    state.counters["sched_ratio_uv"] = median(uvSchedule) / median(tarnSchedule);
    state.counters["tarn_fire_ns"] = median(tarnFire);
    state.counters["uv_fire_ns"] = median(uvFire);
    state.counters["heap_fire_ns"] = median(heapFire);
    state.counters["fire_ratio_heap"] = median(heapFire) / median(tarnFire);
    state.counters["fire_ratio_uv"] = median(uvFire) / median(tarnFire);
    state.SetLabel(place.label());
}
BENCHMARK(Timers)->Arg(1)->Iterations(kRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- one event among many watched sockets

// A watched socket pair; handleEvents drains what the peer wrote.
class PairSocket : public BaseSocket {
public:
    PairSocket() {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds);
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

struct UvPollPair {
    uv_poll_t poll{};
    int mine = -1;
    int peer = -1;
    platform::Event served{false, false};
};

void onUvReadable(uv_poll_t* poll, int status, int events) {
    auto* pair = static_cast<UvPollPair*>(poll->data);
    if (status < 0 || (events & UV_READABLE) == 0) return;
    char b[16];
    while (::recv(pair->mine, b, sizeof b, MSG_DONTWAIT) > 0) {
    }
    pair->served.set();
}

void OneEventManySockets(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const benchpin::Placement place = benchpin::placement(true);
    benchpin::ScopedPin pin(place.first);
    std::vector<std::unique_ptr<PairSocket>> sockets;
    PinnedReactor reactor(place.second);
    for (int i = 0; i < n; ++i) {
        sockets.push_back(std::make_unique<PairSocket>());
        reactor.addSocket(sockets.back().get());
    }
    reactor.start();
    std::vector<std::unique_ptr<UvPollPair>> pairs;  // outlive the loop that closes them
    UvLoop uv(place.second);
    for (int i = 0; i < n; ++i) {
        auto p = std::make_unique<UvPollPair>();
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds);
        p->mine = fds[0];
        p->peer = fds[1];
        pairs.push_back(std::move(p));
    }
    struct Start {
        UvItem item;
        std::vector<std::unique_ptr<UvPollPair>>* pairs;
        uv_loop_t* loop;
        bool stop;
        platform::Event done{false, false};
    } start{{}, &pairs, uv.loop(), false};
    start.item.context = &start;
    start.item.fn = [](UvItem* item) {
        auto* self = static_cast<Start*>(item->context);
        for (auto& p : *self->pairs) {
            if (self->stop) {
                uv_poll_stop(&p->poll);
                uv_close(reinterpret_cast<uv_handle_t*>(&p->poll), nullptr);
            } else {
                uv_poll_init(self->loop, &p->poll, p->mine);
                p->poll.data = p.get();
                uv_poll_start(&p->poll, UV_READABLE, &onUvReadable);
            }
        }
        self->done.set();
    };
    uv.post(&start.item);
    if (!waitDone(start.done, state)) return;
    PairSocket& hot = *sockets[sockets.size() / 2];
    UvPollPair& uvHot = *pairs[pairs.size() / 2];
    constexpr int kEvents = 5000;
    std::vector<int64_t> ns;
    std::vector<double> tarnP50, uvP50;
    for (auto _ : state) {
        ns.clear();
        for (int i = 0; i < kEvents; ++i) {
            const auto at = Clock::now();
            if (::write(hot.peer, "x", 1) != 1) state.SkipWithError("write");
            if (!waitDone(hot.served, state)) return;
            ns.push_back((Clock::now() - at).count());
        }
        tarnP50.push_back(p50(ns));
        ns.clear();
        for (int i = 0; i < kEvents; ++i) {
            const auto at = Clock::now();
            if (::write(uvHot.peer, "x", 1) != 1) state.SkipWithError("write");
            if (!waitDone(uvHot.served, state)) return;
            ns.push_back((Clock::now() - at).count());
        }
        uvP50.push_back(p50(ns));
    }
    reactor.stop();
    start.stop = true;
    uv.post(&start.item);
    waitDone(start.done, state);
    for (auto& p : pairs) {
        ::close(p->mine);
        ::close(p->peer);
    }
    state.counters["tarn_p50_us"] = median(tarnP50) / 1000;
    state.counters["uv_p50_us"] = median(uvP50) / 1000;
    state.counters["ratio_uv"] = median(uvP50) / median(tarnP50);
    state.SetLabel(place.label());
}
BENCHMARK(OneEventManySockets)->Arg(1)->Arg(1000)->Iterations(kRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
