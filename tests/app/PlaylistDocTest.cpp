// The playlist document: open by URL, the HTTP fetch into the local copy,
// F5, the refresh of all documents, and every way a fetch can fail.
#include <sys/stat.h>

#include "HttpTestServer.h"
#include "PlaylistSupport.h"
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
using guitest::ScopedModalHook;

namespace {

const std::string kTwoEvents = PlaylistXml({{"EV1"}, {"EV2", "-1"}});
const std::string kThreeEvents = PlaylistXml({{"EV7"}, {"EV8"}, {"EV9"}});

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(PlaylistLocalName, LastSegmentMadeSafe) {
    EXPECT_STREQ(PlaylistLocalFileName("http://h/a/main.xml"), "main.xml");
    EXPECT_STREQ(PlaylistLocalFileName("http://h/a/my list?x=1&y=2"), "my_list_x_1_y_2");
    EXPECT_STREQ(PlaylistLocalFileName("http://h/a/"), "playlist.xml");
    EXPECT_STREQ(PlaylistLocalFileName("http://h/a/.."), "playlist.xml");
    EXPECT_STREQ(PlaylistLocalFileName("http://h/a/."), "playlist.xml");
    EXPECT_STREQ(PlaylistLocalFileName(""), "playlist.xml");
    EXPECT_STREQ(PlaylistLocalFileName("http://h/a/..%2F..%2Fetc"), ".._2F.._2Fetc");
}

TEST_F(PlaylistTest, OpenByUrlFetchesIntoTheCacheAndShowsTheRows) {
    HttpTestServer server;
    server.Set("/lists/main.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    const CTime before = CTime::GetCurrentTime();
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/lists/main.xml"));
    ASSERT_NE(doc, nullptr);
    const long elapsed = static_cast<long>((CTime::GetCurrentTime() - before).GetTotalSeconds());
    EXPECT_EQ(doc->FetchesEnded(), 1);
    EXPECT_TRUE(doc->FetchError().IsEmpty());
    EXPECT_TRUE(doc->LastGoodFetch().isValid());
    EXPECT_EQ(std::string(doc->m_url), server.Url("/lists/main.xml"));
    EXPECT_FALSE(doc->m_root.IsNull());
    EXPECT_EQ(ReadFile(CachePath("main.xml")), kTwoEvents);
    EXPECT_NE(server.LastRequest().find("User-Agent: Tallyscope\r\n"), std::string::npos) << server.LastRequest();
    CTallyscopeView* view = FirstView(doc);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(ColumnTexts(view->m_list, kColumnId), (std::vector<std::string>{"EV1", "EV2"}));
    EXPECT_EQ(app.m_clockRunning, 1);
    // The clock runs on from the playlist's 40 s, so a second boundary may have passed since.
    EXPECT_GE(app.m_clockTime.GetSecond(), 40);
    EXPECT_LE(app.m_clockTime.GetSecond(), 40 + elapsed);
    EXPECT_FALSE(doc->IsModified());
    // The same URL again activates the open document instead of fetching.
    const int requests = server.Requests();
    EXPECT_EQ(app.OpenDocumentFile(server.Url("/lists/main.xml").c_str()), doc);
    EXPECT_FALSE(doc->FetchRunning());
    EXPECT_EQ(server.Requests(), requests);
}

TEST_F(PlaylistTest, F5RefetchesTheActiveDocumentAndRebuildsItsRows) {
    HttpTestServer server;
    server.Set("/a.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/a.xml"));
    ASSERT_NE(doc, nullptr);
    server.Set("/a.xml", kThreeEvents);
    EXPECT_TRUE(AfxIsCommandEnabled(app.GetMainFrame(), ID_PLAYLIST_REFRESH));
    EXPECT_TRUE(AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH));
    // The command only starts the fetch; the rows change when it ends.
    EXPECT_TRUE(doc->FetchRunning());
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(ColumnTexts(FirstView(doc)->m_list, kColumnId), (std::vector<std::string>{"EV7", "EV8", "EV9"}));
    EXPECT_EQ(ReadFile(CachePath("a.xml")), kThreeEvents);
}

TEST_F(PlaylistTest, RefreshIsUnavailableWithoutAPlaylistWindow) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    EXPECT_FALSE(AfxIsCommandEnabled(app.GetMainFrame(), ID_PLAYLIST_REFRESH));
}

TEST_F(PlaylistTest, RefreshAllGoesOnPastAFailingDocument) {
    HttpTestServer server;
    server.Set("/one.xml", kTwoEvents);
    server.Set("/two.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* one = OpenPlaylist(app, server.Url("/one.xml"));
    CTallyscopeDoc* two = OpenPlaylist(app, server.Url("/two.xml"));
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    app.OnFileNew();  // a document without URL is skipped
    server.Set("/one.xml", HttpTestServer::Response{404, "<html/>", -1});
    server.Set("/two.xml", kThreeEvents);
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun&) {
        ++boxes;
        return IDOK;
    });
    EXPECT_EQ(app.RefreshAllDocuments(), 2);
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(boxes, 0);
    EXPECT_FALSE(one->FetchError().IsEmpty());
    EXPECT_TRUE(two->FetchError().IsEmpty());
    EXPECT_EQ(ColumnTexts(FirstView(one)->m_list, kColumnId), (std::vector<std::string>{"EV1", "EV2"}));
    EXPECT_EQ(ColumnTexts(FirstView(two)->m_list, kColumnId), (std::vector<std::string>{"EV7", "EV8", "EV9"}));
    EXPECT_EQ(apptest::PaneText(app, 0), "Fetch failed: " + server.Url("/one.xml") + ": HTTP status 404");
    EXPECT_EQ(ReadFile(CachePath("one.xml")), kTwoEvents);
    // Both succeed again: the failure leaves the message pane.
    server.Set("/one.xml", kThreeEvents);
    EXPECT_EQ(app.RefreshAllDocuments(), 2);
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(FirstView(one)->m_list.GetItemCount(), 3);
    EXPECT_TRUE(one->FetchError().IsEmpty());
    EXPECT_EQ(apptest::PaneText(app, 0), "");
}

TEST_F(PlaylistTest, OpenWithA404KeepsAnEmptyWindowThatSaysWhyAndWritesNoCopy) {
    HttpTestServer server;
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun&) {
        ++boxes;
        return IDOK;
    });
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/missing.xml"));
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(std::string(doc->FetchError()), server.Url("/missing.xml") + ": HTTP status 404");
    EXPECT_EQ(apptest::PaneText(app, 0), "Fetch failed: " + server.Url("/missing.xml") + ": HTTP status 404");
    EXPECT_TRUE(doc->m_root.IsNull());
    EXPECT_EQ(FirstView(doc)->m_list.GetItemCount(), 0);
    EXPECT_FALSE(FileExists(CachePath("missing.xml")));
    // The window fills once the server has the playlist.
    server.Set("/missing.xml", kTwoEvents);
    doc->Refresh();
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(FirstView(doc)->m_list.GetItemCount(), 2);
    EXPECT_EQ(apptest::PaneText(app, 0), "");
}

TEST_F(PlaylistTest, OpenOfAnUnreachableServerIsReportedWithTheUrl) {
    // A port that was just free: nothing listens there.
    int port = 0;
    {
        HttpTestServer probe;
        port = std::stoi(probe.Url("").substr(std::string("http://127.0.0.1:").size()));
    }
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/p.xml";
    CTallyscopeDoc* doc = OpenPlaylist(app, url);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(std::string(doc->FetchError()).rfind(url + ": ", 0), 0u) << doc->FetchError().GetString();
    EXPECT_TRUE(doc->m_root.IsNull());
}

TEST_F(PlaylistTest, CutOffTransferKeepsTheOldCopyAndRows) {
    HttpTestServer server;
    server.Set("/cut.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/cut.xml"));
    ASSERT_NE(doc, nullptr);
    server.Set("/cut.xml", HttpTestServer::Response{200, kThreeEvents, static_cast<long>(kThreeEvents.size() / 2)});
    AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH);
    ASSERT_TRUE(WaitForFetches(app));
    const std::string shown = doc->FetchError().GetString();
    EXPECT_EQ(shown.rfind(server.Url("/cut.xml") + ": ", 0), 0u) << shown;
    EXPECT_EQ(ReadFile(CachePath("cut.xml")), kTwoEvents);
    EXPECT_EQ(ColumnTexts(FirstView(doc)->m_list, kColumnId), (std::vector<std::string>{"EV1", "EV2"}));
    // No temporary file is left beside the copy.
    int files = 0;
    for (const QString& name : QDir(QString::fromStdString(CachePath(""))).entryList(QDir::Files)) {
        ++files;
        EXPECT_EQ(name, QStringLiteral("cut.xml"));
    }
    EXPECT_EQ(files, 1);
}

TEST_F(PlaylistTest, MalformedBodyKeepsTheRowsAndIsReported) {
    HttpTestServer server;
    server.Set("/m.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/m.xml"));
    ASSERT_NE(doc, nullptr);
    server.Set("/m.xml", "<Playlist><Event");
    doc->Refresh();
    ASSERT_TRUE(WaitForFetches(app));
    EXPECT_EQ(std::string(doc->FetchError()), server.Url("/m.xml") + ": the playlist is not well-formed XML");
    EXPECT_EQ(ReadFile(CachePath("m.xml")), kTwoEvents);
    EXPECT_EQ(FirstView(doc)->m_list.GetItemCount(), 2);
    EXPECT_FALSE(doc->m_root.IsNull());
}

TEST_F(PlaylistTest, RefreshOfANewDocumentFailsWithTheEmptyUrl) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    app.OnFileNew();
    auto* doc = dynamic_cast<CTallyscopeDoc*>(app.GetMainFrame()->GetActiveDocument());
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(doc->m_url.IsEmpty());
    EXPECT_TRUE(doc->m_root.IsNull());
    AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH);
    ASSERT_TRUE(WaitForFetches(app));
    const std::string shown = doc->FetchError().GetString();
    EXPECT_EQ(shown.rfind(": invalid URL", 0), 0u) << shown;
    EXPECT_EQ(apptest::PaneText(app, 0), "Fetch failed: " + shown);
    EXPECT_EQ(FirstView(doc)->m_list.GetItemCount(), 0);
}

TEST_F(PlaylistTest, UrlsEndingInSlashOrDotDotLandInPlaylistXml) {
    HttpTestServer server;
    server.Set("/dir/", kTwoEvents);
    server.Set("/dir/..", kThreeEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    ASSERT_NE(OpenPlaylist(app, server.Url("/dir/")), nullptr);
    EXPECT_EQ(ReadFile(CachePath("playlist.xml")), kTwoEvents);
    // libcurl may normalise "/dir/.." to "/": whatever it asks for, the
    // local name is the safe one.
    server.Set("/", kThreeEvents);
    ASSERT_NE(OpenPlaylist(app, server.Url("/dir/..")), nullptr);
    EXPECT_EQ(ReadFile(CachePath("playlist.xml")), kThreeEvents);
}

TEST_F(PlaylistTest, ALocalCopyThatCannotBeWrittenIsAFetchError) {
    HttpTestServer server;
    server.Set("/blocked.xml", kTwoEvents);
    // A folder where the copy should go: the copy cannot replace it.
    ::mkdir((cacheHome_ + "/tallyscope").c_str(), 0700);
    ASSERT_EQ(::mkdir(CachePath("blocked.xml").c_str(), 0700), 0);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = OpenPlaylist(app, server.Url("/blocked.xml"));
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(std::string(doc->FetchError()).rfind(server.Url("/blocked.xml") + ": cannot write ", 0), 0u)
        << doc->FetchError().GetString();
    EXPECT_TRUE(doc->m_root.IsNull());
    int entries = 0;
    const QDir cache(QString::fromStdString(CachePath("")));
    for (const QString& name : cache.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        ++entries;
        EXPECT_EQ(name, QStringLiteral("blocked.xml"));
    }
    EXPECT_EQ(entries, 1);
}
