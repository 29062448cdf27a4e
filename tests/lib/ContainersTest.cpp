#include "tarn/QuorException.h"
#include "tarn/TBatchQueue.h"
#include "tarn/TList.h"
#include "tarn/TPriorityQueue.h"
#include "tarn/TQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using tarn::PriorityData;
using tarn::QuorException;
using tarn::TBatchQueue;
using tarn::TList;
using tarn::TPriorityQueue;
using tarn::TQueue;

namespace {

const char* const kRemoveMsg = "TList::remove(): value does not exist";
const char* const kIteratorMsg = "TList::Iterator::iterator(): the interator is null.";
const char* const kStepMsg = "TList::Iterator::Step(): No more entries.  Unable to step.";
const char* const kPopMsg = "pop(): the list is empty.  Nothing to pop.";
const char* const kPeekMsg = "peek(): the list is empty.  Nothing to peek at.";

// Runs `op` and checks that it raised a QuorException with exactly `message`.
void expectQuor(const std::function<void()>& op, const char* message) {
    try {
        op();
        ADD_FAILURE() << "no exception, expected \"" << message << "\"";
    } catch (const QuorException& e) {
        EXPECT_EQ(std::string(message), std::string(e.getMessage()));
    } catch (...) {
        ADD_FAILURE() << "an exception other than QuorException";
    }
}

// Checks every link invariant and returns the values front to back.
template <typename T>
std::vector<T> contents(const TList<T>& list) {
    std::vector<T> out;
    using Node = typename TList<T>::Node;
    const Node* n = list.first();
    const Node* prev = nullptr;
    if (list.getCount() == 0) {
        EXPECT_EQ(nullptr, list.first());
        EXPECT_EQ(nullptr, list.last());
    }
    while (n != nullptr && out.size() <= static_cast<size_t>(list.getCount())) {
        EXPECT_EQ(prev, n->prev) << "broken prev link at position " << out.size();
        out.push_back(n->value);
        prev = n;
        n = n->next;
    }
    EXPECT_EQ(prev, list.last()) << "tail is not the last node";
    EXPECT_EQ(static_cast<size_t>(list.getCount()), out.size()) << "count disagrees with the links";
    return out;
}

// Equal by key only, so that equal values stay distinguishable by tag.
struct Item {
    int key;
    int tag;
    bool operator==(const Item& o) const { return key == o.key; }
};

std::vector<int> tags(const TList<Item>& list) {
    std::vector<int> out;
    for (const Item& i : contents(list)) out.push_back(i.tag);
    return out;
}

using Ints = std::vector<int>;

}  // namespace

// ---- TList

TEST(TList, AddAppendsAndReturnsTheCount) {
    TList<int> list;
    EXPECT_EQ(Ints{}, contents(list));
    EXPECT_EQ(1, list.add(10));
    EXPECT_EQ(2, list.add(20));
    EXPECT_EQ(3, list.add(30));
    EXPECT_EQ((Ints{10, 20, 30}), contents(list));
}

TEST(TList, RemoveByValueKeepsTheLinksAtEveryPosition) {
    TList<int> list;
    for (int v : {1, 2, 3, 4, 5}) list.add(v);
    list.remove(3);  // middle
    EXPECT_EQ((Ints{1, 2, 4, 5}), contents(list));
    list.remove(1);  // head
    EXPECT_EQ((Ints{2, 4, 5}), contents(list));
    list.remove(5);  // tail
    EXPECT_EQ((Ints{2, 4}), contents(list));
    list.remove(4);
    list.remove(2);  // the only one
    EXPECT_EQ(Ints{}, contents(list));
    EXPECT_EQ(1, list.add(7));
    EXPECT_EQ(Ints{7}, contents(list));
}

TEST(TList, RemoveTakesOnlyTheFirstOfEqualValues) {
    TList<Item> list;
    list.add({5, 1});
    list.add({6, 2});
    list.add({5, 3});
    list.remove(Item{5, 99});
    EXPECT_EQ((Ints{2, 3}), tags(list));
    list.remove(Item{5, 99});
    EXPECT_EQ(Ints{2}, tags(list));
}

TEST(TList, RemoveOfAnAbsentValueRaisesAndChangesNothing) {
    TList<int> list;
    expectQuor([&] { list.remove(1); }, kRemoveMsg);
    list.add(1);
    list.add(2);
    expectQuor([&] { list.remove(3); }, kRemoveMsg);
    EXPECT_EQ((Ints{1, 2}), contents(list));
}

TEST(TList, RemoveThroughIteratorMovesItToTheNextElement) {
    TList<int> list;
    for (int v : {1, 2, 3, 4}) list.add(v);
    TList<int>::Iterator it(list);
    it.Step();  // on 2
    list.remove(it);
    ASSERT_TRUE(it.hasCurrent());
    EXPECT_EQ(3, it.iterator());
    EXPECT_EQ((Ints{1, 3, 4}), contents(list));
    it.Step();  // on 4, the tail
    list.remove(it);
    EXPECT_FALSE(it.hasCurrent());
    EXPECT_EQ((Ints{1, 3}), contents(list));
    expectQuor([&] { list.remove(it); }, kRemoveMsg);
    EXPECT_EQ((Ints{1, 3}), contents(list));

    // Removing everything from the head through one iterator.
    TList<int>::Iterator all(list);
    while (all.hasCurrent()) list.remove(all);
    EXPECT_EQ(Ints{}, contents(list));
}

TEST(TList, RemoveThroughAnotherListsIteratorRaises) {
    TList<int> a, b;
    a.add(1);
    b.add(1);
    TList<int>::Iterator onB(b);
    expectQuor([&] { a.remove(onB); }, kRemoveMsg);
    EXPECT_EQ(Ints{1}, contents(a));
    EXPECT_EQ(Ints{1}, contents(b));
}

TEST(TList, IteratorWalksAndStopsWithItsMessages) {
    TList<int> empty;
    TList<int>::Iterator none(empty);
    EXPECT_FALSE(none.hasCurrent());
    expectQuor([&] { none.iterator(); }, kIteratorMsg);
    expectQuor([&] { none.Step(); }, kStepMsg);

    TList<int> list;
    for (int v : {1, 2, 3}) list.add(v);
    TList<int>::Iterator it(list);
    std::vector<int> seen;
    while (it.hasCurrent()) {
        seen.push_back(it.iterator());
        it.iterator() *= 10;  // a reference to the stored value
        int* next = it.Step();
        if (next != nullptr) {
            EXPECT_EQ(seen.back() + 1, *next);
        }
    }
    EXPECT_EQ((Ints{1, 2, 3}), seen);
    EXPECT_EQ((Ints{10, 20, 30}), contents(list));
    // The step off the last element did not raise; the next one does.
    expectQuor([&] { it.Step(); }, kStepMsg);
    expectQuor([&] { it.iterator(); }, kIteratorMsg);
}

TEST(TList, NeverDeletesWhatItsPointersPointTo) {
    int* a = new int(1);
    int* b = new int(2);
    {
        TList<int*> list;
        list.add(a);
        list.add(b);
        list.remove(a);
    }
    EXPECT_EQ(3, *a + *b);  // still alive; the sanitizers catch a double delete
    delete a;
    delete b;
}

// ---- TQueue

TEST(TQueue, PopsInArrivalOrder) {
    TQueue<int> q;
    for (int v : {4, 5, 6}) q.add(v);
    EXPECT_EQ(4, q.peek());
    q.peek() = 40;
    EXPECT_EQ(40, q.pop());
    EXPECT_EQ((Ints{5, 6}), contents(q));
    EXPECT_EQ(5, q.pop());
    EXPECT_EQ(6, q.pop());
    EXPECT_EQ(Ints{}, contents(q));
}

TEST(TQueue, EmptyQueueRaisesAndStaysEmpty) {
    TQueue<int> q;
    expectQuor([&] { q.pop(); }, kPopMsg);
    expectQuor([&] { q.peek(); }, kPeekMsg);
    EXPECT_EQ(Ints{}, contents(q));
    q.add(1);
    EXPECT_EQ(1, q.pop());
    expectQuor([&] { q.pop(); }, kPopMsg);
    EXPECT_EQ(Ints{}, contents(q));
}

// ---- TBatchQueue

TEST(TBatchQueue, TakeAllAppendsAfterTheDestinationsOwnElements) {
    TBatchQueue<int> q;
    TList<int> dest;
    dest.add(1);
    dest.add(2);
    for (int v : {3, 4, 5}) q.push(v);
    const auto* firstMoved = q.first();
    EXPECT_EQ(3, q.takeAll(dest));
    EXPECT_EQ((Ints{1, 2, 3, 4, 5}), contents(dest));  // also checks the junction's prev link
    EXPECT_EQ(Ints{}, contents(q));
    // Relinked, not copied.
    EXPECT_EQ(firstMoved, dest.first()->next->next);
    // The emptied queue works on.
    q.push(6);
    EXPECT_EQ(1, q.takeAll(dest));
    EXPECT_EQ((Ints{1, 2, 3, 4, 5, 6}), contents(dest));
}

TEST(TBatchQueue, TakeAllIntoAnEmptyList) {
    TBatchQueue<int> q;
    TList<int> dest;
    q.push(1);
    q.push(2);
    EXPECT_EQ(2, q.takeAll(dest));
    EXPECT_EQ((Ints{1, 2}), contents(dest));
    EXPECT_EQ(Ints{}, contents(q));
}

TEST(TBatchQueue, TakeAllFromAnEmptyQueueChangesNothing) {
    TBatchQueue<int> q;
    TList<int> dest;
    EXPECT_EQ(0, q.takeAll(dest));
    EXPECT_EQ(Ints{}, contents(dest));
    dest.add(1);
    dest.add(2);
    EXPECT_EQ(0, q.takeAll(dest));
    EXPECT_EQ((Ints{1, 2}), contents(dest));
}

TEST(TBatchQueue, PutAllMovesTheSourceToTheEnd) {
    TBatchQueue<int> q;
    TList<int> src;
    q.putAll(src);  // empty source: nothing happens
    EXPECT_EQ(Ints{}, contents(q));
    src.add(1);
    src.add(2);
    q.putAll(src);
    EXPECT_EQ((Ints{1, 2}), contents(q));
    EXPECT_EQ(Ints{}, contents(src));
    src.add(3);
    q.push(4);
    q.putAll(src);
    EXPECT_EQ((Ints{1, 2, 4, 3}), contents(q));
    EXPECT_EQ(Ints{}, contents(src));
}

TEST(TBatchQueue, TransferWithItselfChangesNothing) {
    TBatchQueue<int> q;
    q.push(1);
    q.push(2);
    EXPECT_EQ(0, q.takeAll(q));
    q.putAll(q);
    EXPECT_EQ((Ints{1, 2}), contents(q));
}

namespace {

// `producers` threads push 100,000 tagged values each while one consumer
// takes them in batches: nothing lost, nothing doubled, each producer's order
// kept. With `recycle` the consumer hands every served batch back, so
// producers take nodes it has just released, and every other push goes
// through pushUnlessClosed.
void producersAndOneConsumer(uint32_t producerCount, bool recycle) {
    constexpr uint32_t kPerProducer = 100000;
    TBatchQueue<uint32_t> q;
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < producerCount; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (uint32_t i = 0; i < kPerProducer; ++i) {
                if (!recycle || i % 2 == 0) {
                    q.push((p << 24) | i);
                } else if (!q.pushUnlessClosed((p << 24) | i)) {
                    ADD_FAILURE() << "refused while open";
                    return;
                }
            }
        });
    }
    go.store(true);

    std::vector<uint32_t> next(producerCount, 0);
    uint64_t received = 0;
    int errors = 0;
    int batches = 0;
    const auto start = std::chrono::steady_clock::now();
    TQueue<uint32_t> batch;
    while (received < producerCount * kPerProducer &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(90)) {
        if (q.takeAll(batch) == 0) {
            std::this_thread::yield();
            continue;
        }
        ++batches;
        for (TList<uint32_t>::Iterator it(batch); it.hasCurrent(); it.Step()) {
            const uint32_t v = it.iterator();
            const uint32_t p = v >> 24;
            const uint32_t seq = v & 0xFFFFFF;
            if (p >= producerCount || seq != next[p]) {
                if (++errors < 5) ADD_FAILURE() << "producer " << p << " gave " << seq;
            } else {
                ++next[p];
            }
            ++received;
        }
        if (recycle) {
            q.recycle(batch);
        } else {
            while (batch.getCount() > 0) batch.pop();
        }
    }
    for (auto& t : producers) t.join();
    TList<uint32_t> rest;
    EXPECT_EQ(0, q.takeAll(rest)) << "values left behind or duplicated";
    EXPECT_EQ(uint64_t{producerCount} * kPerProducer, received);
    EXPECT_EQ(0, errors);
    for (uint32_t n : next) EXPECT_EQ(kPerProducer, n);
    EXPECT_GT(batches, 0);
}

}  // namespace

TEST(TBatchQueue, FourProducersOneConsumerLoseAndDuplicateNothing) { producersAndOneConsumer(4, false); }

// ---- TPriorityQueue

namespace {

// A two-part key with only the comparisons the queue needs.
struct Key {
    int major;
    int minor;
    bool operator<=(const Key& o) const { return major < o.major || (major == o.major && minor <= o.minor); }
    bool operator>=(const Key& o) const { return o <= *this; }
};

template <typename T, typename P>
std::vector<T> drain(TPriorityQueue<T, P>& q) {
    std::vector<T> out;
    while (q.getCount() > 0) out.push_back(q.pop().data);
    return out;
}

}  // namespace

TEST(TPriorityQueue, EqualPrioritiesKeepPushOrderInBothDirections) {
    TPriorityQueue<char, int> up;
    EXPECT_EQ(1, up.push('a', 5));
    EXPECT_EQ(2, up.push('b', 3));
    EXPECT_EQ(3, up.push('c', 5));
    EXPECT_EQ(3, up.peek().priority);
    EXPECT_EQ('b', up.peek().data);
    EXPECT_EQ((std::vector<char>{'b', 'a', 'c'}), drain(up));

    TPriorityQueue<char, int> down(1);
    EXPECT_EQ(1, down.isDescending());
    down.push('a', 5);
    down.push('b', 3);
    down.push('c', 5);
    EXPECT_EQ((std::vector<char>{'a', 'c', 'b'}), drain(down));
}

TEST(TPriorityQueue, PushPlacesAtHeadMiddleAndTail) {
    TPriorityQueue<int, int> q;
    q.push(20, 20);
    q.push(10, 10);  // new head
    q.push(30, 30);  // tail
    q.push(15, 15);  // middle
    q.push(25, 25);
    std::vector<int> prios;
    for (const auto& e : contents(q)) prios.push_back(e.priority);
    EXPECT_EQ((Ints{10, 15, 20, 25, 30}), prios);
}

TEST(TPriorityQueue, RandomPushesComeOutSortedAndStable) {
    std::mt19937 rng(7);
    for (const int descending : {0, 1}) {
        TPriorityQueue<int, Key> q(descending);
        std::vector<Key> keys;
        for (int i = 0; i < 1000; ++i) {
            const Key k{static_cast<int>(rng() % 10), static_cast<int>(rng() % 3)};
            keys.push_back(k);
            q.push(i, k);
        }
        std::vector<PriorityData<int, Key>> out;
        while (q.getCount() > 0) out.push_back(q.pop());
        ASSERT_EQ(keys.size(), out.size());
        for (size_t i = 1; i < out.size(); ++i) {
            const Key& a = out[i - 1].priority;
            const Key& b = out[i].priority;
            const bool inOrder = descending ? (a >= b) : (a <= b);
            ASSERT_TRUE(inOrder) << "position " << i << ", descending " << descending;
            if (a <= b && a >= b) {
                ASSERT_LT(out[i - 1].data, out[i].data) << "equal keys out of push order at " << i;
            }
        }
        for (const auto& e : out) {
            EXPECT_EQ(keys[e.data].major, e.priority.major);
            EXPECT_EQ(keys[e.data].minor, e.priority.minor);
        }
    }
}

// Pushes, pops and removals from the middle mixed on one queue, so that
// spare nodes come back and runs of equal keys start, grow and vanish; after
// every step both link directions agree with a plain stable model.
TEST(TPriorityQueue, MixedPushPopAndRemovalKeepBothLinkDirectionsInStableOrder) {
    std::mt19937 rng(11);
    for (const int descending : {0, 1}) {
        TPriorityQueue<int, int> q(descending);
        std::vector<std::pair<int, int>> model;  // (priority, data) in serving order
        auto servedBefore = [&](int a, int b) { return descending ? a > b : a < b; };
        for (int step = 0; step < 4000; ++step) {
            const unsigned action = rng() % 10;
            if (action < 6 || model.empty()) {
                const int prio = static_cast<int>(rng() % 40);
                q.push(step, prio);
                auto at = std::find_if(model.begin(), model.end(),
                                       [&](const auto& e) { return servedBefore(prio, e.first); });
                model.insert(at, {prio, step});
            } else if (action < 8) {
                const auto e = q.pop();
                ASSERT_EQ(model.front(), std::make_pair(e.priority, e.data)) << "step " << step;
                model.erase(model.begin());
            } else {
                const size_t victim = rng() % model.size();
                TPriorityQueue<int, int>::Iterator it(q);
                for (size_t i = 0; i < victim; ++i) it.Step();
                ASSERT_EQ(model[victim].second, it.iterator().data);
                q.remove(it);
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(victim));
            }
            ASSERT_EQ(static_cast<int>(model.size()), q.getCount());
            size_t i = 0;
            for (auto* n = q.first(); n != nullptr; n = n->next, ++i) {
                ASSERT_LT(i, model.size());
                ASSERT_EQ(model[i], std::make_pair(n->value.priority, n->value.data)) << "step " << step;
            }
            ASSERT_EQ(model.size(), i);
            for (auto* n = q.last(); n != nullptr; n = n->prev) {
                ASSERT_GT(i, 0u);
                --i;
                ASSERT_EQ(model[i].second, n->value.data) << "backwards, step " << step;
            }
            ASSERT_EQ(0u, i);
        }
    }
}

TEST(TPriorityQueue, EmptyQueueRaisesAndStaysEmpty) {
    TPriorityQueue<int, int> q;
    expectQuor([&] { q.pop(); }, kPopMsg);
    expectQuor([&] { q.peek(); }, kPeekMsg);
    EXPECT_EQ(0, q.getCount());
    EXPECT_EQ(nullptr, q.first());
    q.push(1, 1);
    q.pop();
    expectQuor([&] { q.pop(); }, kPopMsg);
    EXPECT_EQ(0, q.getCount());
}

TEST(TPriorityQueue, RemoveAnEntryFoundByIterator) {
    // The way a timed task is cancelled: find it, remove it in place.
    int tasks[4] = {0, 1, 2, 3};
    TPriorityQueue<int*, int> q;
    q.push(&tasks[0], 40);
    q.push(&tasks[1], 10);
    q.push(&tasks[2], 30);
    q.push(&tasks[3], 20);
    for (int* victim : {&tasks[2], &tasks[1], &tasks[0]}) {
        TPriorityQueue<int*, int>::Iterator it(q);
        while (it.hasCurrent() && it.iterator().data != victim) it.Step();
        ASSERT_TRUE(it.hasCurrent());
        q.remove(it);
        contents(q);  // invariants after each removal
    }
    ASSERT_EQ(1, q.getCount());
    EXPECT_EQ(&tasks[3], q.peek().data);
    TPriorityQueue<int*, int>::Iterator past(q);
    past.Step();
    expectQuor([&] { q.remove(past); }, kRemoveMsg);
    EXPECT_EQ(1, q.getCount());
}

TEST(TPriorityQueue, PushesMixedWithRemovalsKeepTheOrderOfAPlainSortedList) {
    // Removals from inside runs of equal priority, at their ends, through the
    // base class and by pop, between pushes: the queue must stay what a list
    // sorted by a stable insertion would be.
    std::mt19937 rng(11);
    for (const int descending : {0, 1}) {
        TPriorityQueue<int, int> q(descending);
        TList<PriorityData<int, int>>& asList = q;
        std::vector<std::pair<int, int>> model;  // (priority, data), in serving order
        const auto servedBefore = [&](int a, int b) { return descending ? a > b : a < b; };
        for (int step = 0; step < 4000; ++step) {
            const unsigned op = rng() % 10;
            if (op < 6 || model.empty()) {
                const int prio = static_cast<int>(rng() % 8);
                q.push(step, prio);
                auto at = std::find_if(model.begin(), model.end(),
                                       [&](const auto& e) { return servedBefore(prio, e.first); });
                model.insert(at, {prio, step});
            } else if (op < 8) {
                const size_t victim = rng() % model.size();
                TPriorityQueue<int, int>::Iterator it(q);
                for (size_t i = 0; i < victim; ++i) it.Step();
                ASSERT_EQ(model[victim].second, it.iterator().data);
                asList.remove(it);
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(victim));
            } else {
                ASSERT_EQ(model.front().second, q.pop().data);
                model.erase(model.begin());
            }
            ASSERT_EQ(static_cast<int>(model.size()), q.getCount());
        }
        std::vector<int> expected;
        for (const auto& e : model) expected.push_back(e.second);
        EXPECT_EQ(expected, drain(q)) << "descending " << descending;
    }
}

TEST(TBatchQueue, ClosingTakesEverythingAndRefusesLaterPushes) {
    TBatchQueue<int> q;
    EXPECT_TRUE(q.pushUnlessClosed(1));
    EXPECT_TRUE(q.pushUnlessClosed(2));
    TList<int> out;
    EXPECT_EQ(2, q.closeAndTakeAll(out));
    EXPECT_FALSE(q.pushUnlessClosed(3));
    EXPECT_EQ(0, q.getCount());
    EXPECT_EQ((Ints{1, 2}), contents(out));
}

// ---- node reuse

TEST(TBatchQueue, RecycledNodesKeepOrderThroughTakeAllAndPutAll) {
    // Rounds of pushes, partial hand-backs and recycling: whatever nodes the
    // queue reuses, it must hold what a plain list would, in the same order.
    std::mt19937 rng(5);
    TBatchQueue<int> q;
    std::vector<int> model;
    int next = 0;
    for (int round = 0; round < 300; ++round) {
        const int pushes = static_cast<int>(rng() % 40);
        for (int i = 0; i < pushes; ++i) {
            if (rng() % 2 == 0) {
                q.push(next);
            } else {
                ASSERT_TRUE(q.pushUnlessClosed(next));
            }
            model.push_back(next++);
        }
        ASSERT_EQ(static_cast<int>(model.size()), q.sizeHint());
        TList<int> taken;
        taken.add(-1);  // the destination's own element stays in front
        ASSERT_EQ(static_cast<int>(model.size()), q.takeAll(taken));
        EXPECT_EQ(0, q.sizeHint());
        std::vector<int> expected{-1};
        expected.insert(expected.end(), model.begin(), model.end());
        ASSERT_EQ(expected, contents(taken)) << "round " << round;
        model.clear();
        if (round % 3 == 0) {
            // Give some back unserved: they go behind what was pushed since.
            q.push(next);
            model.push_back(next++);
            TList<int> back;
            for (int i = 0; i < 5; ++i) {
                back.add(next);
                model.push_back(next++);
            }
            q.putAll(back);
            EXPECT_EQ(0, back.getCount());
            ASSERT_EQ(static_cast<int>(model.size()), q.sizeHint());
        }
        q.recycle(taken);
        EXPECT_EQ(0, taken.getCount());
        EXPECT_EQ(nullptr, taken.first());
        EXPECT_EQ(nullptr, taken.last());
    }
    TList<int> rest;
    q.takeAll(rest);
    EXPECT_EQ(model, contents(rest));
}

TEST(TBatchQueue, RecyclingABurstLargerThanTheBoundFreesTheRest) {
    // A burst far larger than the spare bound: recycling keeps part of it,
    // frees the rest (the sanitizer build checks for leaks), and later pushes
    // still come out in order.
    TBatchQueue<int> q;
    TList<int> big;
    for (int i = 0; i < 40000; ++i) big.add(i);
    q.recycle(big);
    EXPECT_EQ(0, big.getCount());
    for (int i = 0; i < 50000; ++i) q.push(i);
    TList<int> out;
    ASSERT_EQ(50000, q.takeAll(out));
    int expected = 0;
    for (TList<int>::Iterator it(out); it.hasCurrent(); it.Step()) {
        if (it.iterator() != expected) {
            ADD_FAILURE() << "value " << it.iterator() << " at position " << expected;
            break;
        }
        ++expected;
    }
    EXPECT_EQ(50000, expected);
    q.recycle(out);
    q.push(7);
    TList<int> last;
    EXPECT_EQ(1, q.takeAll(last));
    EXPECT_EQ((Ints{7}), contents(last));
}

TEST(TBatchQueue, ProducersRacingARecyclingConsumerLoseAndDuplicateNothing) { producersAndOneConsumer(3, true); }

TEST(TPriorityQueue, RefillsAfterDrainingReuseEntriesWithoutStaleKeys) {
    // Each round reuses the nodes and index entries of the last: a reused
    // entry that kept its old priority or data would break order or values.
    std::mt19937 rng(3);
    TPriorityQueue<int, Key> q;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::pair<Key, int>> model;
        const int n = 200 + static_cast<int>(rng() % 800);
        for (int i = 0; i < n; ++i) {
            const Key k{static_cast<int>(rng() % 50), static_cast<int>(rng() % 3)};
            q.push(round * 100000 + i, k);
            model.emplace_back(k, round * 100000 + i);
        }
        std::stable_sort(model.begin(), model.end(), [](const auto& a, const auto& b) {
            return !(a.first >= b.first);  // strictly before
        });
        std::vector<int> expected;
        for (const auto& e : model) expected.push_back(e.second);
        // Take part out through the base class first, as a cancellation does.
        TPriorityQueue<int, Key>::Iterator it(q);
        it.Step();
        const int removed = it.iterator().data;
        static_cast<TList<PriorityData<int, Key>>&>(q).remove(it);
        expected.erase(std::find(expected.begin(), expected.end(), removed));
        ASSERT_EQ(expected, drain(q)) << "round " << round;
    }
}
