// Background HTTP GETs for the GUI thread.
//
//   CHttpFetcher::Request request;
//   request.url = url;
//   request.process = [state](CHttpResult& r) { ... };  // worker thread
//   request.done = [this](CHttpResult& r) { ... };      // GUI thread
//   const int id = fetcher.Start(std::move(request));
//   ...
//   fetcher.Cancel(id);  // done never runs for it
//
// One worker thread drives every transfer through libcurl's multi interface,
// at most kMaxHostConnections connections per host; transfers of one fetcher
// run side by side. The request itself behaves as CInternetSession's: http
// and https only, at most 5 redirects, no cache, connect and total time-outs
// per request, the body held in memory (at most 64 MiB).
//
// When a transfer ends, `process` runs on the worker thread with the result
// (it may write files or parse, and may turn the result into a failure by
// setting ok false and message), then `done` runs on the GUI thread from the
// event loop. A cancelled request gets neither, or only `process`, never
// `done`. Nothing of the GUI thread waits on the network: Start and Cancel
// only queue work for the worker.
//
// Threads: Start, Cancel, Running and the destructor on the GUI thread (the
// thread that made the fetcher). The destructor cancels what still runs and
// joins the worker, which lets go of a transfer at once.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "framework/Afx.h"

// What a transfer gave.
struct CHttpResult {
    std::string url;
    bool ok = false;      // a response came (any status) and process kept it
    DWORD error = 0;      // ERROR_INTERNET_* of a failed transfer, else 0
    DWORD status = 0;     // the final response's HTTP status, 0 without one
    std::string body;     // the response body
    std::string message;  // why it failed, "" when ok
};

class CHttpFetcher {
public:
    static constexpr long kMaxHostConnections = 4;

    struct Request {
        std::string url;
        std::string agent = "Tallyscope";
        long connectMs = 10000;
        long totalMs = 30000;
        bool direct = false;                        // no proxy from the environment
        std::function<void(CHttpResult&)> process;  // worker thread, optional
        std::function<void(CHttpResult&)> done;     // GUI thread, optional
    };

    CHttpFetcher();
    ~CHttpFetcher();
    CHttpFetcher(const CHttpFetcher&) = delete;
    CHttpFetcher& operator=(const CHttpFetcher&) = delete;

    // Queues the request; its id (never 0). A URL that is not absolute http
    // or https fails like a transfer: done runs from the event loop.
    int Start(Request request);
    // The request's done will not run. Unknown or finished ids are ignored.
    void Cancel(int id);
    // Requests started whose done has not run and which were not cancelled.
    int Running() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};
