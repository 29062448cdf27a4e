// Container costs: TBatchQueue push and takeAll with one and four producers,
// TPriorityQueue ordered insertion into 1,000 to 100,000 entries. Figures are
// ns per element ("ns_per_op").
#include "tarn/TBatchQueue.h"
#include "tarn/TList.h"
#include "tarn/TPriorityQueue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

using tarn::TBatchQueue;
using tarn::TList;
using tarn::TPriorityQueue;

namespace {

constexpr int kPerProducer = 100000;

void reportNsPerOp(benchmark::State& state, int64_t opsPerIteration) {
    state.SetItemsProcessed(state.iterations() * opsPerIteration);
    state.counters["ns_per_op"] = benchmark::Counter(static_cast<double>(state.iterations() * opsPerIteration),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// N producer threads each push kPerProducer pointers while the measuring
// thread takes them in batches and walks each batch, as the reactor does.
void BM_BatchQueuePushTakeAll(benchmark::State& state) {
    const int producers = static_cast<int>(state.range(0));
    const int64_t total = int64_t{producers} * kPerProducer;
    static int payload;
    for (auto _ : state) {
        TBatchQueue<int*> q;
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&] {
                while (!go.load(std::memory_order_acquire)) {
                }
                for (int i = 0; i < kPerProducer; ++i) q.push(&payload);
            });
        }
        go.store(true, std::memory_order_release);
        int64_t taken = 0;
        while (taken < total) {
            TList<int*> batch;
            const int n = q.takeAll(batch);
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            for (TList<int*>::Iterator it(batch); it.hasCurrent(); it.Step()) {
                benchmark::DoNotOptimize(it.iterator());
            }
            taken += n;
        }
        for (auto& t : threads) t.join();
    }
    reportNsPerOp(state, total);
}
BENCHMARK(BM_BatchQueuePushTakeAll)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ordered insertion of N entries with random keys (timed tasks due at
// scattered times), then the queue is emptied outside the measurement.
void BM_PriorityQueuePush(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::mt19937_64 rng(42);
    std::vector<int64_t> keys(n);
    for (auto& k : keys) k = static_cast<int64_t>(rng() % 1'000'000'000);
    static int payload;
    for (auto _ : state) {
        TPriorityQueue<int*, int64_t> q;
        for (int i = 0; i < n; ++i) q.push(&payload, keys[i]);
        benchmark::DoNotOptimize(q.getCount());
        state.PauseTiming();
        while (q.getCount() > 0) q.pop();
        state.ResumeTiming();
    }
    reportNsPerOp(state, n);
}
BENCHMARK(BM_PriorityQueuePush)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The common timer case: each new entry is due after all others.
void BM_PriorityQueuePushAscendingKeys(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    static int payload;
    for (auto _ : state) {
        TPriorityQueue<int*, int64_t> q;
        for (int i = 0; i < n; ++i) q.push(&payload, i);
        benchmark::DoNotOptimize(q.getCount());
        state.PauseTiming();
        while (q.getCount() > 0) q.pop();
        state.ResumeTiming();
    }
    reportNsPerOp(state, n);
}
BENCHMARK(BM_PriorityQueuePushAscendingKeys)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
