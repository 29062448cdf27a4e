#include "framework/HttpFetcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CurlTransfer.h"
#include "Hosts.h"
#include "framework/Internet.h"

namespace {

QEvent::Type DeliveryEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// A GUI-thread object that runs `drain` when the worker posts to it. The
// poster makes the event under `posted`; taking it before reading the event
// orders that allocation before the reads.
class Receiver final : public QObject {
public:
    Receiver(std::mutex& posted, std::function<void()> drain) : posted_(posted), drain_(std::move(drain)) {}

protected:
    bool event(QEvent* e) override {
        { std::lock_guard<std::mutex> order(posted_); }
        if (e->type() != DeliveryEventType()) return QObject::event(e);
        drain_();
        return true;
    }

private:
    std::mutex& posted_;
    std::function<void()> drain_;
};

}  // namespace

// The worker owns the multi handle and every easy handle; the GUI thread owns
// the done callbacks. They meet in the queues below: requests and
// cancellations go to the worker, finished results come back through the
// receiver (a GUI-thread object woken by one posted event at a time).
class CHttpFetcher::Impl {
public:
    Impl() : receiver_(std::make_unique<Receiver>(finishedLock_, [this] { Drain(); })) {
        curlget::GlobalInit();
        multi_ = curl_multi_init();
        if (multi_ != nullptr) {
            curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxHostConnections);
            thread_ = std::thread([this] { Run(); });
        }
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            stopping_ = true;
        }
        if (multi_ != nullptr) {
            curl_multi_wakeup(multi_);
            thread_.join();
            for (auto& [id, transfer] : active_) Drop(transfer);
            active_.clear();
            curl_multi_cleanup(multi_);
        }
        // Deliveries still posted go with the receiver.
        receiver_.reset();
    }

    int Start(Request request) {
        if (lastId_ == std::numeric_limits<int>::max()) lastId_ = 0;
        const int id = ++lastId_;
        done_[id] = std::move(request.done);
        request.done = nullptr;
        if (multi_ == nullptr) {
            CHttpResult failed;
            failed.url = request.url;
            failed.error = ERROR_INTERNET_CONNECTION_ABORTED;
            failed.message = "cannot start an HTTP transfer";
            Post(id, std::move(failed));
            return id;
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            pending_.push_back(Job{id, std::move(request)});
        }
        curl_multi_wakeup(multi_);
        return id;
    }

    void Cancel(int id) {
        if (done_.erase(id) == 0) return;
        if (multi_ == nullptr) return;
        {
            std::lock_guard<std::mutex> lock(lock_);
            cancelled_.push_back(id);
        }
        curl_multi_wakeup(multi_);
    }

    int Running() const { return static_cast<int>(done_.size()); }

private:
    struct Job {
        int id;
        Request request;
    };
    // One transfer on the worker thread.
    struct Transfer {
        int id = 0;
        Request request;
        CURL* easy = nullptr;
        curl_slist* headers = nullptr;
        curlget::Sink sink;
        char error[CURL_ERROR_SIZE] = {};
    };

    // Worker thread.
    void Run() {
        std::vector<Job> jobs;
        std::vector<int> cancels;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(lock_);
                if (stopping_) return;
                jobs.swap(pending_);
                cancels.swap(cancelled_);
            }
            for (Job& job : jobs) Add(std::move(job));
            jobs.clear();
            for (int id : cancels) {
                auto it = active_.find(id);
                if (it == active_.end()) continue;
                Drop(it->second);
                active_.erase(it);
            }
            cancels.clear();
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                Transfer* done = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &done);
                if (done == nullptr) continue;
                Finish(*done, message->data.result);
            }
            long wait = 1000;
            curl_multi_timeout(multi_, &wait);
            if (wait < 0 || wait > 1000) wait = 1000;
            curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait), nullptr);
        }
    }

    void Add(Job job) {
        DWORD error = 0;
        const std::string problem = curlget::CheckUrl(job.request.url.c_str(), error);
        CURL* easy = problem.empty() ? curl_easy_init() : nullptr;
        if (easy == nullptr) {
            CHttpResult failed;
            failed.url = job.request.url;
            failed.error = problem.empty() ? ERROR_INTERNET_CONNECTION_ABORTED : error;
            failed.message = problem.empty() ? "cannot start an HTTP transfer" : problem;
            Process(job.request, failed);
            Post(job.id, std::move(failed));
            return;
        }
        Transfer& transfer = active_[job.id];
        transfer.id = job.id;
        transfer.request = std::move(job.request);
        transfer.easy = easy;
        curlget::Options options;
        options.url = transfer.request.url.c_str();
        options.agent = transfer.request.agent.c_str();
        options.connectMs = transfer.request.connectMs;
        options.totalMs = transfer.request.totalMs;
        options.direct = transfer.request.direct;
        transfer.headers = curlget::Configure(easy, options, &transfer.sink, transfer.error);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_multi_add_handle(multi_, easy);
    }

    void Finish(Transfer& transfer, CURLcode rc) {
        CHttpResult result;
        result.url = transfer.request.url;
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        if (rc == CURLE_OK) {
            result.ok = true;
            result.status = static_cast<DWORD>(status);
            result.body = std::move(transfer.sink.body);
        } else {
            result.error = transfer.sink.tooLarge ? ERROR_INTERNET_RESPONSE_TOO_LARGE : curlget::ErrorOf(rc);
            result.message = curlget::FailureText(rc, transfer.sink, transfer.error, result.url.c_str());
        }
        const int id = transfer.id;
        Request request = std::move(transfer.request);
        Drop(transfer);
        active_.erase(id);  // transfer is gone from here on
        Process(request, result);
        Post(id, std::move(result));
    }

    static void Process(Request& request, CHttpResult& result) {
        if (!request.process) return;
        try {
            request.process(result);
        } catch (const std::exception& e) {
            result.ok = false;
            result.message = e.what();
        } catch (...) {
            result.ok = false;
            result.message = "the result could not be processed";
        }
    }

    void Drop(Transfer& transfer) {
        if (transfer.easy != nullptr) {
            curl_multi_remove_handle(multi_, transfer.easy);
            curl_easy_cleanup(transfer.easy);
            transfer.easy = nullptr;
        }
        curl_slist_free_all(transfer.headers);
        transfer.headers = nullptr;
    }

    // Any thread: hands the result to the GUI thread's event loop. The event
    // is posted under the lock that the receiver takes, which also orders
    // its allocation here before its deletion on the GUI thread.
    void Post(int id, CHttpResult result) {
        std::lock_guard<std::mutex> lock(finishedLock_);
        finished_.emplace_back(id, std::move(result));
        if (deliveryPosted_) return;
        deliveryPosted_ = true;
        QCoreApplication::postEvent(receiver_.get(), new QEvent(DeliveryEventType()));
    }

    // GUI thread: the results that came, in order.
    void Drain() {
        std::vector<std::pair<int, CHttpResult>> results;
        {
            std::lock_guard<std::mutex> lock(finishedLock_);
            results.swap(finished_);
            deliveryPosted_ = false;
        }
        for (auto& [id, result] : results) Deliver(id, result);
    }

    void Deliver(int id, CHttpResult& result) {
        auto it = done_.find(id);
        if (it == done_.end()) return;  // cancelled
        std::function<void(CHttpResult&)> done = std::move(it->second);
        done_.erase(it);
        if (done) AfxGuard("HTTP fetch", [&] { done(result); });
    }

    std::mutex finishedLock_;                            // declared first: the receiver uses it
    std::unique_ptr<Receiver> receiver_;                 // GUI thread; receives deliveries
    std::vector<std::pair<int, CHttpResult>> finished_;  // guarded by finishedLock_
    bool deliveryPosted_ = false;                        // guarded by finishedLock_
    CURLM* multi_ = nullptr;                             // worker thread (after start)
    std::thread thread_;

    std::mutex lock_;
    bool stopping_ = false;       // guarded by lock_
    std::vector<Job> pending_;    // guarded by lock_
    std::vector<int> cancelled_;  // guarded by lock_

    std::map<int, Transfer> active_;  // worker thread; node-based: CURLOPT_PRIVATE points into it
    std::unordered_map<int, std::function<void(CHttpResult&)>> done_;  // GUI thread
    int lastId_ = 0;                                                   // GUI thread
};

CHttpFetcher::CHttpFetcher() : impl_(std::make_unique<Impl>()) {}

CHttpFetcher::~CHttpFetcher() = default;

int CHttpFetcher::Start(Request request) { return impl_->Start(std::move(request)); }

void CHttpFetcher::Cancel(int id) { impl_->Cancel(id); }

int CHttpFetcher::Running() const { return impl_->Running(); }
