// What every fault case checks afterwards: the viewer's loop still runs a
// posted call, and the process is back to the descriptors and threads it had
// before the case. GUI thread only.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonObject>
#include <QMetaObject>

#include <cstdlib>
#include <string>

#include "../app/PlaylistSupport.h"
#include "framework/HttpFetcher.h"

namespace faults {

using apptest::SilentPeer;

// Open descriptors of this process (the one reading the folder not counted).
inline int CountFds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;
}

// What the open descriptors point at, for failure messages.
inline std::string FdTargets() {
    std::string out;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return out;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char target[256];
        const ssize_t n = ::readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        out += std::string(" ") + e->d_name + "=" + target;
    }
    ::closedir(dir);
    return out;
}

struct Usage {
    int fds = 0;
    int threads = 0;
};

inline Usage TakeUsage() { return Usage{CountFds(), apptest::CountOwnThreads()}; }

// The baseline of a running viewer. Its operator's log opens at the first
// entry and stays open, and the fetcher's worker starts at its first request
// and lives as long as the application: both are brought up before counting
// (warmUrl: a URL that answers; "" when the case has fetched already).
inline Usage TakeBaseline(CTallyscopeApp& app, const std::string& warmUrl = "") {
    app.LogOperatorEvent(QJsonObject{{"type", "note"}, {"text", "fault case starts"}});
    if (!warmUrl.empty()) {
        bool done = false;
        CHttpFetcher::Request request;
        request.url = warmUrl;
        request.done = [&done](CHttpResult&) { done = true; };
        app.GetHttpFetcher().Start(std::move(request));
        guitest::RunLoopUntil([&] { return done; }, 10000);
    }
    return TakeUsage();
}

inline std::string Describe(const Usage& u) {
    return "fds " + std::to_string(u.fds) + ", threads " + std::to_string(u.threads);
}

// Now against the baseline, with what the descriptors point at.
inline std::string Against(const Usage& baseline) {
    return "now " + Describe(TakeUsage()) + " against " + Describe(baseline) + "; open:" + FdTargets();
}

// Runs the loop until descriptors and threads are at most the baseline again
// (sockets and workers wind down after the case), for at most ms.
inline bool BackTo(const Usage& baseline, int ms = 10000) {
    return guitest::RunLoopUntil(
        [&] {
            const Usage now = TakeUsage();
            return now.fds <= baseline.fds && now.threads <= baseline.threads;
        },
        ms);
}

// True when a call posted to the application object runs within ms: the
// event loop is not stuck.
inline bool PostedCallRuns(int ms = 5000) {
    bool ran = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
    return guitest::RunLoopUntil([&] { return ran; }, ms);
}

}  // namespace faults
