#include "tarn/Reactor.h"

#include "tarn/CrashLog.h"
#include "tarn/QuorException.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace tarn {

namespace {

// The wait's 0xFFFFFFFF means "no limit", so longer time-outs are cut to a
// day; the loop looks at its timers again after every wait anyway.
constexpr int64_t kLongestWaitMs = 24LL * 60 * 60 * 1000;

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// Reports a failure of a call into a task or a socket. `what` names the call
// ("executing task ", ...), `object` is the task or socket. A class name that
// cannot be determined gives the short line, to the file only.
template <typename T>
void reportCall(const char* prefix, const T& object, const Reactor& reactor, const char* message) {
    const std::string objectName = dynamicClassName(object);
    const std::string reactorName = dynamicClassName(reactor);
    if (objectName.empty() || reactorName.empty()) {
        writeCrashLine("Unable to determine runtime type", false);
        return;
    }
    std::string line = prefix + quoted(objectName) + " in reactor " + quoted(reactorName) + ".";
    if (message != nullptr) line += std::string("  ") + message;
    writeCrashLine(line);
}

// Reports a failure that escaped the loop or a step of its end sequence.
void reportOutside(const Reactor& reactor, const char* message) {
    const std::string name = dynamicClassName(reactor);
    if (name.empty()) {
        writeCrashLine("Unable to determine runtime type.");
        return;
    }
    if (message != nullptr) {
        writeCrashLine("Caught QuorException in reactor " + quoted(name) + ".  " + message);
    } else {
        writeCrashLine("Caught an unknown exception in reactor " + quoted(name) + ".");
    }
}

// Runs step; what escapes it goes to report: a QuorException's message, or
// null for anything else. Whatever failed, the caller goes on.
template <typename F, typename Report>
void guarded(F&& step, Report&& report) {
    try {
        std::forward<F>(step)();
    } catch (const QuorException& e) {
        report(e.getMessage());
    } catch (...) {
        report(nullptr);
    }
}

// The crash-log prefixes of a failed call into a task or a socket.
struct CallText {
    const char* quor;     // a QuorException (its message follows)
    const char* unknown;  // anything else
};
constexpr CallText kExecutingTask{"Caught QuorException executing task ",
                                  "Caught an unknown exception executing task "};
constexpr CallText kExecutingScheduledTask{"Caught QuorException executing scheduled task ",
                                           "Caught an unknown exception executing a scheduled task "};
constexpr CallText kHandlingSocket{"Caught QuorException handling socket event for ",
                                   "Caught an unknown exception handling a socket event for "};

// One call into a task or a socket, its failure logged under its name.
template <typename T, typename F>
void guardedCall(const CallText& text, const T& object, const Reactor& reactor, F&& call) {
    guarded(std::forward<F>(call), [&](const char* message) {
        reportCall(message != nullptr ? text.quor : text.unknown, object, reactor, message);
    });
}

// One step of the loop or its end sequence, its failure logged for the reactor.
template <typename F>
void guardedStep(const Reactor& reactor, F&& step) {
    guarded(std::forward<F>(step), [&](const char* message) { reportOutside(reactor, message); });
}

}  // namespace

// ---- calls carried to the loop thread ----

// Carries one queueInLoop function, which it owns until the call is over;
// then it gives itself back to the reactor's spares. Execution logs what the
// function raises itself, since the carrier may be gone once it returns.
class Reactor::QueuedCall final : public Task {
public:
    explicit QueuedCall(Reactor& reactor) : reactor_(&reactor) {}
    void execute() override {
        guardedCall(kExecutingTask, *this, *reactor_, fn_);
        fn_ = nullptr;  // what it captured goes on the loop thread
        reactor_->giveBack(this);
    }
    void discard() override {
        fn_ = nullptr;
        reactor_->giveBack(this);
    }

    std::function<void()> fn_;
    QueuedCall* next = nullptr;  // the spares' link

private:
    Reactor* reactor_;
};

// Carries one runInLoop function for a caller that sleeps until done_ moves;
// the function stays the caller's. The caller gives it back once released.
// A futex counter rather than an eventfd: no descriptor, no system call to
// make one.
class Reactor::WaitedCall final : public Task {
public:
    void execute() override {
        try {
            (*fn_)();
        } catch (...) {
            failure_ = std::current_exception();  // rethrown by the caller
        }
        done_.bump();  // the caller may reuse this at once: nothing after
    }
    void discard() override { done_.bump(); }

    // Sleeps until execute() or discard() has bumped done_ past `seen`.
    void waitPast(uint32_t seen) {
        while (done_.count() == seen) done_.sleepWhile(seen, platform::kInfinite);
    }

    std::function<void()>* fn_ = nullptr;  // the caller's
    std::exception_ptr failure_;
    platform::WakeCount done_;   // one bump per use
    WaitedCall* next = nullptr;  // the spares' link
};

Reactor::QueuedCall* Reactor::takeQueuedCall() {
    {
        std::lock_guard<SpinLock> guard(spareLock_);
        if (QueuedCall* call = spareQueued_.take()) return call;
    }
    return new QueuedCall(*this);
}

Reactor::WaitedCall* Reactor::takeWaitedCall() {
    {
        std::lock_guard<SpinLock> guard(spareLock_);
        if (WaitedCall* call = spareWaited_.take()) return call;
    }
    return new WaitedCall;
}

void Reactor::giveBack(QueuedCall* call) {
    {
        std::lock_guard<SpinLock> guard(spareLock_);
        if (spareQueued_.count() < kSpareQueuedCalls) {
            spareQueued_.give(call);
            return;
        }
    }
    delete call;
}

void Reactor::giveBack(WaitedCall* call) {
    std::lock_guard<SpinLock> guard(spareLock_);
    spareWaited_.give(call);  // kept, never freed here
}

void Reactor::queueInLoop(std::function<void()> fn) {
    if (!fn) return;
    QueuedCall* call = takeQueuedCall();
    call->fn_ = std::move(fn);
    try {
        post(call);  // refused after the stop: discarded here, fn destroyed
    } catch (...) {
        call->discard();  // not queued
        throw;
    }
}

void Reactor::runInLoop(std::function<void()> fn) {
    if (!fn) return;
    if (!mustRequest()) {
        fn();
        return;
    }
    WaitedCall* call = takeWaitedCall();
    call->fn_ = &fn;
    const uint32_t seen = call->done_.count();
    try {
        post(call);
    } catch (...) {
        call->fn_ = nullptr;  // not queued
        giveBack(call);
        throw;
    }
    call->waitPast(seen);
    call->fn_ = nullptr;
    std::exception_ptr failure = std::move(call->failure_);
    call->failure_ = nullptr;
    giveBack(call);
    if (failure) std::rethrow_exception(failure);
}

// ---- requests ----

void Reactor::SocketUpdate::execute() {
    *result_ = reactor_->applySocketChange(socket_, add_);
    doneEvent_.set();  // the caller may free this request at once: nothing after
}

void Reactor::SocketUpdate::discard() {
    // The end sequence discards on the reactor thread and the change is still
    // made; a post() refused after the stop discards on the caller's thread,
    // where the watched set must not be touched.
    if (reactor_->isInLoopThread()) {
        *result_ = reactor_->applySocketChange(socket_, add_);
    } else {
        *result_ = 0;
    }
    doneEvent_.set();
}

void Reactor::CancelScheduledTaskTask::execute() {
    reactor_->unschedule(task_);
    doneEvent_.set();
}

void Reactor::CancelScheduledTaskTask::discard() { execute(); }

// ---- life cycle ----

Reactor::Reactor() : BaseThread(-1), spinBeforeSleep_(std::thread::hardware_concurrency() > 1) { running_.set(false); }

Reactor::~Reactor() {
    if (running_.get()) stop();
    // The spares are freed with their stashes.
}

int Reactor::start() {
    {
        std::lock_guard<BaseThread> guard(*this);
        if (phase_ != Phase::kIdle) return 4;
        phase_ = Phase::kStarted;
    }
    running_.set(true);
    const int result = BaseThread::start();
    if (result != 0) {
        // No loop will ever run: keep cross-thread calls from waiting for one.
        running_.set(false);
        std::lock_guard<BaseThread> guard(*this);
        phase_ = Phase::kIdle;
    }
    return result;
}

int Reactor::wake() {
    // A loop asleep on the counter is woken by the bump itself; one about to
    // sleep on it sees the count move. Only epoll needs the wake event.
    if (wakeCount_.bump()) return 0;
    if (!countMode_.load()) return BaseThread::wake();
    return 0;
}

void Reactor::wakeIfAsleep() {
    // A read-modify-write, so that it and the loop's announcement (one too)
    // are ordered: either this finds the announcement, or the announcement
    // reads what this wrote and the loop's look at the timers that follows
    // sees what the caller queued before.
    if (sleeping_.fetch_add(0, std::memory_order_acq_rel) != 0) wake();
}

int Reactor::stop() {
    running_.set(false);
    wake();
    if (isInLoopThread()) return 0;  // the loop ends after this pass
    return join(platform::kInfinite);
}

bool Reactor::isStopped() {
    std::lock_guard<BaseThread> guard(*this);
    return stopped_;
}

std::unique_ptr<platform::SocketEvent> Reactor::createSocketEvent() { return platform::SocketEvent::create(); }

// ---- tasks ----

void Reactor::post(Task* task) {
    if (task == nullptr) return;
    // The end sequence closes the queue and takes its content in one locked
    // step, so every task accepted here is drained by it; a refused one is
    // discarded at once on this thread.
    if (!postedTasks_.pushUnlessClosed(task)) {
        task->discard();
        return;
    }
    // A load is enough: the push took the queue's lock with a sequentially
    // consistent exchange, and the loop takes the same lock after announcing
    // its sleep. Whichever of the two got the lock first, either the loop
    // finds the task or this load finds the announcement.
    if (sleeping_.load() != 0) wake();
}

void Reactor::schedule(const SystemTime& when, Task* task) {
    if (task == nullptr) return;
    bool earliest = false;
    {
        std::lock_guard<SpinLock> guard(timersLock_);
        if (!stopped_) {
            // Only a new front entry shortens the loop's wait; any other
            // falls due no earlier than the one the loop waits for.
            earliest = scheduledTasks_.getCount() == 0 || when < scheduledTasks_.peek().priority;
            scheduledTasks_.push(task, when);
            task = nullptr;
        }
    }
    if (task != nullptr) {
        task->discard();
        return;
    }
    if (earliest) wakeIfAsleep();
}

void Reactor::cancelScheduledTask(Task* task) {
    if (!mustRequest()) {
        unschedule(task);
        return;
    }
    CancelScheduledTaskTask request(this, task);
    post(&request);
    request.doneEvent().wait(platform::kInfinite);
}

void Reactor::unschedule(Task* task) {
    std::lock_guard<SpinLock> guard(timersLock_);
    for (TList<PriorityData<Task*, SystemTime>>::Iterator it(scheduledTasks_); it.hasCurrent(); it.Step()) {
        if (it.iterator().data == task) {
            scheduledTasks_.remove(it);
            return;
        }
    }
}

// ---- sockets ----

bool Reactor::mustRequest() {
    if (isInLoopThread()) return false;
    std::lock_guard<BaseThread> guard(*this);
    return phase_ == Phase::kStarted;
}

int Reactor::addSocket(BaseSocket* socket) {
    if (!mustRequest()) return changeSockets(socket, true);
    int result = 0;
    SocketUpdate request(this, socket, true, &result);
    post(&request);
    request.doneEvent().wait(platform::kInfinite);
    return result;
}

int Reactor::removeSocket(BaseSocket* socket) {
    if (!mustRequest()) return changeSockets(socket, false);
    int result = 0;
    SocketUpdate request(this, socket, false, &result);
    post(&request);
    request.doneEvent().wait(platform::kInfinite);
    return result;
}

int Reactor::changeSockets(BaseSocket* socket, bool add) {
    if (isStopped()) return 0;
    return applySocketChange(socket, add);
}

int Reactor::applySocketChange(BaseSocket* socket, bool add) {
    if (add) {
        watchedSockets_.add(socket);
        ++watchedVersion_;
        return 0;
    }
    try {
        watchedSockets_.remove(socket);
    } catch (const QuorException&) {
        return -1;
    }
    ++watchedVersion_;
    // An open handle that is no longer watched must not wake the loop, but
    // this pass's copy still serves it: drop it from the selection at the top
    // of the next pass. The socket event exists only on the reactor thread,
    // where this runs then.
    if (socketEvent_ != nullptr) unwatchedHandles_.add(socket->getSocket());
    return 0;
}

// ---- the loop ----

void Reactor::run() {
    loopThread_.store(std::this_thread::get_id());
    try {
        socketEvent_ = createSocketEvent();
    } catch (...) {
        socketEvent_.reset();
    }
    guardedStep(*this, [this] {
        onLoopStart();
        loop();
    });
    endSequence();
    loopThread_.store(std::thread::id());
}

void Reactor::loop() {
    while (running_.get()) {
        uint32_t result;
        if (socketEvent_ != nullptr) {
            dropUnwatchedHandles();
            selectWatched();
        }
        const bool countMode = socketEvent_ == nullptr || watchedSockets_.getCount() == 0;
        countMode_.store(countMode);
        if (carriedTasks_.getCount() > 0 || wakeCount_.count() != seenWakes_ || postedSoon(countMode)) {
            // Tasks are waiting, or a wake-up came since the last batch (one
            // that came while wakers took the other way counts too): as if woken.
            result = platform::kWaitObject0;
        } else {
            // Posters and schedulers wake the loop only while this is set.
            // A poster's lock and this take of the same lock are ordered, a
            // scheduler's read-modify-write and this exchange are: either
            // side sees the other.
            sleeping_.exchange(1);
            if (postedTasks_.takeAll(carriedTasks_) > 0) {
                result = platform::kWaitObject0;
            } else if (countMode) {
                result = sleepOnWakeCount(timeoutMs());
            } else {
                // One epoll_wait sleeps on both objects and records the sockets'
                // events as it returns. A wake-up is acquired after the tasks ran.
                const uint32_t ms = timeoutMs();
                result = socketsSoon(ms);
                if (result == platform::kWaitTimeout) result = socketEvent_->waitWith(getWakeEvent(), ms, false);
            }
            sleeping_.store(0, std::memory_order_relaxed);
        }
        if (result == platform::kWaitObject0) {
            // Whatever was queued before the wakes counted so far is taken in
            // by this batch.
            seenWakes_ = wakeCount_.count();
            servePosted();
            // Acquire the wake-up now (a waker that found the loop awake set
            // the event, whichever way the loop slept), then take in what was
            // posted since the batch: its wake-up may be the one just
            // swallowed, so the next pass serves it without sleeping.
            getWakeEvent().tryAcquire();
            postedTasks_.takeAll(carriedTasks_);
            // A busy poster must not starve sockets and timers: serve what is
            // ready now as well, each source in its usual order.
            if (socketEvent_ != nullptr && watchedSockets_.getCount() > 0 && socketEvent_->tryAcquire()) {
                serveSockets();
            }
            if (timeoutMs() == 0) serveDue();
        } else if (result == platform::kWaitObject0 + 1) {
            serveSockets();
        } else if (result == platform::kWaitTimeout) {
            serveDue();
        }
    }
}

bool Reactor::postedSoon(bool countMode) {
    if (postedTasks_.sizeHint() > 0) return true;
    // A loop fed by a busy poster finds more work within microseconds; a
    // short look saves both sides the system calls of a sleep and its
    // wake-up. Not with sockets watched (their events must not wait), nor on
    // one processor, where the poster cannot run while the loop looks.
    if (!countMode || !spinBeforeSleep_ || !lastPassPosted_) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kLookBeforeSleepUs);
    for (int i = 1;; ++i) {
        SpinLock::pause();
        if (postedTasks_.sizeHint() > 0 || wakeCount_.count() != seenWakes_) return true;
        if (i % 32 == 0 && std::chrono::steady_clock::now() >= until) return false;
    }
}

uint32_t Reactor::socketsSoon(uint32_t timeoutMs) {
    // Only after socket traffic, never with a timer due within the look, and
    // not on one processor. A look is one epoll_wait that does not sleep; the
    // yield between looks lets a peer on the same processor run at once.
    if (!spinBeforeSleep_ || !lastPassSockets_ || timeoutMs == 0) return platform::kWaitTimeout;
    lastPassSockets_ = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSocketLookBeforeSleepUs);
    do {
        const uint32_t result = socketEvent_->waitWith(getWakeEvent(), 0, false);
        if (result != platform::kWaitTimeout) return result;
        if (postedTasks_.sizeHint() > 0) return platform::kWaitObject0;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return platform::kWaitTimeout;
}

uint32_t Reactor::sleepOnWakeCount(uint32_t ms) {
    if (ms != 0) wakeCount_.sleepWhile(seenWakes_, ms);
    if (wakeCount_.count() != seenWakes_) return platform::kWaitObject0;
    // A time-out, or a signal cut the sleep short: serving due tasks then
    // finds none and the next pass sleeps again for the time left.
    return platform::kWaitTimeout;
}

void Reactor::dropUnwatchedHandles() {
    while (unwatchedHandles_.getCount() > 0) {
        const SocketHandle handle = unwatchedHandles_.pop();
        bool stillWatched = false;  // the number may belong to a socket added since
        for (TList<BaseSocket*>::Iterator it(watchedSockets_); it.hasCurrent() && !stillWatched; it.Step()) {
            stillWatched = it.iterator()->getSocket() == handle;
        }
        if (!stillWatched) socketEvent_->deselect(handle);
    }
}

void Reactor::selectWatched() {
    // Every watched socket is selected in every pass. Selecting a handle that
    // is selected already changes nothing, so when the watched set, every
    // socket's handle and the event's selection are as the last pass left
    // them, the pass skips it.
    bool unchanged =
        selectedValid_ && selectedVersion_ == watchedVersion_ && selectedEpoch_ == socketEvent_->selectionEpoch();
    if (unchanged) {
        size_t i = 0;
        for (TList<BaseSocket*>::Iterator it(watchedSockets_); it.hasCurrent() && unchanged; it.Step(), ++i) {
            BaseSocket* socket = it.iterator();
            unchanged =
                i < selected_.size() && selected_[i].first == socket && selected_[i].second == socket->getSocket();
        }
        if (unchanged && i == selected_.size()) return;
    }
    // Read before selecting: a handle that leaves meanwhile shows next pass.
    selectedEpoch_ = socketEvent_->selectionEpoch();
    selectedVersion_ = watchedVersion_;
    selectedValid_ = false;
    selected_.clear();
    bool allSelected = true;
    for (TList<BaseSocket*>::Iterator it(watchedSockets_); it.hasCurrent(); it.Step()) {
        BaseSocket* socket = it.iterator();
        const SocketHandle handle = socket->getSocket();
        // A failed selection is tried again in the next pass.
        if (socketEvent_->select(handle, platform::FD_ALL_EVENTS) != 0) allSelected = false;
        selected_.emplace_back(socket, handle);
    }
    selectedValid_ = allSelected;
}

uint32_t Reactor::timeoutMs() {
    SystemTime due;
    {
        std::lock_guard<SpinLock> guard(timersLock_);
        if (scheduledTasks_.getCount() == 0) return platform::kInfinite;
        due = scheduledTasks_.peek().priority;
    }
    const SystemTime now = SystemTime::now();  // read once for both the test and the difference
    if (due <= now) return 0;
    due -= now;
    const int64_t ms = due.toMilliseconds();
    return static_cast<uint32_t>(ms < kLongestWaitMs ? ms : kLongestWaitMs);
}

void Reactor::servePosted() {
    TList<Task*> batch;
    carriedTasks_.takeAll(batch);  // posted earlier than what the queue holds
    postedTasks_.takeAll(batch);
    lastPassPosted_ = batch.getCount() > 0;
    // The nodes go back to the queue for later posts, also when a task raises.
    struct Recycle {
        TBatchQueue<Task*>& queue;
        TList<Task*>& used;
        ~Recycle() { queue.recycle(used); }
    } recycle{postedTasks_, batch};
    for (TList<Task*>::Iterator it(batch); it.hasCurrent(); it.Step()) {
        Task* task = it.iterator();
        guardedCall(kExecutingTask, *task, *this, [task] { task->execute(); });
    }
}

void Reactor::serveSockets() {
    socketEvent_->reset();
    lastPassSockets_ = true;
    if (!running_.get()) return;
    // Handlers may add or remove sockets: they change the watched set, and the
    // change shows from the next pass; this pass serves the copy.
    std::vector<BaseSocket*>& copy = passCopy_;  // kept between passes: no allocation per pass
    copy.clear();
    for (TList<BaseSocket*>::Iterator it(watchedSockets_); it.hasCurrent(); it.Step()) {
        guarded([&] { copy.push_back(it.iterator()); },
                [this](const char* message) {
                    const std::string where =
                        " building watchedSocketsCopy in reactor " + quoted(dynamicClassName(*this)) + ".";
                    writeCrashLine(message != nullptr ? "Caught QuorException" + where + "  " + message
                                                      : "Caught unknown exception" + where);
                });
    }
    for (BaseSocket* socket : copy) {
        guardedCall(kHandlingSocket, *socket, *this, [socket] { socket->handleEvents(); });
    }
}

void Reactor::serveDue() {
    const SystemTime now = SystemTime::now();
    std::vector<Task*>& due = dueTasks_;  // kept between passes: no allocation per pass
    due.clear();
    {
        std::lock_guard<SpinLock> guard(timersLock_);
        while (scheduledTasks_.getCount() > 0 && scheduledTasks_.peek().priority <= now) {
            due.push_back(scheduledTasks_.pop().data);
        }
    }
    for (Task* task : due) {
        guardedCall(kExecutingScheduledTask, *task, *this, [task] { task->execute(); });
    }
}

void Reactor::endSequence() {
    // Each step is guarded on its own, so one failure cannot strand a caller
    // waiting on a request that is still queued.
    TList<Task*> rest;
    guardedStep(*this, [&] {
        {
            std::lock_guard<BaseThread> guard(*this);
            std::lock_guard<SpinLock> timers(timersLock_);
            stopped_ = true;
        }
        carriedTasks_.takeAll(rest);
        postedTasks_.closeAndTakeAll(rest);
        std::lock_guard<SpinLock> timers(timersLock_);
        while (scheduledTasks_.getCount() > 0) rest.add(scheduledTasks_.pop().data);
    });
    for (TList<Task*>::Iterator it(rest); it.hasCurrent(); it.Step()) {
        Task* task = it.iterator();
        guardedStep(*this, [task] { task->discard(); });
    }
    for (TList<BaseSocket*>::Iterator it(watchedSockets_); it.hasCurrent(); it.Step()) {
        BaseSocket* socket = it.iterator();
        guardedStep(*this, [socket] { socket->onReactorStop(); });
    }
    guardedStep(*this, [this] { onLoopEnd(); });
    socketEvent_.reset();
    std::lock_guard<BaseThread> guard(*this);
    phase_ = Phase::kEnded;
}

}  // namespace tarn
