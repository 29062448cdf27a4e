// How long the viewer's event loop stalls while the network misbehaves, with
// the real application objects on the offscreen platform. For one minute per
// case a 10 ms timer records how late each of its intervals came (max, p99),
// and one window whose playlist has a long Running event shows how far its
// countdown strayed from the wall clock over the same minute.
//
//   slow HTTP     two windows whose server answers after 10 s, "Update" every 5 s
//   silent HTTP   the same with a server that never answers
//   silent TLS    an aggregation server that accepts TCP and never speaks TLS;
//                 File > Open again whenever one ends
//   sim drop      the simulator drops the session every 2 s
//
// TALLYSCOPE_BENCH_LABEL names the build in the table (default "this tree").
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimProcess.h"
#include "app/EventListCtrl.h"
#include "app/SessionDocManager.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "app/TallyscopeView.h"
#include "framework/Afx.h"
#include "framework/DocTemplate.h"
#include "framework/Document.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCaseMs = 60000;
constexpr int kProbeMs = 10;
constexpr int kEvents = 100;
constexpr int kSlowAnswerMs = 10000;
constexpr int kUpdateEveryMs = 5000;
constexpr int kDropEveryMs = 2000;

std::string g_root;  // the bench's private folders and files

const char* BuildLabel() {
    const char* label = std::getenv("TALLYSCOPE_BENCH_LABEL");
    return label != nullptr && *label != '\0' ? label : "this tree";
}

// The playlist of session_bench; the Running event (the third) lasts
// runningHours more, so a long one never runs out during a case.
std::string Playlist(int events, const std::string& name, int runningHours = 0) {
    std::string xml = "<Playlist name=\"" + name +
                      "\"><Clock><Date year=\"2002\" month=\"8\" day=\"30\"/>"
                      "<Time hh=\"17\" mm=\"58\" ss=\"40\"/></Clock>\n";
    for (int i = 0; i < events; ++i) {
        const std::string id = std::to_string(i);
        xml += "<Event id=\"EV" + id + "\" name=\"Title number " + id + "\" status=\"" +
               (i == 2 ? "Running" : (i < 2 ? "Played" : "Cued")) + "\" quorServer=\"192.168.10.31\"><Segment id=\"" +
               std::to_string(100 + i % 7) +
               "\"><OnAir><Date month=\"8\" day=\"30\" year=\"2002\"/><Time hh=\"17\" mm=\"58\" ss=\"0\" ff=\"0\"/>"
               "<Duration hh=\"" +
               std::to_string(i == 2 ? runningHours : 0) +
               "\" mm=\"1\" ss=\"30\" ff=\"0\"/></OnAir></Segment>"
               "<QuorTrigger active=\"" +
               (i % 3 == 0 ? "true" : "false") + "\" sent=\"false\"/></Event>\n";
    }
    return xml + "</Playlist>\n";
}

// A small HTTP/1.0 server on 127.0.0.1: one thread per connection, one
// request per connection. A path is answered at once, after a delay, or
// never (held while the server lives, at most kMaxHoldMs). A silent server
// reads and discards whatever comes and never sends a byte: a TLS peer that
// never speaks. Routes may change while it runs.
class BenchServer {
public:
    struct Route {
        std::string body;
        int delayMs = 0;
        bool hang = false;
    };
    static constexpr int kMaxHoldMs = 120000;
    static constexpr size_t kMaxConnections = 2000;

    explicit BenchServer(bool silent = false) : silent_(silent) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 64) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            std::abort();
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~BenchServer() {
        stop_ = true;
        thread_.join();
        for (std::thread& t : workers_) t.join();
        ::close(fd_);
    }
    BenchServer(const BenchServer&) = delete;
    BenchServer& operator=(const BenchServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    void Set(const std::string& path, Route route) {
        std::lock_guard<std::mutex> lock(mutex_);
        routes_[path] = std::move(route);
    }
    int Requests() const { return requests_; }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            if (workers_.size() >= kMaxConnections) {
                ::close(client);
                continue;
            }
            workers_.emplace_back([this, client] {
                Answer(client);
                ::close(client);
            });
        }
    }

    // Reads and drops what the client sends for up to ms; false when the
    // server stops or the client goes first.
    bool Hold(int client, int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && Clock::now() < until) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        }
        return !stop_;
    }

    void Answer(int client) {
        if (silent_) {
            Hold(client, kMaxHoldMs);
            return;
        }
        std::string request;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && !stop_ &&
               Clock::now() < deadline) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[1024];
            const ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0) return;
            request.append(buf, static_cast<size_t>(n));
        }
        const size_t start = request.find(' ');
        const size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
        const std::string path = end == std::string::npos ? "" : request.substr(start + 1, end - start - 1);
        int status = 404;
        Route route{"<html>not found</html>", 0, false};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = routes_.find(path);
            if (it != routes_.end()) {
                route = it->second;
                status = 200;
            }
        }
        ++requests_;
        if (route.hang) {
            Hold(client, kMaxHoldMs);
            return;
        }
        if (route.delayMs > 0 && !Hold(client, route.delayMs)) return;
        std::string out = "HTTP/1.0 " + std::to_string(status) +
                          " X\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(route.body.size()) +
                          "\r\nConnection: close\r\n\r\n" + route.body;
        timeval limit{5, 0};
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        size_t sent = 0;
        while (sent < out.size() && !stop_) {
            const ssize_t n = ::send(client, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    const bool silent_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    std::map<std::string, Route> routes_;  // guarded by mutex_
    std::thread thread_;
    std::vector<std::thread> workers_;  // the accept thread's; joined at the end
};

// Runs the top-level loop (where idle passes run) until done() holds or ms
// pass; a 5 ms ticker keeps it going round. Returns done().
bool RunLoopUntil(const std::function<bool()>& done, int ms) {
    if (done()) return true;
    QEventLoop loop;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    ticker.start(5);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

void FlushDeferredDeletes() {
    for (int i = 0; i < 3; ++i) QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

CTallyscopeView* FirstView(CDocument* doc) {
    if (doc == nullptr || doc->GetViewCount() == 0) return nullptr;
    return dynamic_cast<CTallyscopeView*>(doc->GetViews().front());
}

std::vector<CTallyscopeView*> AllViews(CTallyscopeApp& app) {
    std::vector<CTallyscopeView*> views;
    if (app.m_pDocManager == nullptr) return views;
    for (CDocTemplate* t : app.m_pDocManager->GetTemplates())
        for (CDocument* d : t->GetDocuments())
            if (CTallyscopeView* v = FirstView(d)) views.push_back(v);
    return views;
}

// Opens a playlist window and waits until its rows are on screen (the
// previous viewer fetches inside the call, this one after it). Null when
// it did not open or fill.
CTallyscopeView* OpenWindow(CTallyscopeApp& app, const std::string& url) {
    CDocument* doc = nullptr;
    try {
        doc = app.OpenDocumentFile(url.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "open %s: %s\n", url.c_str(), e.what());
    }
    CTallyscopeView* view = FirstView(doc);
    if (view == nullptr) return nullptr;
    return RunLoopUntil([view] { return view->m_list.GetItemCount() > 0; }, 20000) ? view : nullptr;
}

long CountdownSeconds(const CTallyscopeView* view) {
    const Timecode& t = view->m_list.countdown();
    return t.hh * 3600L + t.mm * 60L + t.ss;
}

void WriteSessionConfig(int port) {
    const std::string certs = simtest::certificateDir();
    std::ofstream(g_root + "/config.xml")
        << "<Config><AggrServer ip=\"127.0.0.1\" port=\"" << port << "\"><SslCfktFile>" << certs
        << "/client.pem</SslCfktFile><SslKeyFile>" << certs << "/client.key</SslKeyFile><SslCAFile>" << certs
        << "/ca.pem</SslCAFile></AggrServer></Config>\n";
}

// Answers every modal run with IDOK (no person at an offscreen screen) and
// counts the message boxes.
class ModalAnswers {
public:
    ModalAnswers()
        : previous_(AfxSetModalRunHook([this](CModalRun& run) {
              if (run.kind == CModalRun::MessageBox) ++boxes_;
              return IDOK;
          })) {}
    ~ModalAnswers() { AfxSetModalRunHook(std::move(previous_)); }
    ModalAnswers(const ModalAnswers&) = delete;
    ModalAnswers& operator=(const ModalAnswers&) = delete;
    int Boxes() const { return boxes_; }

private:
    int boxes_ = 0;
    ModalRunHook previous_;
};

// The viewer of one case; the session ends before the application goes.
struct Viewer {
    Viewer() : ok(app.InitInstance()) {}
    ~Viewer() {
        if (CSessionDocManager* manager = GetSessionDocManager()) manager->EndSession();
    }
    ModalAnswers answers;
    CTallyscopeApp app;
    bool ok;
};

struct Outcome {
    std::string name;
    double maxStallMs = 0;
    double p99StallMs = 0;
    double countdownErrorS = -1;  // -1: no countdown to compare
    double wallS = 0;
    size_t intervals = 0;
    double worstAtS = 0;      // when the worst stall ended, from the start
    double longestActMs = 0;  // the longest single call of the case's action
    double worstCpuMs = 0;    // CPU the GUI thread used during the worst stall
    long worstPreempted = 0;  // times it was put off the CPU meanwhile
    std::string notes;
};

std::vector<Outcome>& Outcomes() {
    static std::vector<Outcome> outcomes;
    return outcomes;
}

// The calling thread's CPU time and involuntary context switches.
struct ThreadUse {
    double cpuMs = 0;
    long preempted = 0;
    static ThreadUse Now() {
        ThreadUse use;
        timespec cpu{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        use.cpuMs = static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) / 1e6;
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        use.preempted = usage.ru_nivcsw;
        return use;
    }
};

// The measured minute. act runs at its start and then every periodMs, never
// once the minute is over; a call that blocks runs to its end, and the loop
// ends at its first chance after the minute.
class Minute {
public:
    bool Left() const { return Clock::now() < end_; }

    void Run(CTallyscopeView* clock, int periodMs, const std::function<void()>& act, Outcome& out) {
        const bool counting = clock != nullptr && clock->m_list.runningRow() >= 0;
        if (counting) {
            // Start just after a step, so the whole seconds counted compare
            // with the wall clock to well under a second.
            const long before = CountdownSeconds(clock);
            RunLoopUntil([&] { return CountdownSeconds(clock) != before; }, 2500);
        }
        const long countdownAtStart = counting ? CountdownSeconds(clock) : 0;

        std::vector<double> lateness;
        lateness.reserve(kCaseMs / kProbeMs + 16);
        QEventLoop loop;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        Clock::time_point start;
        Clock::time_point last;
        ThreadUse lastUse;
        QObject::connect(&probe, &QTimer::timeout, &loop, [&] {
            const Clock::time_point now = Clock::now();
            const ThreadUse use = ThreadUse::Now();
            const double ms = std::chrono::duration<double, std::milli>(now - last).count();
            lateness.push_back(std::max(0.0, ms - kProbeMs));
            // Where the worst one ended and what the GUI thread did meanwhile:
            // busy (its own work) or not (waiting, or another process ran).
            if (lateness.back() >= out.maxStallMs) {
                out.maxStallMs = lateness.back();
                out.worstAtS = std::chrono::duration<double>(now - start).count();
                out.worstCpuMs = use.cpuMs - lastUse.cpuMs;
                out.worstPreempted = use.preempted - lastUse.preempted;
            }
            last = now;
            lastUse = use;
        });
        QTimer every;
        auto fire = [&] {
            if (!Left()) return;
            const Clock::time_point before = Clock::now();
            act();
            out.longestActMs =
                std::max(out.longestActMs, std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        };
        QObject::connect(&every, &QTimer::timeout, &loop, fire);
        QTimer stop;
        stop.setSingleShot(true);
        stop.setTimerType(Qt::PreciseTimer);
        QObject::connect(&stop, &QTimer::timeout, &loop, &QEventLoop::quit);

        start = Clock::now();
        end_ = start + std::chrono::milliseconds(kCaseMs);
        last = start;
        lastUse = ThreadUse::Now();
        probe.start(kProbeMs);
        QTimer::singleShot(0, &loop, fire);
        if (periodMs > 0) every.start(periodMs);
        stop.start(kCaseMs);
        loop.exec();
        probe.stop();
        every.stop();
        if (counting) {
            // End just after a step too.
            const long before = CountdownSeconds(clock);
            RunLoopUntil([&] { return CountdownSeconds(clock) != before; }, 2500);
        }
        const Clock::time_point finish = Clock::now();

        out.wallS = std::chrono::duration<double>(finish - start).count();
        out.intervals = lateness.size();
        if (!lateness.empty()) {
            std::sort(lateness.begin(), lateness.end());
            out.p99StallMs = lateness[std::min(lateness.size() - 1, lateness.size() * 99 / 100)];
        }
        if (counting) {
            const long consumed = countdownAtStart - CountdownSeconds(clock);
            out.countdownErrorS = std::abs(out.wallS - static_cast<double>(consumed));
        }
    }

private:
    Clock::time_point end_ = Clock::now();
};

void Report(benchmark::State& state, const Outcome& out) {
    state.counters["max_stall_ms"] = out.maxStallMs;
    state.counters["p99_stall_ms"] = out.p99StallMs;
    state.counters["countdown_err_s"] = out.countdownErrorS;
    std::printf(
        "%-12s %-12s max stall %9.1f ms (at %.2f s, GUI thread CPU %.1f ms, preempted %ld times), "
        "p99 %9.1f ms, countdown error %6.2f s, wall %.1f s, %zu intervals; longest action %.1f ms; %s\n",
        out.name.c_str(), BuildLabel(), out.maxStallMs, out.worstAtS, out.worstCpuMs, out.worstPreempted,
        out.p99StallMs, out.countdownErrorS, out.wallS, out.intervals, out.longestActMs, out.notes.c_str());
    std::fflush(stdout);
    Outcomes().push_back(out);
}

// Two windows whose server turns slow (answers after 10 s) or silent once
// they are open, a third on a fast server for the countdown, and an
// "Update" every 5 s.
void SlowPlaylists(benchmark::State& state, const char* name, bool hang) {
    Outcome out;
    out.name = name;
    BenchServer fast;
    BenchServer slow;
    fast.Set("/clock.xml", {Playlist(20, "clock", 1)});
    slow.Set("/slow1.xml", {Playlist(kEvents, "slow1")});
    slow.Set("/slow2.xml", {Playlist(kEvents, "slow2")});
    {
        Viewer viewer;
        if (!viewer.ok) {
            state.SkipWithError("the viewer did not start");
            return;
        }
        CTallyscopeView* clock = OpenWindow(viewer.app, fast.Url("/clock.xml"));
        const bool opened = OpenWindow(viewer.app, slow.Url("/slow1.xml")) != nullptr &&
                            OpenWindow(viewer.app, slow.Url("/slow2.xml")) != nullptr;
        if (clock == nullptr || !opened) {
            state.SkipWithError("the playlist windows did not open");
            return;
        }
        const BenchServer::Route later{Playlist(kEvents, "slow1"), hang ? 0 : kSlowAnswerMs, hang};
        slow.Set("/slow1.xml", later);
        slow.Set("/slow2.xml", {Playlist(kEvents, "slow2"), later.delayMs, later.hang});
        const int requestsBefore = slow.Requests();
        int updates = 0;
        Minute minute;
        for (auto _ : state) {
            minute.Run(
                clock, kUpdateEveryMs,
                [&] {
                    ++updates;
                    try {
                        viewer.app.RefreshAllDocuments();
                    } catch (const std::exception& e) {
                        std::fprintf(stderr, "refresh: %s\n", e.what());
                    }
                },
                out);
        }
        out.notes = std::to_string(updates) + " updates, " + std::to_string(slow.Requests() - requestsBefore) +
                    " slow requests";
    }
    FlushDeferredDeletes();
    Report(state, out);
}

void BM_SlowPlaylistServer(benchmark::State& state) { SlowPlaylists(state, "slow HTTP", false); }
void BM_SilentPlaylistServer(benchmark::State& state) { SlowPlaylists(state, "silent HTTP", true); }

// The configured aggregation server accepts TCP and never speaks TLS; File >
// Open is given again whenever one ends (its "Failed to connect" box).
void BM_SilentAggrServer(benchmark::State& state) {
    Outcome out;
    out.name = "silent TLS";
    BenchServer fast;
    BenchServer peer(true);
    fast.Set("/clock.xml", {Playlist(20, "clock", 1)});
    WriteSessionConfig(peer.Port());
    {
        Viewer viewer;
        if (!viewer.ok) {
            state.SkipWithError("the viewer did not start");
            return;
        }
        CTallyscopeView* clock = OpenWindow(viewer.app, fast.Url("/clock.xml"));
        if (clock == nullptr) {
            state.SkipWithError("the countdown window did not open");
            return;
        }
        int opens = 0;
        int endedAt = 0;  // boxes seen when the last Open was given
        Minute minute;
        for (auto _ : state) {
            // Polled: the previous viewer ends its Open inside the call, this
            // one later from the loop; either way the box marks the end.
            minute.Run(
                clock, 100,
                [&] {
                    if (opens > 0 && viewer.answers.Boxes() == endedAt) return;
                    endedAt = viewer.answers.Boxes();
                    ++opens;
                    viewer.app.OnFileOpen();
                },
                out);
        }
        out.notes = std::to_string(opens) + " opens, " + std::to_string(viewer.answers.Boxes()) + " boxes";
    }
    FlushDeferredDeletes();
    Report(state, out);
}

// The real simulator, a session on "Studio A", and a "drop" every 2 s.
void BM_FlappingSession(benchmark::State& state) {
    Outcome out;
    out.name = "sim drop";
    simtest::SimProcess sim;
    if (!sim.start(simtest::SimProcess::testArgs({"--speed", "0"}))) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    BenchServer fast;
    fast.Set("/clock.xml", {Playlist(20, "clock", 1)});
    WriteSessionConfig(sim.tlsPort());
    {
        Viewer viewer;
        if (!viewer.ok) {
            state.SkipWithError("the viewer did not start");
            return;
        }
        CTallyscopeView* clock = OpenWindow(viewer.app, fast.Url("/clock.xml"));
        CSessionDocManager* manager = GetSessionDocManager();
        if (clock == nullptr || manager == nullptr) {
            state.SkipWithError("the countdown window did not open");
            return;
        }
        manager->GetSettings().hasPresetStudio = true;
        manager->GetSettings().presetStudio = "Studio A";
        viewer.app.OnFileOpen();
        const bool up = RunLoopUntil(
            [&] {
                if (manager->SessionUp() != 1 || !manager->LinkUp() || viewer.app.GetOpenDocumentCount() != 3)
                    return false;
                for (CTallyscopeView* v : AllViews(viewer.app))
                    if (v->m_list.GetItemCount() == 0) return false;
                return true;
            },
            30000);
        if (!up) {
            state.SkipWithError("the session did not open its windows");
            return;
        }
        const int reconnectsBefore = manager->ReconnectAttempts();
        const int refreshesBefore = manager->Refreshes();
        int drops = 0;
        Minute minute;
        for (auto _ : state) {
            minute.Run(
                clock, kDropEveryMs,
                [&] {
                    ++drops;
                    sim.send("drop");
                },
                out);
        }
        out.notes = std::to_string(drops) + " drops, " +
                    std::to_string(manager->ReconnectAttempts() - reconnectsBefore) + " reconnect attempts, " +
                    std::to_string(manager->Refreshes() - refreshesBefore) + " refreshes";
    }
    FlushDeferredDeletes();
    sim.stop();
    Report(state, out);
}

}  // namespace

BENCHMARK(BM_SlowPlaylistServer)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SilentPlaylistServer)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SilentAggrServer)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlappingSession)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // Before the QApplication and anything else reads them.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char root[] = "/tmp/tallyscope-stall-bench-XXXXXX";
    if (::mkdtemp(root) == nullptr) return 1;
    g_root = root;
    for (const char* sub : {"/xdg", "/xdg/Corvane", "/config", "/cache", "/state", "/runtime"})
        ::mkdir((g_root + sub).c_str(), 0700);
    ::setenv("XDG_CONFIG_DIRS", (g_root + "/xdg").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (g_root + "/config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (g_root + "/cache").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (g_root + "/state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (g_root + "/runtime").c_str(), 1);
    std::ofstream(g_root + "/xdg/Corvane/TarnTallyscope.conf") << "[General]\nConfig=" << g_root << "/config.xml\n";

    {
        QApplication qapp(argc, argv);
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        FlushDeferredDeletes();
    }
    std::printf("\n%-12s  %-14s  %12s  %12s  %17s\n", "case", "build", "max stall ms", "p99 stall ms",
                "countdown error s");
    for (const Outcome& o : Outcomes())
        std::printf("%-12s  %-14s  %12.1f  %12.1f  %17.2f\n", o.name.c_str(), BuildLabel(), o.maxStallMs, o.p99StallMs,
                    o.countdownErrorS);
    QDir(QString::fromStdString(g_root)).removeRecursively();
    return 0;
}
