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
using apptest::PlaylistTest;
using apptest::PlaylistXml;
using apptest::ReadFile;
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
    auto* doc = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(server.Url("/lists/main.xml").c_str()));
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(std::string(doc->m_url), server.Url("/lists/main.xml"));
    EXPECT_FALSE(doc->m_root.IsNull());
    EXPECT_EQ(ReadFile(CachePath("main.xml")), kTwoEvents);
    EXPECT_NE(server.LastRequest().find("User-Agent: Tallyscope\r\n"), std::string::npos) << server.LastRequest();
    CTallyscopeView* view = FirstView(doc);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(ColumnTexts(view->m_list, kColumnId), (std::vector<std::string>{"EV1", "EV2"}));
    EXPECT_EQ(app.m_clockRunning, 1);
    EXPECT_EQ(app.m_clockTime.GetSecond(), 40);
    EXPECT_FALSE(doc->IsModified());
    // The same URL again activates the open document instead of fetching.
    const int requests = server.Requests();
    EXPECT_EQ(app.OpenDocumentFile(server.Url("/lists/main.xml").c_str()), doc);
    EXPECT_EQ(server.Requests(), requests);
}

TEST_F(PlaylistTest, F5RefetchesTheActiveDocumentAndRebuildsItsRows) {
    HttpTestServer server;
    server.Set("/a.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    auto* doc = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(server.Url("/a.xml").c_str()));
    ASSERT_NE(doc, nullptr);
    server.Set("/a.xml", kThreeEvents);
    EXPECT_TRUE(AfxIsCommandEnabled(app.GetMainFrame(), ID_PLAYLIST_REFRESH));
    EXPECT_TRUE(AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH));
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
    auto* one = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(server.Url("/one.xml").c_str()));
    auto* two = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(server.Url("/two.xml").c_str()));
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
    EXPECT_EQ(RefreshAllPlaylistDocuments(&app), 1);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(ColumnTexts(FirstView(one)->m_list, kColumnId), (std::vector<std::string>{"EV1", "EV2"}));
    EXPECT_EQ(ColumnTexts(FirstView(two)->m_list, kColumnId), (std::vector<std::string>{"EV7", "EV8", "EV9"}));
    EXPECT_EQ(apptest::PaneText(app, 0), "Fetch failed: " + server.Url("/one.xml") + ": HTTP status 404");
    EXPECT_EQ(ReadFile(CachePath("one.xml")), kTwoEvents);
    // Both succeed again.
    server.Set("/one.xml", kThreeEvents);
    EXPECT_EQ(RefreshAllPlaylistDocuments(&app), 0);
    EXPECT_EQ(FirstView(one)->m_list.GetItemCount(), 3);
}

TEST_F(PlaylistTest, OpenFailsForA404AndLeavesNoWindowOrCopy) {
    HttpTestServer server;
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    try {
        app.OpenDocumentFile(server.Url("/missing.xml").c_str());
        ADD_FAILURE() << "no error";
    } catch (const CInternetException& e) {
        EXPECT_EQ(std::string(e.what()), server.Url("/missing.xml") + ": HTTP status 404");
        EXPECT_EQ(e.m_dwError, 404u);
    }
    EXPECT_EQ(app.m_pDocManager->GetOpenDocumentCount(), 0);
    EXPECT_FALSE(FileExists(CachePath("missing.xml")));
}

TEST_F(PlaylistTest, OpenFailsForAnUnreachableServer) {
    // A port that was just free: nothing listens there.
    int port = 0;
    {
        HttpTestServer probe;
        port = std::stoi(probe.Url("").substr(std::string("http://127.0.0.1:").size()));
    }
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/p.xml";
    try {
        app.OpenDocumentFile(url.c_str());
        ADD_FAILURE() << "no error";
    } catch (const CInternetException& e) {
        EXPECT_EQ(std::string(e.what()).rfind(url + ": ", 0), 0u) << e.what();
    }
    EXPECT_EQ(app.m_pDocManager->GetOpenDocumentCount(), 0);
}

TEST_F(PlaylistTest, CutOffTransferKeepsTheOldCopyAndRows) {
    HttpTestServer server;
    server.Set("/cut.xml", kTwoEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    auto* doc = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(server.Url("/cut.xml").c_str()));
    ASSERT_NE(doc, nullptr);
    server.Set("/cut.xml", HttpTestServer::Response{200, kThreeEvents, static_cast<long>(kThreeEvents.size() / 2)});
    std::string shown;
    ScopedModalHook hook([&](CModalRun& run) {
        shown = run.text.GetString();
        return IDOK;
    });
    AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH);
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
    auto* doc = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(server.Url("/m.xml").c_str()));
    ASSERT_NE(doc, nullptr);
    server.Set("/m.xml", "<Playlist><Event");
    EXPECT_THROW(doc->Refresh(), CInternetException);
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
    std::string shown;
    ScopedModalHook hook([&](CModalRun& run) {
        shown = run.text.GetString();
        return IDOK;
    });
    AfxExecuteCommand(app.GetMainFrame(), ID_PLAYLIST_REFRESH);
    EXPECT_EQ(shown.rfind(": invalid URL", 0), 0u) << shown;
    EXPECT_EQ(FirstView(doc)->m_list.GetItemCount(), 0);
}

TEST_F(PlaylistTest, UrlsEndingInSlashOrDotDotLandInPlaylistXml) {
    HttpTestServer server;
    server.Set("/dir/", kTwoEvents);
    server.Set("/dir/..", kThreeEvents);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    ASSERT_NE(app.OpenDocumentFile(server.Url("/dir/").c_str()), nullptr);
    EXPECT_EQ(ReadFile(CachePath("playlist.xml")), kTwoEvents);
    // libcurl may normalise "/dir/.." to "/": whatever it asks for, the
    // local name is the safe one.
    server.Set("/", kThreeEvents);
    ASSERT_NE(app.OpenDocumentFile(server.Url("/dir/..").c_str()), nullptr);
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
    try {
        app.OpenDocumentFile(server.Url("/blocked.xml").c_str());
        ADD_FAILURE() << "no error";
    } catch (const CInternetException& e) {
        EXPECT_EQ(std::string(e.what()).rfind(server.Url("/blocked.xml") + ": cannot write ", 0), 0u) << e.what();
    }
    EXPECT_EQ(app.m_pDocManager->GetOpenDocumentCount(), 0);
    int entries = 0;
    const QDir cache(QString::fromStdString(CachePath("")));
    for (const QString& name : cache.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        ++entries;
        EXPECT_EQ(name, QStringLiteral("blocked.xml"));
    }
    EXPECT_EQ(entries, 1);
}
