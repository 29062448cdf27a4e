// Background fetches of the playlist documents: the window never waits on a
// playlist server, each document applies its own result whenever it comes,
// and every way a fetch can overlap with the operator has one outcome.
#include <dirent.h>

#include <QTimer>

#include <chrono>
#include <thread>

#include "HttpTestServer.h"
#include "PlaylistSupport.h"
#include "framework/HttpFetcher.h"
#include "framework/Internet.h"

using apptest::ColumnTexts;
using apptest::EventSpec;
using apptest::FirstView;
using apptest::HttpTestServer;
using apptest::OpenPlaylist;
using apptest::PlaylistTest;
using apptest::PlaylistXml;
using apptest::ReadFile;
using apptest::WaitForFetches;

namespace {

const std::string kTwoEvents = PlaylistXml({{"EV1"}, {"EV2"}});
const std::string kThreeEvents = PlaylistXml({{"EV7"}, {"EV8"}, {"EV9"}});

int ThreadCount() { return apptest::CountOwnThreads(); }

HttpTestServer::Response Hung() {
    HttpTestServer::Response r;
    r.hang = true;
    return r;
}

HttpTestServer::Response Slow(const std::string& body, int ms) {
    HttpTestServer::Response r;
    r.body = body;
    r.delayMs = ms;
    return r;
}

}  // namespace

TEST_F(PlaylistTest, UpdateWithOneHungServerRefreshesTheOthersAndKeepsTheHungRows) {
    HttpTestServer good;
    HttpTestServer hung;
    good.Set("/a.xml", kTwoEvents);
    good.Set("/b.xml", kTwoEvents);
    hung.Set("/h.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* a = OpenPlaylist(app, good.Url("/a.xml"));
    CTallyscopeDoc* h = OpenPlaylist(app, hung.Url("/h.xml"));
    CTallyscopeDoc* b = OpenPlaylist(app, good.Url("/b.xml"));
    ASSERT_TRUE(a && h && b);
    good.Set("/a.xml", kThreeEvents);
    good.Set("/b.xml", kThreeEvents);
    hung.Set("/h.xml", Hung());
    // The server's "Update": every document starts at once.
    EXPECT_EQ(app.RefreshAllDocuments(), 3);
    EXPECT_TRUE(a->FetchRunning() && h->FetchRunning() && b->FetchRunning());
    const std::vector<std::string> fresh{"EV7", "EV8", "EV9"};
    ASSERT_TRUE(guitest::RunLoopUntil(
        [&] {
            return ColumnTexts(FirstView(a)->m_list, kColumnId) == fresh &&
                   ColumnTexts(FirstView(b)->m_list, kColumnId) == fresh;
        },
        10000));
    // The hung one still waits, with its rows as they were.
    EXPECT_TRUE(h->FetchRunning());
    EXPECT_EQ(ColumnTexts(FirstView(h)->m_list, kColumnId), (std::vector<std::string>{"EV1", "EV2"}));
    EXPECT_EQ(ReadFile(CachePath("h.xml")), kTwoEvents);
}

TEST_F(PlaylistTest, UpdatesDuringARunningFetchGiveExactlyOneMoreFetch) {
    HttpTestServer server;
    server.Set("/p.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/p.xml"));
    ASSERT_NE(doc, nullptr);
    ASSERT_EQ(server.RequestsFor("/p.xml"), 1);
    server.Set("/p.xml", Slow(kThreeEvents, 400));
    doc->Refresh();  // "Update"
    ASSERT_TRUE(doc->FetchRunning());
    doc->Refresh();                                              // another "Update"
    AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH);  // F5
    doc->Refresh();
    EXPECT_TRUE(doc->FetchQueued());
    // Only one request runs at a time for the document.
    guitest::RunLoopFor(150);
    EXPECT_EQ(server.RequestsFor("/p.xml"), 2);
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(server.RequestsFor("/p.xml"), 3);
    EXPECT_EQ(doc->FetchesEnded(), 3);
    EXPECT_EQ(FirstView(doc)->m_list.GetItemCount(), 3);
    // Nothing more follows.
    guitest::RunLoopFor(200);
    EXPECT_EQ(server.RequestsFor("/p.xml"), 3);
}

TEST_F(PlaylistTest, ResultsApplyInWhateverOrderTheyCome) {
    HttpTestServer server;
    server.Set("/slow.xml", kTwoEvents);
    server.Set("/fast.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* slow = OpenPlaylist(app, server.Url("/slow.xml"));
    CTallyscopeDoc* fast = OpenPlaylist(app, server.Url("/fast.xml"));
    ASSERT_TRUE(slow && fast);
    server.Set("/slow.xml", Slow(kThreeEvents, 600));
    server.Set("/fast.xml", kThreeEvents);
    app.RefreshAllDocuments();
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return !fast->FetchRunning(); }, 5000));
    EXPECT_TRUE(slow->FetchRunning());
    EXPECT_EQ(FirstView(fast)->m_list.GetItemCount(), 3);
    EXPECT_EQ(FirstView(slow)->m_list.GetItemCount(), 2);
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(FirstView(slow)->m_list.GetItemCount(), 3);
}

TEST_F(PlaylistTest, ClosingAWindowCancelsItsFetch) {
    HttpTestServer server;
    server.Set("/c.xml", kTwoEvents);
    server.Set("/other.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/c.xml"));
    CTallyscopeDoc* other = OpenPlaylist(app, server.Url("/other.xml"));
    ASSERT_TRUE(doc && other);
    server.Set("/c.xml", Slow(kThreeEvents, 300));
    doc->Refresh();
    doc->Refresh();  // one more queued behind it
    ASSERT_EQ(app.GetHttpFetcher().Running(), 1);
    doc->OnCloseDocument();  // the window goes, and the document with it
    EXPECT_EQ(app.GetHttpFetcher().Running(), 0);
    // The answer that comes later is applied nowhere, and nothing else
    // is fetched for the closed window.
    guitest::RunLoopFor(600);
    // The cancelled request may or may not have reached the server; the
    // queued one never starts.
    EXPECT_LE(server.RequestsFor("/c.xml"), 2);
    EXPECT_EQ(app.GetOpenDocumentCount(), 1);
    EXPECT_EQ(FirstView(other)->m_list.GetItemCount(), 2);
}

TEST_F(PlaylistTest, QuittingWithAHungFetchEndsAndLeavesNoThread) {
    HttpTestServer server;
    server.Set("/q.xml", kTwoEvents);
    const int threads = ThreadCount();
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/q.xml"));
        ASSERT_NE(doc, nullptr);
        server.Set("/q.xml", Hung());
        doc->Refresh();
        ASSERT_TRUE(guitest::RunLoopUntil([&] { return server.Open() == 1; }, 5000));
    }
    // The fetcher let go of the transfer (the server sees the connection
    // close) and its thread ended.
    EXPECT_TRUE(guitest::RunLoopUntil([&] { return server.Open() == 0; }, 5000));
    EXPECT_TRUE(guitest::RunLoopUntil([&] { return ThreadCount() == threads; }, 5000))
        << ThreadCount() << " " << threads;
}

TEST_F(PlaylistTest, TheFetcherDeliversOnTheGuiThreadAndNeverAfterCancel) {
    HttpTestServer server;
    server.Set("/f.xml", "body");
    server.Set("/slow.xml", Slow("late", 200));
    CHttpFetcher fetcher;
    const std::thread::id gui = std::this_thread::get_id();
    std::thread::id processedOn;
    std::thread::id doneOn;
    std::string body;
    CHttpFetcher::Request request;
    request.url = server.Url("/f.xml");
    request.process = [&](CHttpResult& r) {
        processedOn = std::this_thread::get_id();
        r.body += "+processed";
    };
    request.done = [&](CHttpResult& r) {
        doneOn = std::this_thread::get_id();
        body = r.body;
    };
    fetcher.Start(std::move(request));
    bool lateRan = false;
    CHttpFetcher::Request late;
    late.url = server.Url("/slow.xml");
    late.done = [&](CHttpResult&) { lateRan = true; };
    const int lateId = fetcher.Start(std::move(late));
    EXPECT_EQ(fetcher.Running(), 2);
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return !body.empty(); }, 5000));
    EXPECT_EQ(body, "body+processed");
    EXPECT_EQ(doneOn, gui);
    EXPECT_NE(processedOn, gui);
    fetcher.Cancel(lateId);
    EXPECT_EQ(fetcher.Running(), 0);
    guitest::RunLoopFor(400);
    EXPECT_FALSE(lateRan);

    // A URL that is not http(s) fails like a transfer, from the loop.
    CHttpResult failed;
    CHttpFetcher::Request bad;
    bad.url = "ftp://127.0.0.1/x";
    bad.done = [&](CHttpResult& r) { failed = r; };
    fetcher.Start(std::move(bad));
    EXPECT_TRUE(failed.url.empty());
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return !failed.url.empty(); }, 5000));
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_INTERNET_UNRECOGNIZED_SCHEME));
}

TEST_F(PlaylistTest, TheCountdownFollowsTheClockAfterAStalledLoop) {
    HttpTestServer server;
    std::vector<EventSpec> events{{"E0"}, {"E1"}};
    events[1].status = "Running";
    events[1].durationSeconds = 50;
    server.Set("/run.xml", PlaylistXml(events));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/run.xml"));
    ASSERT_NE(doc, nullptr);
    CEventListCtrl& list = FirstView(doc)->m_list;
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return list.countdown() == Timecode(0, 0, 49, 5); }, 4000));
    const auto stepped = list.LastStep();
    // The GUI thread is held for 3.5 s: no tick runs meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    guitest::RunLoopFor(300);
    // Every whole second since the last step is counted, not one tick.
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - stepped +
                                                                          std::chrono::milliseconds(500));
    const int expected = 49 - static_cast<int>(elapsed.count());
    EXPECT_LE(list.countdown().ss, 46);
    EXPECT_GE(list.countdown().ss, expected - 1);
    EXPECT_LE(list.countdown().ss, expected + 1);
    EXPECT_EQ(std::string(list.GetItemText(1, kColumnDuration)), list.countdown().Format().GetString());
}
