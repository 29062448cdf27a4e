// End to end over loopback: the simulator sends "Update" and the viewer's
// four playlist windows of 500 events each are fetched and rebuilt on the
// offscreen platform. Prints the latency from the command to the simulator
// until every window's fetch has ended and its rows are rebuilt (median, p99),
// and the CPU an idle connected viewer uses.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SimProcess.h"
#include "app/MainFrm.h"
#include "app/SessionDocManager.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "framework/DocTemplate.h"
#include "framework/Afx.h"

namespace {

constexpr int kPlaylists = 4;
constexpr int kEvents = 500;
constexpr int kRounds = 60;

std::string Playlist(int events, const std::string& name) {
    std::string xml = "<Playlist name=\"" + name +
                      "\"><Clock><Date year=\"2002\" month=\"8\" day=\"30\"/>"
                      "<Time hh=\"17\" mm=\"58\" ss=\"40\"/></Clock>\n";
    for (int i = 0; i < events; ++i) {
        const std::string id = std::to_string(i);
        xml += "<Event id=\"EV" + id + "\" name=\"Title number " + id + "\" status=\"" +
               (i == 2 ? "Running" : (i < 2 ? "Played" : "Cued")) + "\" quorServer=\"192.168.10.31\"><Segment id=\"" +
               std::to_string(100 + i % 7) +
               "\"><OnAir><Date month=\"8\" day=\"30\" year=\"2002\"/><Time hh=\"17\" mm=\"58\" ss=\"0\" ff=\"0\"/>"
               "<Duration hh=\"0\" mm=\"1\" ss=\"30\" ff=\"0\"/></OnAir></Segment>"
               "<QuorTrigger active=\"" +
               (i % 3 == 0 ? "true" : "false") + "\" sent=\"false\"/></Event>\n";
    }
    return xml + "</Playlist>\n";
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the top-level loop until done() holds or ms pass.
bool RunUntil(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QTimer tick;
        QEventLoop loop;
        QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
        tick.start(1);
        loop.exec();
    }
    return true;
}

void BM_UpdateToRowsOnScreen(benchmark::State& state) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char root[] = "/tmp/tallyscope-session-bench-XXXXXX";
    if (::mkdtemp(root) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string dir = root;
    ::setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (dir + "/xdg").c_str(), 1);
    ::mkdir((dir + "/xdg").c_str(), 0700);
    ::mkdir((dir + "/xdg/Corvane").c_str(), 0700);
    ::mkdir((dir + "/lists").c_str(), 0700);
    std::ofstream studios(dir + "/studios.xml");
    studios << "<Studios><Studio name=\"Bench\" id=\"BENCH\">";
    for (int i = 0; i < kPlaylists; ++i) {
        const std::string name = "list" + std::to_string(i);
        std::ofstream(dir + "/lists/" + name + ".xml") << Playlist(kEvents, name);
        studios << "<Playlist name=\"" << name << "\" url=\"http://x/playlists/" << name << ".xml\"/>";
    }
    studios << "</Studio></Studios>\n";
    studios.close();

    simtest::SimProcess sim;
    if (!sim.start(simtest::SimProcess::testArgs(
            {"--speed", "0", "--studios", dir + "/studios.xml", "--playlists", dir + "/lists"}))) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    const std::string certs = simtest::certificateDir();
    std::ofstream(dir + "/config.xml") << "<Config><AggrServer ip=\"127.0.0.1\" port=\"" << sim.tlsPort()
                                       << "\"><SslCfktFile>" << certs << "/client.pem</SslCfktFile><SslKeyFile>"
                                       << certs << "/client.key</SslKeyFile><SslCAFile>" << certs
                                       << "/ca.pem</SslCAFile></AggrServer></Config>\n";
    std::ofstream(dir + "/xdg/Corvane/TarnTallyscope.conf") << "[General]\nConfig=" << dir << "/config.xml\n";

    static int argc = 1;
    static char name[] = "session_bench";
    static char* argv[] = {name, nullptr};
    QApplication qapp(argc, argv);
    std::vector<double> latencies;
    double idleCpuPercent = 0;
    {
        CTallyscopeApp app;
        if (!app.InitInstance()) {
            state.SkipWithError("the viewer did not start");
            return;
        }
        CSessionDocManager* manager = GetSessionDocManager();
        manager->GetSettings().hasPresetStudio = true;
        manager->GetSettings().presetStudio = "Bench";
        // Every window's fetch has ended and its rows are rebuilt.
        auto fetched = [&app] {
            for (CDocTemplate* t : app.m_pDocManager->GetTemplates())
                for (CDocument* d : t->GetDocuments())
                    if (auto* doc = dynamic_cast<CTallyscopeDoc*>(d);
                        doc != nullptr && (doc->FetchRunning() || doc->FetchQueued()))
                        return false;
            return true;
        };
        app.OnFileOpen();
        // The Open waits in the loop, and the windows fill in the background.
        if (!RunUntil([&] { return manager->Phase() == CSessionDocManager::OpenPhase::None && fetched(); }, 20000) ||
            app.GetOpenDocumentCount() != kPlaylists || !RunUntil([&] { return manager->LinkUp(); }, 10000)) {
            state.SkipWithError("the session did not open its windows");
            return;
        }
        for (auto _ : state) {
            for (int round = 0; round < kRounds; ++round) {
                const int before = manager->Refreshes();
                const auto start = std::chrono::steady_clock::now();
                sim.send("update BENCH");
                // The refresh starts every fetch at once; each window
                // rebuilds when its own ends.
                if (!RunUntil([&] { return manager->Refreshes() > before && fetched(); }, 20000)) {
                    state.SkipWithError("an Update was not acted on");
                    return;
                }
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            }
        }
        // An idle connected viewer: the clock pane and the link watch only.
        const double cpuBefore = CpuSeconds();
        const auto idleStart = std::chrono::steady_clock::now();
        QTimer stop;
        QEventLoop loop;
        QObject::connect(&stop, &QTimer::timeout, &loop, &QEventLoop::quit);
        stop.start(5000);
        loop.exec();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - idleStart).count();
        idleCpuPercent = 100.0 * (CpuSeconds() - cpuBefore) / wall;
    }
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    const double p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["median_ms"] = median;
    state.counters["p99_ms"] = p99;
    state.counters["idle_cpu_pct"] = idleCpuPercent;
    std::printf(
        "Update to rows on screen, %d windows of %d events, %zu rounds: median %.1f ms, p99 %.1f ms "
        "(targets 30 ms, 60 ms); idle connected viewer %.2f%% CPU (target < 1%%)\n",
        kPlaylists, kEvents, latencies.size(), median, p99, idleCpuPercent);
}

}  // namespace

BENCHMARK(BM_UpdateToRowsOnScreen)->Iterations(1)->Unit(benchmark::kMillisecond);
