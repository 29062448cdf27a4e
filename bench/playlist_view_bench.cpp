// Rebuilding a playlist view on the offscreen platform: fetch from loopback,
// parse and fill (Refresh), and the fill alone (OnUpdate), for 2,000 and
// 10,000 events. Also the growth of the peak resident memory when a view
// of that many rows opens, per row (fetch, tree and rows together).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "../tests/app/HttpTestServer.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "app/TallyscopeView.h"

namespace {

std::string Playlist(int events) {
    std::string xml =
        "<Playlist name=\"Bench\"><Clock><Date year=\"2002\" month=\"8\" day=\"30\"/>"
        "<Time hh=\"17\" mm=\"58\" ss=\"40\"/></Clock>\n";
    for (int i = 0; i < events; ++i) {
        const std::string id = std::to_string(i);
        xml += "<Event id=\"EV" + id + "\" name=\"Title number " + id + "\" status=\"" +
               (i == events / 2 ? "Running" : "Cued") + "\" quorServer=\"192.168.10.31\"><Segment id=\"" +
               std::to_string(100 + i % 7) +
               "\"><OnAir><Date month=\"8\" day=\"30\" year=\"2002\"/><Time hh=\"1\" mm=\"2\" ss=\"3\" ff=\"4\"/>"
               "<Duration hh=\"0\" mm=\"1\" ss=\"30\" ff=\"0\"/></OnAir></Segment>"
               "<QuorTrigger active=\"" +
               (i % 3 == 0 ? "true" : "false") + "\" sent=\"false\"/></Event>\n";
    }
    return xml + "</Playlist>\n";
}

long MaxRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Fixture {
    Fixture() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static char cache[] = "/tmp/tallyscope-bench-XXXXXX";
        if (::mkdtemp(cache) != nullptr) ::setenv("XDG_CACHE_HOME", cache, 1);
        static int argc = 1;
        static char name[] = "playlist_view_bench";
        static char* argv[] = {name, nullptr};
        qapp = std::make_unique<QApplication>(argc, argv);
        app = std::make_unique<CTallyscopeApp>();
        if (!app->InitInstance()) std::abort();
    }
    std::unique_ptr<QApplication> qapp;
    std::unique_ptr<CTallyscopeApp> app;
    apptest::HttpTestServer server;
};

Fixture& GetFixture() {
    static Fixture* fixture = new Fixture;  // lives to the end of the process
    return *fixture;
}

// Runs the GUI thread's loop until the view holds `rows` rows (the fetch may
// end in the background); at most 30 s.
void WaitForRows(CTallyscopeDoc* doc, int rows) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto* view = dynamic_cast<CTallyscopeView*>(doc->GetViews().front());
    while (view->m_list.GetItemCount() != rows && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

CTallyscopeDoc* OpenPlaylist(int events) {
    Fixture& f = GetFixture();
    const std::string path = "/bench-" + std::to_string(events) + ".xml";
    f.server.Set(path, Playlist(events));
    auto* doc = dynamic_cast<CTallyscopeDoc*>(f.app->OpenDocumentFile(f.server.Url(path).c_str()));
    if (doc != nullptr) WaitForRows(doc, events);
    return doc;
}

void BM_RefreshFetchParseFill(benchmark::State& state) {
    const int events = static_cast<int>(state.range(0));
    GetFixture();  // Qt's own start-up is not counted per row
    const long before = MaxRssKiB();
    CTallyscopeDoc* doc = OpenPlaylist(events);
    const long after = MaxRssKiB();
    for (auto _ : state) {
        // Fetch, parse and fill, however the refresh is carried out.
        doc->Refresh();
        while (doc->FetchRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    auto* view = dynamic_cast<CTallyscopeView*>(doc->GetViews().front());
    if (view->m_list.GetItemCount() != events) state.SkipWithError("rows missing");
    state.counters["peak_rss_bytes_per_row"] = static_cast<double>(after - before) * 1024.0 / events;
    state.SetItemsProcessed(state.iterations() * events);
}

void BM_FillOnly(benchmark::State& state) {
    const int events = static_cast<int>(state.range(0));
    CTallyscopeDoc* doc = OpenPlaylist(events);
    auto* view = dynamic_cast<CTallyscopeView*>(doc->GetViews().front());
    for (auto _ : state) view->OnUpdate(nullptr, 0, nullptr);
    state.SetItemsProcessed(state.iterations() * events);
}

}  // namespace

BENCHMARK(BM_RefreshFetchParseFill)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillOnly)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);
