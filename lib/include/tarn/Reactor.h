#pragma once

#include "tarn/BaseSocket.h"
#include "tarn/BaseThread.h"
#include "tarn/LockedObj.h"
#include "tarn/NodeStash.h"
#include "tarn/SpinLock.h"
#include "tarn/SystemTime.h"
#include "tarn/TBatchQueue.h"
#include "tarn/TList.h"
#include "tarn/TPriorityQueue.h"
#include "tarn/TQueue.h"
#include "tarn/Task.h"
#include "tarn/platform/Event.h"
#include "tarn/platform/NetEvents.h"
#include "tarn/platform/WakeCount.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace tarn {

/// A worker thread that serves, one source per pass, tasks posted from any
/// thread, tasks scheduled for a UTC moment, and the network events of its
/// watched sockets. Every call into a watched socket happens on this thread.
/// With sockets watched, the loop waits on two objects whatever their
/// number: the wake event and one socket event shared by all of them. With
/// none it sleeps on a wake counter instead (a futex), which a post wakes in
/// less time than an eventfd in epoll; wake() picks whichever the loop
/// sleeps on. post() and schedule() call it only once the loop has announced
/// that it is about to sleep, so posting to a busy loop makes no system call;
/// with no socket watched, a loop that has just served posts looks for more
/// for a few microseconds before it sleeps.
///
/// Every call into a task or a socket is guarded on its own: a failure is
/// written to the crash log and the loop goes on.
///
/// The reactor never deletes a task or a socket (it holds plain pointers).
/// It runs its loop at most once: start() after a thread was created gives 4.
///
/// Threads: post, schedule, cancelScheduledTask, addSocket, removeSocket,
/// runInLoop, queueInLoop, start and stop may be called from any thread;
/// stop() not from the reactor thread itself (it would wait for itself; there
/// it only asks the loop to end).
/// A class deriving from Reactor that overrides the loop hooks must call
/// stop() in its own destructor: by the time ~Reactor runs, the derived part
/// is gone.
class Reactor : public BaseThread {
public:
    Reactor();
    ~Reactor() override;

    /// Sets `running`, then creates the loop thread: 0, 1 when no thread could
    /// be created (running is cleared again), 4 when the loop was started before.
    int start() override;
    /// Clears `running`, wakes the loop and waits for it to end; 0.
    virtual int stop();
    void run() override;
    /// Rouses the loop so that it serves what was queued before the call. Any
    /// thread.
    int wake() override;

    /// Hooks on the reactor thread: before the first pass, and after the end
    /// sequence has told every watched socket.
    virtual void onLoopStart() {}
    virtual void onLoopEnd() {}

    /// Adds to the watched set (no duplicate check); 0.
    int addSocket(BaseSocket* socket);
    /// Removes the first entry equal to socket; 0, or -1 when it is not watched.
    /// After the loop has stopped, both change nothing and give 0.
    int removeSocket(BaseSocket* socket);

    /// Queues the task for the next pass, or discards it at once on the
    /// calling thread when the loop has stopped. Never blocks.
    void post(Task* task);
    /// Queues the task for `when` (UTC); a time already past is due at once.
    /// Each call makes its own entry.
    void schedule(const SystemTime& when, Task* task);
    /// Removes the earliest scheduled entry of task; neither execute() nor
    /// discard() is called for it. From another thread while the loop runs it
    /// waits for the reactor thread, so on return the entry is gone or the task
    /// has already run.
    void cancelScheduledTask(Task* task);

    /// True on the loop's own thread while run() is under way, its end
    /// sequence included. Any thread.
    bool isInLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

    /// Runs fn on the loop's thread and returns once it has run. On the loop's
    /// thread, before a loop thread exists and once the end sequence has
    /// finished, fn runs at once on the calling thread. Otherwise it is posted
    /// and the caller waits; when the end sequence discards it, or post()
    /// refuses it after the stop, the caller is released without fn having
    /// run. What fn raises reaches the caller. fn stays the caller's: it is
    /// destroyed on the calling thread when the call returns. Any thread, but
    /// not one the loop thread waits for.
    void runInLoop(std::function<void()> fn);
    /// Queues fn behind what was posted before and returns at once; fn runs
    /// on the loop's thread, in order with post(). The reactor owns fn from
    /// the call on and destroys it once it has run, or, without running it,
    /// when it is discarded: by the end sequence on the loop's thread, or at
    /// once on the calling thread after the stop. What fn raises is logged as
    /// for any task. Any thread.
    void queueInLoop(std::function<void()> fn);

    bool isRunning() { return running_.get(); }
    /// True once the loop has ended for good.
    bool isStopped();

    /// Carries a change of the watched set to the reactor thread; the caller
    /// waits on doneEvent. Discarded by the end sequence it is still carried
    /// out; refused by post() after the stop it changes nothing.
    class SocketUpdate : public Task {
    public:
        SocketUpdate(Reactor* reactor, BaseSocket* socket, bool add, int* result)
            : reactor_(reactor), socket_(socket), add_(add), result_(result) {}
        void execute() override;
        void discard() override;
        platform::Event& doneEvent() { return doneEvent_; }

    private:
        Reactor* reactor_;
        BaseSocket* socket_;
        bool add_;
        platform::Event doneEvent_{false, false};  // auto-reset
        int* result_;                              // in the waiting caller's frame
    };

    /// Carries a cancellation to the reactor thread; execute() and discard()
    /// both unschedule and release the waiting caller.
    class CancelScheduledTaskTask : public Task {
    public:
        CancelScheduledTaskTask(Reactor* reactor, Task* task) : reactor_(reactor), task_(task) {}
        void execute() override;
        void discard() override;
        platform::Event& doneEvent() { return doneEvent_; }

    private:
        Reactor* reactor_;
        Task* task_;
        platform::Event doneEvent_{false, false};  // auto-reset
    };

protected:
    /// The shared socket event; null means sockets are never served. Called
    /// once on the reactor thread when the loop begins.
    virtual std::unique_ptr<platform::SocketEvent> createSocketEvent();

private:
    enum class Phase { kIdle, kStarted, kEnded };

    class QueuedCall;
    class WaitedCall;

    // True when a socket change, a cancellation or a runInLoop call from this
    // thread must travel as a request: another thread is calling while a loop
    // thread exists and its end sequence has not finished.
    bool mustRequest();
    // A carrier from the spares, or a new one; given back once its call is
    // over. Any thread.
    QueuedCall* takeQueuedCall();
    WaitedCall* takeWaitedCall();
    void giveBack(QueuedCall* call);
    void giveBack(WaitedCall* call);
    // wake(), but only when the loop has announced that it sleeps; any
    // thread, after queueing its work.
    void wakeIfAsleep();
    // Whether posted tasks are there or come within a short look (only after
    // a pass that served some, and only with no socket to watch).
    bool postedSoon(bool countMode);
    /// With sockets watched, after a pass that served them: polls the
    /// sockets and the wake-up without sleeping for a few tens of
    /// microseconds, yielding the processor between looks, since a reply to
    /// what the pass sent often comes within that. The result of the look
    /// that found something, or kWaitTimeout. The reactor thread's.
    uint32_t socketsSoon(uint32_t timeoutMs);
    // Direct change on the calling thread: nothing once the loop has stopped.
    int changeSockets(BaseSocket* socket, bool add);
    // The change itself, for requests served on the reactor thread (also
    // those the end sequence discards).
    int applySocketChange(BaseSocket* socket, bool add);
    void unschedule(Task* task);
    void loop();
    // The wait of a pass with no socket to watch: on wakeCount_.
    uint32_t sleepOnWakeCount(uint32_t ms);
    void dropUnwatchedHandles();
    void selectWatched();
    uint32_t timeoutMs();
    void servePosted();
    void serveSockets();
    void serveDue();
    void endSequence();

    // Posters and the loop meet on postedTasks_ and sleeping_; each has a
    // cache line of its own, so that what only the loop writes never makes a
    // poster miss.
    alignas(64) TBatchQueue<Task*> postedTasks_;  // own lock
    // The reactor thread's: tasks taken in after the wake event was acquired
    // (their wake-up may have been swallowed by it); served first by the next
    // pass, which does not sleep. Never touched by other threads.
    alignas(64) TBatchQueue<Task*> carriedTasks_;
    // The timer queue has a lock of its own: a spin lock, held for a push, a
    // look at the front, one pass's due entries or a cancel's walk; a waiter
    // yields after a few spins, so a long hold does not keep it spinning.
    alignas(64) SpinLock timersLock_;
    TPriorityQueue<Task*, SystemTime> scheduledTasks_;  // guarded by timersLock_
    TList<BaseSocket*> watchedSockets_;                 // changed on the reactor thread only while the loop runs
    LockedObj<bool> running_;
    // The loop's thread while run() is under way; no thread otherwise.
    std::atomic<std::thread::id> loopThread_{};
    bool stopped_ = false;        // written under the base lock and timersLock_, read under either; never cleared
    Phase phase_ = Phase::kIdle;  // guarded by the base lock
    std::unique_ptr<platform::SocketEvent> socketEvent_;  // the reactor thread's, while the loop runs
    TQueue<SocketHandle> unwatchedHandles_;               // reactor thread: removed, deselected at the next pass
    // Bumped by every change of watchedSockets_, on the thread making it.
    uint64_t watchedVersion_ = 0;
    // The reactor thread's: what the last pass selected, so that a pass in
    // which nothing changed skips re-selecting (it would change nothing).
    std::vector<std::pair<BaseSocket*, SocketHandle>> selected_;
    uint64_t selectedVersion_ = 0;
    uint64_t selectedEpoch_ = 0;
    bool selectedValid_ = false;
    std::vector<BaseSocket*> passCopy_;  // the reactor thread's copy of the watched set in serveSockets
    std::vector<Task*> dueTasks_;        // the reactor thread's: the due tasks of one pass
    // Every wake() bumps wakeCount_ after its caller queued its work; the
    // bump wakes the loop when it sleeps on the counter. Otherwise, when the
    // loop sleeps in epoll (countMode_ clear: sockets watched), wake() sets
    // the wake event. Before every sleep, whichever way, the loop publishes
    // its way, then does not sleep when the count moved since it last took in
    // posted tasks (seenWakes_, the reactor thread's). All of it is
    // sequentially consistent, so either a waker sees the way the loop
    // sleeps, or the loop sees the bump: no wake-up is lost.
    platform::WakeCount wakeCount_;
    std::atomic<bool> countMode_{false};
    uint32_t seenWakes_ = 0;
    // Set by the loop from just before its last look at the queues until its
    // sleep ends. post() and schedule() wake it only while it is set, so a
    // post to a loop that is awake costs one load. 0 or 1.
    alignas(64) std::atomic<int> sleeping_{0};
    alignas(64) const bool spinBeforeSleep_;  // more than one processor
    bool lastPassPosted_ = false;             // the reactor thread's
    bool lastPassSockets_ = false;            // the reactor thread's
    static constexpr int kLookBeforeSleepUs = 20;
    static constexpr int kSocketLookBeforeSleepUs = 50;

    // Spare carriers of queueInLoop and runInLoop calls, owned by the reactor
    // and guarded by spareLock_. A carrier in use is not here: a queued one
    // gives itself back after execute() or discard(), a waited one is given
    // back by its caller once released. Waited ones are never freed before
    // the reactor (a finished call's wake-up may still touch its counter);
    // there are as many as callers ever waited at once.
    static constexpr int kSpareQueuedCalls = 256;
    SpinLock spareLock_;
    NodeStash<QueuedCall> spareQueued_{kSpareQueuedCalls};
    NodeStash<WaitedCall> spareWaited_{INT_MAX};
};

/// A handle that forwards to a reactor it neither owns nor counts.
class ReactorProxy {
public:
    explicit ReactorProxy(Reactor* reactor) : reactor_(reactor) {}
    virtual ~ReactorProxy() = default;
    /// Reserved; 0.
    virtual int status() { return 0; }
    /// Reserved; does nothing.
    virtual void refresh() {}

    void post(Task* task) { reactor_->post(task); }
    void schedule(const SystemTime& when, Task* task) { reactor_->schedule(when, task); }
    void cancelScheduledTask(Task* task) { reactor_->cancelScheduledTask(task); }
    int addSocket(BaseSocket* socket) { return reactor_->addSocket(socket); }
    int removeSocket(BaseSocket* socket) { return reactor_->removeSocket(socket); }
    /// The reactor's base lock, which guards its scheduled tasks.
    void lock() { reactor_->lock(); }
    void unlock() { reactor_->unlock(); }

private:
    Reactor* reactor_;
};

}  // namespace tarn
