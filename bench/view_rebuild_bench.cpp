// The GUI thread's cost of one "Update" rebuild of playlist windows on the
// offscreen platform, as the operator meets it: the document takes a new tree
// (the running event moved on by one, as playout does), every view rebuilds,
// and the loop lays out and paints. Cases: one window of 10,000 events, four
// windows of 2,000. Also the memory a window's rows and tree take per row.
//
// Only the application's long-standing interface is used (open by URL, the
// document's root, UpdateAllViews), so the same file measures older trees.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QEventLoop>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../tests/app/HttpTestServer.h"
#include "app/MainFrm.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "app/TallyscopeView.h"
#include "external/XMLDoc.h"

namespace {

std::string Playlist(int events, int running) {
    std::string xml =
        "<Playlist name=\"Bench\"><Clock><Date year=\"2002\" month=\"8\" day=\"30\"/>"
        "<Time hh=\"17\" mm=\"58\" ss=\"40\"/></Clock>\n";
    for (int i = 0; i < events; ++i) {
        const std::string id = std::to_string(i);
        const char* status = i < running ? "Played" : i == running ? "Running" : "Cued";
        xml += "<Event id=\"EV" + id + "\" name=\"Title number " + id + "\" status=\"" + status +
               "\" quorServer=\"192.168.10.31\"><Segment id=\"" + std::to_string(100 + i % 7) +
               "\"><OnAir><Date month=\"8\" day=\"30\" year=\"2002\"/><Time hh=\"1\" mm=\"2\" ss=\"3\" ff=\"4\"/>"
               "<Duration hh=\"0\" mm=\"1\" ss=\"30\" ff=\"0\"/></OnAir></Segment>"
               "<QuorTrigger active=\"" +
               (i % 3 == 0 ? "true" : "false") + "\" sent=\"false\"/></Event>\n";
    }
    return xml + "</Playlist>\n";
}

CElementNode Parse(const std::string& xml, CXMLDoc& doc) {
    CMemXMLSrc source;
    source.SetMemPtr(String(xml.c_str()));
    doc.Parse(source);
    return doc.GetRootElement();
}

double ThreadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Fixture {
    Fixture() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static char cache[] = "/tmp/tallyscope-bench-XXXXXX";
        if (::mkdtemp(cache) != nullptr) ::setenv("XDG_CACHE_HOME", cache, 1);
        static int argc = 1;
        static char name[] = "view_rebuild_bench";
        static char* argv[] = {name, nullptr};
        qapp = std::make_unique<QApplication>(argc, argv);
        app = std::make_unique<CTallyscopeApp>();
        if (!app->InitInstance()) std::abort();
        app->GetMainFrame()->m_hWnd->resize(1280, 800);
    }
    std::unique_ptr<QApplication> qapp;
    std::unique_ptr<CTallyscopeApp> app;
    apptest::HttpTestServer server;
};

Fixture& GetFixture() {
    static Fixture* fixture = new Fixture;  // lives to the end of the process
    return *fixture;
}

CTallyscopeView* ViewOf(CTallyscopeDoc* doc) { return dynamic_cast<CTallyscopeView*>(doc->GetViews().front()); }

// Lets the loop lay out and paint what changed.
void Settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Opens a window of `events` rows and waits (at most 30 s) for them.
CTallyscopeDoc* Open(const std::string& path, int events) {
    Fixture& f = GetFixture();
    f.server.Set(path, Playlist(events, 1));
    CTallyscopeDoc* doc = nullptr;
    try {
        doc = dynamic_cast<CTallyscopeDoc*>(f.app->OpenDocumentFile(f.server.Url(path).c_str()));
    } catch (const std::exception&) {
        return nullptr;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (doc != nullptr && ViewOf(doc)->m_list.GetItemCount() != events && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    Settle();
    return doc;
}

// `windows` windows of `events` rows; each iteration hands every document the
// next tree (the running event one further on) and rebuilds its views.
void RunRebuilds(benchmark::State& state, int windows, int events) {
    std::vector<CTallyscopeDoc*> docs;
    for (int w = 0; w < windows; ++w) {
        CTallyscopeDoc* doc = Open("/rebuild-" + std::to_string(windows) + "-" + std::to_string(w) + ".xml", events);
        if (doc == nullptr || ViewOf(doc)->m_list.GetItemCount() != events) {
            state.SkipWithError("the window did not fill");
            return;
        }
        docs.push_back(doc);
    }
    // Trees parsed up front: the fetch and parse are not the GUI thread's
    // work being measured here.
    constexpr int kTrees = 8;
    std::vector<std::unique_ptr<CXMLDoc>> owners;
    std::vector<CElementNode> trees;
    for (int t = 0; t < kTrees; ++t) {
        owners.push_back(std::make_unique<CXMLDoc>());
        trees.push_back(Parse(Playlist(events, 2 + t), *owners.back()));
    }
    int next = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double before = ThreadCpuMs();
        for (CTallyscopeDoc* doc : docs) {
            doc->m_root = trees[static_cast<size_t>(next % kTrees)];
            doc->UpdateAllViews(nullptr, 0, nullptr);
        }
        Settle();
        cpu += ThreadCpuMs() - before;
        ++next;
    }
    state.counters["gui_cpu_ms_per_update"] = cpu / static_cast<double>(state.iterations());
    for (CTallyscopeDoc* doc : docs) doc->OnCloseDocument();
    Settle();
}

void BM_Rebuild10000Events(benchmark::State& state) { RunRebuilds(state, 1, 10000); }
void BM_Rebuild4WindowsOf2000(benchmark::State& state) { RunRebuilds(state, 4, 2000); }

// Heap bytes a window of 10,000 events holds (rows, tree, local copy's
// parse), per row.
void BM_BytesPerRow(benchmark::State& state) {
    constexpr int kEvents = 10000;
    GetFixture();
    Settle();
    double perRow = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        CTallyscopeDoc* doc = Open("/bytes.xml", kEvents);
        const size_t after = mallinfo2().uordblks;
        perRow = static_cast<double>(after - before) / kEvents;
        if (doc != nullptr) doc->OnCloseDocument();
        Settle();
    }
    state.counters["heap_bytes_per_row"] = perRow;
}

}  // namespace

BENCHMARK(BM_Rebuild10000Events)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Rebuild4WindowsOf2000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BytesPerRow)->Unit(benchmark::kMillisecond)->Iterations(1);
