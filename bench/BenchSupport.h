#pragma once
// What the benchmarks share: medians, and thread placement: the measuring (posting, client)
// thread on the first CPU, the loop (server) thread on the second, the same
// for the library and every peer. Rows take pinning as an argument; the
// row's label says where the threads ran.

#include "tarn/Reactor.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <string>
#include <vector>

namespace benchpin {

// The median of the runs of one figure (0 for none).
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The n-th CPU this process may run on (0: first), or -1.
inline int nthAllowedCpu(int n) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set) && n-- == 0) return cpu;
    }
    return -1;
}

// Pins the calling thread to `cpu` (nothing for -1); true when pinned.
inline bool pinSelf(int cpu) {
    if (cpu < 0) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Where the two roles run in a pinned (or unpinned) run: -1 means unpinned.
struct Placement {
    int first = -1;   // the measuring thread
    int second = -1;  // the loop thread
    std::string label() const {
        if (first < 0) return "unpinned";
        return "cpu" + std::to_string(first) + "+cpu" + std::to_string(second);
    }
};

inline Placement placement(bool pinned, bool sameCpu = false) {
    Placement p;
    if (!pinned) return p;
    p.first = nthAllowedCpu(0);
    p.second = sameCpu ? p.first : nthAllowedCpu(1);
    if (p.second < 0) p.second = p.first;
    return p;
}

// Pins the calling thread for the scope and gives it back its former set.
class ScopedPin {
public:
    explicit ScopedPin(int cpu) {
        saved_ = pthread_getaffinity_np(pthread_self(), sizeof old_, &old_) == 0;
        pinSelf(cpu);
    }
    ~ScopedPin() {
        if (saved_) pthread_setaffinity_np(pthread_self(), sizeof old_, &old_);
    }
    ScopedPin(const ScopedPin&) = delete;
    ScopedPin& operator=(const ScopedPin&) = delete;

private:
    cpu_set_t old_{};
    bool saved_ = false;
};

// A reactor whose loop thread pins itself to `cpu` (-1: not pinned).
class PinnedReactor : public tarn::Reactor {
public:
    explicit PinnedReactor(int cpu = -1) : cpu_(cpu) {}
    ~PinnedReactor() override { stop(); }
    void onLoopStart() override { pinSelf(cpu_); }

private:
    int cpu_;
};

}  // namespace benchpin
