// Tasks made with new: their blocks are recycled across threads without
// ever being handed to two live tasks at once.
#include "tarn/Reactor.h"
#include "tarn/Task.h"

#include "../support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace tarn;

namespace {

// A task of N bytes of body that fills its body with its own stamp and checks
// it when it goes: two live tasks sharing memory overwrite each other's stamp.
template <std::size_t N>
class StampedTask : public Task {
public:
    explicit StampedTask(std::uint8_t stamp, std::atomic<int>* torn = nullptr) : stamp_(stamp), torn_(torn) {
        std::memset(body_, stamp, N);
    }
    ~StampedTask() override {
        if (!intact() && torn_ != nullptr) torn_->fetch_add(1);
    }
    bool intact() const {
        for (std::size_t i = 0; i < N; ++i) {
            if (body_[i] != stamp_) return false;
        }
        return true;
    }
    void execute() override { delete this; }
    void discard() override { delete this; }

private:
    std::uint8_t stamp_;
    std::atomic<int>* torn_;
    std::uint8_t body_[N];
};

}  // namespace

TEST(TaskMemory, ABlockDeletedOnTheLoopThreadIsHandedToThePostersNextTask) {
    if (!Task::recyclesMemory()) GTEST_SKIP() << "tasks come from the heap in this build";
    // A size no other test or the reactor uses, posted from a new thread, so
    // that no spare block of earlier work stands in the way.
    using Big = StampedTask<220>;
    Reactor reactor;
    reactor.start();
    constexpr int kTasks = 200;
    int reused = -1;
    std::thread poster([&] {
        // All made before any is posted, so that none is recycled meanwhile
        // and the set holds as many blocks as tasks.
        std::set<const void*> deleted;
        std::vector<Big*> made;
        for (int i = 0; i < kTasks; ++i) {
            made.push_back(new Big(static_cast<std::uint8_t>(i)));
            deleted.insert(made.back());
        }
        for (Big* t : made) reactor.post(t);  // deletes itself on the loop thread
        class Mark : public Task {
        public:
            void execute() override { ran.store(true); }
            void discard() override {}
            std::atomic<bool> ran{false};
        } mark;
        reactor.post(&mark);
        if (!testsupport::eventually([&] { return mark.ran.load(); })) return;
        std::vector<std::unique_ptr<Big>> again;
        reused = 0;
        for (int i = 0; i < kTasks; ++i) {
            again.push_back(std::make_unique<Big>(1));
            reused += deleted.count(again.back().get()) != 0 ? 1 : 0;
        }
    });
    poster.join();
    // All of them in a fresh process; a repeated run may first hand out a
    // few blocks an earlier round left with the thread it took them for.
    EXPECT_GE(reused, kTasks * 9 / 10) << "blocks given back on the loop thread were not reused";
    reactor.stop();
}

TEST(TaskMemory, ManyThreadsMakingAndDeletingTasksOfMixedSizesNeverShareABlock) {
    std::atomic<int> torn{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &torn] {
            std::vector<Task*> live;
            for (int i = 0; i < kRounds; ++i) {
                const auto stamp = static_cast<std::uint8_t>(t * 50 + i % 50);
                switch (i % 4) {
                    case 0: live.push_back(new StampedTask<8>(stamp, &torn)); break;
                    case 1: live.push_back(new StampedTask<40>(stamp, &torn)); break;
                    case 2: live.push_back(new StampedTask<200>(stamp, &torn)); break;
                    default: live.push_back(new StampedTask<400>(stamp, &torn)); break;  // past the recycler
                }
                // Keep a few alive across rounds, delete the rest in another order.
                if (live.size() > 16) {
                    delete live[live.size() / 2];
                    live.erase(live.begin() + static_cast<std::ptrdiff_t>(live.size() / 2));
                }
            }
            for (Task* task : live) delete task;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, torn.load());
}

TEST(TaskMemory, TasksOutliveTheThreadThatMadeThemAndPlacementNewStillWorks) {
    std::atomic<int> torn{0};
    std::vector<Task*> made;
    std::thread maker([&] {
        for (int i = 0; i < 100; ++i) made.push_back(new StampedTask<24>(static_cast<std::uint8_t>(i), &torn));
    });
    maker.join();  // its own spare blocks went back to the heap as it ended
    for (Task* task : made) delete task;
    std::vector<std::unique_ptr<StampedTask<24>>> after;
    for (int i = 0; i < 100; ++i) after.push_back(std::make_unique<StampedTask<24>>(7, &torn));
    for (const auto& task : after) EXPECT_TRUE(task->intact());
    after.clear();
    EXPECT_EQ(0, torn.load());

    alignas(StampedTask<24>) unsigned char storage[sizeof(StampedTask<24>)];
    auto* placed = new (storage) StampedTask<24>(3, &torn);
    EXPECT_EQ(static_cast<void*>(storage), static_cast<void*>(placed));
    EXPECT_TRUE(placed->intact());
    placed->~StampedTask<24>();
    EXPECT_EQ(0, torn.load());
}
