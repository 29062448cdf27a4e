// A playlist server that misbehaves: slow, hung past the fetch time-out, a
// body cut short, error statuses, a redirect loop. A failed fetch keeps the
// rows and the local copy; the next good one replaces both; the viewer ends
// idle with the descriptors and threads it had before.
#include <string>

#include "FaultSupport.h"
#include "../app/HttpTestServer.h"

using apptest::ColumnTexts;
using apptest::FirstView;
using apptest::HttpTestServer;
using apptest::PlaylistXml;
using apptest::ReadFile;
using apptest::WaitForFetches;

namespace {

const std::string kOld = PlaylistXml({{"EV1"}, {"EV2"}});
const std::string kMiddle = PlaylistXml({{"EV4"}, {"EV5"}});
const std::string kNew = PlaylistXml({{"EV7"}, {"EV8"}, {"EV9"}});
const std::vector<std::string> kOldRows{"EV1", "EV2"};
const std::vector<std::string> kNewRows{"EV7", "EV8", "EV9"};

HttpTestServer::Response With(int status, const std::string& body) {
    HttpTestServer::Response r;
    r.status = status;
    r.body = body;
    return r;
}

// One playlist window opened from a local server, its first fetch good.
class FetchFaultTest : public apptest::PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        server_.Set("/p.xml", kOld);
        app_ = std::make_unique<CTallyscopeApp>();
        ASSERT_TRUE(app_->InitInstance());
        doc_ = apptest::OpenPlaylist(*app_, server_.Url("/p.xml"));
        ASSERT_NE(doc_, nullptr);
        ASSERT_EQ(Rows(), kOldRows);
        ASSERT_EQ(ReadFile(CachePath("p.xml")), kOld);
        // Short enough for a hung server to cost little.
        doc_->m_fetchTotalMs = 2000;
        baseline_ = faults::TakeBaseline(*app_);
    }
    void TearDown() override {
        app_.reset();
        PlaylistTest::TearDown();
    }

    std::vector<std::string> Rows() { return ColumnTexts(FirstView(doc_)->m_list, kColumnId); }

    // A refresh that the server answers with `response`; true when it ended.
    bool RefreshWith(const HttpTestServer::Response& response) {
        server_.Set("/p.xml", response);
        doc_->Refresh();
        return WaitForFetches(*app_, 15000);
    }

    void ExpectKept(const std::string& reason) {
        EXPECT_EQ(Rows(), kOldRows) << reason;
        EXPECT_EQ(ReadFile(CachePath("p.xml")), kOld) << reason;
        EXPECT_NE(std::string(doc_->FetchError()).find(reason), std::string::npos) << doc_->FetchError().GetString();
        EXPECT_EQ(apptest::PaneText(*app_, 0).rfind("Fetch failed", 0), 0u) << apptest::PaneText(*app_, 0);
    }

    // The next good answer replaces rows and copy; then the loop is idle and
    // what the failure used is given back.
    void ExpectRecoversAndSettles() {
        ASSERT_TRUE(RefreshWith(With(200, kNew)));
        EXPECT_EQ(Rows(), kNewRows);
        EXPECT_EQ(ReadFile(CachePath("p.xml")), kNew);
        EXPECT_TRUE(doc_->FetchError().IsEmpty()) << doc_->FetchError().GetString();
        EXPECT_TRUE(faults::PostedCallRuns());
        EXPECT_TRUE(faults::BackTo(baseline_)) << faults::Against(baseline_);
    }

    HttpTestServer server_;
    std::unique_ptr<CTallyscopeApp> app_;
    CTallyscopeDoc* doc_ = nullptr;
    faults::Usage baseline_;
};

}  // namespace

TEST_F(FetchFaultTest, ASlowServerWithinTheTimeOutGivesTheNewestRowsAndTheLoopRunsMeanwhile) {
    HttpTestServer::Response slow = With(200, kMiddle);
    slow.delayMs = 1000;
    server_.Set("/p.xml", slow);
    doc_->Refresh();
    ASSERT_TRUE(doc_->FetchRunning());
    EXPECT_TRUE(faults::PostedCallRuns());
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return server_.RequestsFor("/p.xml") == 2; }, 5000));
    // An "Update" while the slow answer is still owed: the content it
    // announces is fetched after it.
    server_.Set("/p.xml", kNew);
    doc_->Refresh();
    EXPECT_TRUE(doc_->FetchRunning());
    ASSERT_TRUE(WaitForFetches(*app_, 15000));
    EXPECT_EQ(Rows(), kNewRows);
    EXPECT_EQ(ReadFile(CachePath("p.xml")), kNew);
    EXPECT_EQ(server_.RequestsFor("/p.xml"), 3);
    EXPECT_TRUE(faults::PostedCallRuns());
    EXPECT_TRUE(faults::BackTo(baseline_)) << faults::Against(baseline_);
}

TEST_F(FetchFaultTest, AServerHungPastTheTimeOutFailsTheFetchAndKeepsTheRows) {
    HttpTestServer::Response hung;
    hung.hang = true;
    ASSERT_TRUE(RefreshWith(hung));
    ExpectKept("timed out");
    // The viewer let go of the connection.
    EXPECT_TRUE(guitest::RunLoopUntil([&] { return server_.Open() == 0; }, 5000));
    ExpectRecoversAndSettles();
}

TEST_F(FetchFaultTest, ABodyCutShortFailsEvenWhenThePartThatCameParses) {
    // The announced length runs past a comment after the root; the part sent
    // is a whole playlist by itself.
    HttpTestServer::Response cut = With(200, kNew + "<!--" + std::string(4000, 'x') + "-->\n");
    cut.cutAfter = static_cast<long>(kNew.size());
    ASSERT_TRUE(RefreshWith(cut));
    ExpectKept(server_.Url("/p.xml"));
    ExpectRecoversAndSettles();
}

TEST_F(FetchFaultTest, ErrorStatusesWithWellFormedBodiesKeepTheRows) {
    // Bodies that parse, so only the status tells them from a playlist.
    ASSERT_TRUE(RefreshWith(With(404, "<Playlist name=\"missing\"/>")));
    ExpectKept("HTTP status 404");
    ASSERT_TRUE(RefreshWith(With(500, "<Playlist name=\"broken\"/>")));
    ExpectKept("HTTP status 500");
    ExpectRecoversAndSettles();
}

TEST_F(FetchFaultTest, ARedirectLoopEndsAfterFiveRedirectsAndKeepsTheRows) {
    HttpTestServer::Response loop = With(302, "");
    loop.location = "/p.xml";
    const int before = server_.RequestsFor("/p.xml");
    ASSERT_TRUE(RefreshWith(loop));
    // The request and five redirects.
    EXPECT_EQ(server_.RequestsFor("/p.xml") - before, 6);
    ExpectKept(server_.Url("/p.xml"));
    ExpectRecoversAndSettles();
}
