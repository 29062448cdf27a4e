#pragma once

#include "tarn/NodeStash.h"
#include "tarn/TList.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <memory>
#include <utility>
#include <vector>

namespace tarn {

/// One entry of a TPriorityQueue.
template <typename T, typename P>
struct PriorityData {
    P priority;
    T data;
};

/// A list kept sorted by priority: ascending (smallest first) when
/// `descending` is zero, else largest first. Entries of equal priority keep
/// the order in which they were pushed, so the front entry is always the
/// next to serve. P needs <= and >= forming a total order.
///
/// Beside the list it keeps an index of its runs of equal priority (first
/// and last node of each), so that push finds its place in logarithmic time
/// rather than by walking the list: a timer queue with many entries at
/// random times stays cheap to fill. The list itself, and so every walk and
/// removal through the base class, is the same as without the index. No
/// lock: its owner guards it. Never deletes what the data point to.
///
/// Nodes of the list and of the index that leave the queue are kept for
/// later pushes (up to a bound), so a timer queue in steady use does not
/// allocate per push.
template <typename T, typename P>
class TPriorityQueue : public TList<PriorityData<T, P>> {
    using Base = TList<PriorityData<T, P>>;
    using Node = typename Base::Node;

    // Orders keys as the list does: true when a is served strictly before b.
    struct ServedBefore {
        bool descending;
        bool operator()(const P& a, const P& b) const { return descending ? !(a <= b) : !(a >= b); }
    };
    struct Run {
        Node* first;
        Node* last;
        int count;
    };
    using Runs = std::map<P, Run, ServedBefore, PoolAllocator<std::pair<const P, Run>>>;
    using RunIt = typename Runs::iterator;

    // Priorities that std::hash covers are also found through a hash table,
    // so that a push into an existing run does not walk the tree. Others
    // use the tree alone.
    static constexpr bool kHashed = requires(const P& p) { std::hash<P>{}(p); };

    // Open addressing with linear probing over tree iterators (the tree's
    // end marks a free slot); removal shifts the following entries back, so
    // no tombstones pile up. Grows before it is half full, never shrinks.
    class RunTable {
    public:
        RunIt find(const P& key, Runs& runs) const {
            if (slots_.empty()) return runs.end();
            for (std::size_t i = home(key);; i = (i + 1) & mask_) {
                const RunIt it = slots_[i];
                if (it == runs.end()) return it;
                if (it->first <= key && it->first >= key) return it;
            }
        }
        /// Makes room for `count` runs; the only step that may raise.
        void reserve(std::size_t count, Runs& runs) {
            if (count * 2 <= slots_.size()) return;
            std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
            while (count * 2 > capacity) capacity *= 2;
            std::vector<RunIt> grown(capacity, runs.end());
            slots_.swap(grown);
            mask_ = capacity - 1;
            shift_ = 64;
            for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
            for (RunIt it = runs.begin(); it != runs.end(); ++it) place(it, runs);
        }
        /// After reserve().
        void insert(RunIt it, Runs& runs) { place(it, runs); }
        void erase(RunIt it, Runs& runs) {
            if (slots_.empty()) return;
            std::size_t hole = home(it->first);
            while (slots_[hole] != it) {
                if (slots_[hole] == runs.end()) return;  // not here: cannot happen
                hole = (hole + 1) & mask_;
            }
            for (std::size_t j = (hole + 1) & mask_; slots_[j] != runs.end(); j = (j + 1) & mask_) {
                const std::size_t want = home(slots_[j]->first);
                // Move the entry back unless its home lies cyclically in (hole, j].
                const bool stays = hole < j ? (want > hole && want <= j) : (want > hole || want <= j);
                if (!stays) {
                    slots_[hole] = slots_[j];
                    hole = j;
                }
            }
            slots_[hole] = runs.end();
        }

    private:
        std::size_t home(const P& key) const {
            // Fibonacci hashing: times with few low bits (whole milliseconds)
            // still spread over the table.
            const std::uint64_t h = static_cast<std::uint64_t>(std::hash<P>{}(key));
            return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
        }
        void place(RunIt it, Runs& runs) {
            std::size_t i = home(it->first);
            while (slots_[i] != runs.end()) i = (i + 1) & mask_;
            slots_[i] = it;
        }
        std::vector<RunIt> slots_;
        std::size_t mask_ = 0;
        unsigned shift_ = 64;
    };

    // The run of `priority`, or the end.
    RunIt findRun(const P& priority) {
        if constexpr (kHashed) {
            return table_.find(priority, runs_);
        } else {
            return runs_.find(priority);
        }
    }
    // Adds a run to the index; the table has room (reserveRun).
    RunIt addRun(RunIt hint, P priority, Node* n, int count) {
        const RunIt it = runs_.emplace_hint(hint, std::move(priority), Run{n, n, count});
        if constexpr (kHashed) table_.insert(it, runs_);
        return it;
    }
    void reserveRun() {
        if constexpr (kHashed) table_.reserve(runs_.size() + 1, runs_);
    }
    void eraseRun(RunIt it) {
        if constexpr (kHashed) table_.erase(it, runs_);
        runs_.erase(it);
    }

public:
    explicit TPriorityQueue(int descending = 0)
        : descending_(descending),
          runs_(ServedBefore{descending != 0}, PoolAllocator<std::pair<const P, Run>>(&runBlocks_)) {}
    ~TPriorityQueue() override = default;

    /// Inserts behind every entry that is to be served no later than it and
    /// in front of the first one served after it; returns the new count.
    int push(const T& data, P priority) {
        // Allocate before touching the list, so that a failed allocation
        // leaves the queue as it was.
        Node* n = takeSpare(data, priority);
        // Both neighbours come from the index: the list's own links are only
        // written, so a push into a large queue does not wait on a node that
        // is far from the cache. The index is small (one entry per distinct
        // priority) and stays near.
        const ServedBefore servedBefore = runs_.key_comp();
        try {
            if (this->tail_ != nullptr && !servedBefore(priority, this->tail_->value.priority)) {
                // Served no earlier than the tail (the usual case of timers
                // set in increasing order): append, extending the last run or
                // starting one at the end of the index, without a search.
                auto last = std::prev(runs_.end());
                if (servedBefore(last->first, priority)) {
                    reserveRun();
                    last = addRun(runs_.end(), std::move(priority), n, 0);
                }
                this->linkBetween(n, this->tail_, nullptr);
                last->second.last = n;
                ++last->second.count;
                return this->count_;
            }
            auto run = findRun(priority);
            auto after = runs_.end();  // the first run served after the new entry, once looked up
            if (run == runs_.end()) {
                // Not in the table; the tree has the last word (a hash that
                // tells equal keys apart would otherwise make a second run).
                after = runs_.upper_bound(priority);
                if (after != runs_.begin() && !servedBefore(std::prev(after)->first, priority)) run = std::prev(after);
            }
            if (run != runs_.end()) {
                // A run of this priority: behind its last entry, in front of
                // the first entry of the next run.
                auto next = std::next(run);
                this->linkBetween(n, run->second.last, next != runs_.end() ? next->second.first : nullptr);
                run->second.last = n;
                ++run->second.count;
                return this->count_;
            }
            // A new run, in front of the first run served after it (the end
            // only in an empty queue) and behind the run before that, if any.
            reserveRun();  // the table only: the tree's iterators stay valid
            Node* before = after != runs_.end() ? after->second.first : nullptr;
            Node* behind = after != runs_.begin() ? std::prev(after)->second.last : nullptr;
            addRun(after, std::move(priority), n, 1);
            this->linkBetween(n, behind, before);
        } catch (...) {
            releaseNode(n);
            throw;
        }
        return this->count_;
    }

    /// The front entry, left in place. Raises on an empty queue.
    PriorityData<T, P>& peek() {
        if (this->head_ == nullptr) throw QuorException("peek(): the list is empty.  Nothing to peek at.");
        return this->head_->value;
    }

    /// Removes the front entry and returns it. Raises on an empty queue.
    PriorityData<T, P> pop() {
        Node* n = this->head_;
        if (n == nullptr) throw QuorException("pop(): the list is empty.  Nothing to pop.");
        this->unlink(n);  // the index looks the node's priority up: move it out after
        PriorityData<T, P> entry = std::move(n->value);
        releaseNode(n);
        return entry;
    }

    int isDescending() const { return descending_; }

protected:
    void releaseNode(Node* n) override {
        // Kept by address only: giving a node back writes nothing to it.
        if (spareNodes_.size() < kSpareLimit) {
            try {
                spareNodes_.push_back(n);
                return;
            } catch (const std::bad_alloc&) {
            }
        }
        delete n;
    }

    void unlinking(const Node* n) override {
        // The front entry (every pop) belongs to the first run: no search.
        auto run = n == this->head_ ? runs_.begin() : findRun(n->value.priority);
        if (run == runs_.end()) return;  // cannot happen: every node is indexed
        Run& r = run->second;
        if (--r.count == 0) {
            eraseRun(run);
            return;
        }
        if (r.first == n) r.first = n->next;
        if (r.last == n) r.last = n->prev;
    }

private:
    // As many spare entries as a busy timer queue holds; a few megabytes at most.
    static constexpr size_t kSpareLimit = size_t{1} << 17;

    // A spare node holding the entry, or a new one; raises only when none
    // can be had.
    Node* takeSpare(const T& data, const P& priority) {
        if (spareNodes_.empty()) return new Node{PriorityData<T, P>{priority, data}, nullptr, nullptr};
        Node* n = spareNodes_.back();
        spareNodes_.pop_back();
        // The next push writes the next spare: start fetching it now.
        if (!spareNodes_.empty()) __builtin_prefetch(spareNodes_.back(), 1);
        n->value.priority = priority;
        n->value.data = data;
        return n;
    }

    static void deleteAll(std::vector<Node*>& nodes) {
        for (Node* n : nodes) delete n;
    }

    const int descending_;
    // Declared before the index and after nothing that uses them: they
    // outlive the index's nodes and are gone before the base frees the list.
    BlockStash runBlocks_{static_cast<int>(kSpareLimit)};
    struct Spares : std::vector<Node*> {
        ~Spares() { deleteAll(*this); }
    } spareNodes_;
    Runs runs_;
    RunTable table_;  // iterators into runs_; destroyed before it
};

}  // namespace tarn
