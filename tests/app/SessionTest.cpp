// The session without a server: the trigger commands' text, an Open that
// cannot connect, and commands given with no link.
#include <QDialog>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "HttpTestServer.h"
#include "PlaylistSupport.h"
#include "app/QuorCommands.h"
#include "app/QuorServerDlg.h"
#include "app/SessionDocManager.h"
#include "external/EventLog.h"

using apptest::EventSpec;
using apptest::FirstView;
using apptest::HttpTestServer;
using apptest::PaneText;
using apptest::PlaylistTest;
using apptest::PlaylistXml;
using guitest::ScopedModalHook;

namespace {

// Collects event-log entries for one scope.
class LogCapture {
public:
    LogCapture() { SetTarnEventLogSink(&Capture, this); }
    ~LogCapture() { SetTarnEventLogSink(nullptr, nullptr); }
    std::vector<std::string> Entries() {
        std::lock_guard<std::mutex> guard(lock_);
        return entries_;
    }

private:
    static void Capture(void* context, int, const char* text) {
        auto* self = static_cast<LogCapture*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->entries_.emplace_back(text);
    }
    std::mutex lock_;
    std::vector<std::string> entries_;
};

std::string WriteConfig(const std::string& dir, int port, const std::string& cert, const std::string& key,
                        const std::string& ca) {
    const std::string path = dir + "/config.xml";
    std::ofstream out(path);
    out << "<Config><AggrServer ip=\"127.0.0.1\" port=\"" << port << "\"><SslCfktFile>" << cert
        << "</SslCfktFile><SslKeyFile>" << key << "</SslKeyFile><SslCAFile>" << ca
        << "</SslCAFile></AggrServer></Config>\n";
    return path;
}

// A port with nothing listening on it.
int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

int ThreadCount() { return apptest::CountOwnThreads(); }

// Runs the loop until no Open is under way (or ms passed).
bool WaitForOpen(int ms = 20000) {
    return guitest::RunLoopUntil(
        [] {
            const CSessionDocManager* manager = GetSessionDocManager();
            return manager == nullptr || manager->Phase() == CSessionDocManager::OpenPhase::None;
        },
        ms);
}

using SilentServer = apptest::SilentPeer;

// Test certificates made once per test program.
const std::string& TestCerts() {
    static const std::string certs = [] {
        const std::string dir = guitest::MakeTempDir((guitest::GetFolders().root + "/certs-XXXXXX").c_str());
        const int rc =
            std::system(("'" TALLYSCOPE_SOURCE_DIR "/scripts/make-certs' '" + dir + "' >/dev/null 2>&1").c_str());
        return rc == 0 ? dir : std::string();
    }();
    return certs;
}

// Points the configuration at 127.0.0.1:port with the test certificates.
bool ConfigureServerAt(int port) {
    const std::string& certs = TestCerts();
    if (certs.empty()) return false;
    guitest::WriteConfigValue(
        WriteConfig(certs, port, certs + "/client.pem", certs + "/client.key", certs + "/ca.pem"));
    return true;
}

}  // namespace

TEST(QuorCommands, PlainValuesGoOutAsFormatted) {
    EXPECT_STREQ(FormatNoQuorTrigger("StudioA-Main", "EV000104"),
                 "<NoQuorTrigger playlist=\"StudioA-Main\" eventid=\"EV000104\"/>");
    EXPECT_STREQ(FormatEnableQuorTrigger("Main", "7"), "<EnableQuorTrigger playlist=\"Main\" eventid=\"7\"/>");
    EXPECT_STREQ(FormatChangeQuorServer("Main", "7", "10.1.2.3"),
                 "<ChangeQuorServer playlist=\"Main\" eventid=\"7\" quorServer=\"10.1.2.3\"/>");
    // An empty entry is sent as an empty value.
    EXPECT_STREQ(FormatChangeQuorServer("Main", "7", ""),
                 "<ChangeQuorServer playlist=\"Main\" eventid=\"7\" quorServer=\"\"/>");
}

TEST(QuorCommands, ValuesCannotChangeTheCommandsShape) {
    EXPECT_STREQ(FormatNoQuorTrigger("Say \"hi\"", "a&b"),
                 "<NoQuorTrigger playlist=\"Say &quot;hi&quot;\" eventid=\"a&amp;b\"/>");
    EXPECT_STREQ(FormatChangeQuorServer("x", "y", "\"/><Evil a=\"'<>"),
                 "<ChangeQuorServer playlist=\"x\" eventid=\"y\" quorServer=\"&quot;/&gt;&lt;Evil "
                 "a=&quot;&apos;&lt;&gt;\"/>");
    // Bytes outside ASCII are not touched.
    EXPECT_STREQ(EscapeXmlAttribute("Caf\xc3\xa9 1"), "Caf\xc3\xa9 1");
}

TEST_F(PlaylistTest, OpenWithoutConfigurationSaysItCannotConnect) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    std::vector<std::string> boxes;
    ScopedModalHook hook([&](CModalRun& run) {
        if (run.kind == CModalRun::MessageBox) boxes.emplace_back(run.text.GetString());
        return IDOK;
    });
    app.OnFileOpen();
    ASSERT_EQ(boxes, std::vector<std::string>{"Failed to connect to aggr server"});
    CSessionDocManager* manager = GetSessionDocManager();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->SessionUp(), 0);
    EXPECT_EQ(manager->CurrentSocket(), nullptr);
    // What is wrong shows in the message pane.
    EXPECT_EQ(PaneText(app, 0).rfind("no configuration path", 0), 0u) << PaneText(app, 0);
    EXPECT_EQ(app.GetOpenDocumentCount(), 0);
}

TEST_F(PlaylistTest, ContextThatCannotBeBuiltIsLoggedAndNothingConnects) {
    const std::string dir = guitest::GetFolders().root;
    guitest::WriteConfigValue(WriteConfig(dir, 7, dir + "/no-cert.pem", dir + "/no-key.pem", dir + "/no-ca.pem"));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    LogCapture log;
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun& run) {
        boxes += run.kind == CModalRun::MessageBox && run.text == "Failed to connect to aggr server";
        return IDOK;
    });
    app.OnFileOpen();
    EXPECT_EQ(boxes, 1);
    // The event id alone, without the error's text.
    const std::vector<std::string> entries = log.Entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "0xCE000D01"), entries.end());
    CSessionDocManager* manager = GetSessionDocManager();
    ASSERT_NE(manager->Reactor(), nullptr);
    EXPECT_EQ(manager->Reactor()->tlsContext(), nullptr);
    EXPECT_EQ(manager->CurrentSocket(), nullptr);
    EXPECT_EQ(manager->SessionUp(), 0);
}

TEST_F(PlaylistTest, RefusedConnectionEndsTheWaitEarly) {
    // Real credentials, but nothing listens on the port.
    const std::string certs = guitest::MakeTempDir((guitest::GetFolders().root + "/certs-XXXXXX").c_str());
    ASSERT_EQ(0,
              std::system(("'" TALLYSCOPE_SOURCE_DIR "/scripts/make-certs' '" + certs + "' >/dev/null 2>&1").c_str()));
    guitest::WriteConfigValue(
        WriteConfig(certs, ClosedPort(), certs + "/client.pem", certs + "/client.key", certs + "/ca.pem"));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun& run) {
        boxes += run.kind == CModalRun::MessageBox && run.text == "Failed to connect to aggr server";
        return IDOK;
    });
    const auto start = std::chrono::steady_clock::now();
    app.OnFileOpen();
    ASSERT_TRUE(WaitForOpen());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(boxes, 1);
    CSessionDocManager* manager = GetSessionDocManager();
    ASSERT_NE(manager->CurrentSocket(), nullptr);
    EXPECT_TRUE(manager->CurrentSocket()->linkFailed());
    EXPECT_FALSE(manager->LinkUp());
    // A hang guard, not a speed check: the full wait would be a minute.
    EXPECT_LT(waited, std::chrono::seconds(30));
    // A second Open replaces the first session instead of leaving its
    // thread running beside the new one.
    const int threads = ThreadCount();
    app.OnFileOpen();
    ASSERT_TRUE(WaitForOpen());
    EXPECT_EQ(boxes, 2);
    EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(PlaylistTest, TheStartWaitRunsInTheLoopAndCancelStopsItCleanly) {
    SilentServer server;
    ASSERT_TRUE(ConfigureServerAt(server.port()));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun&) {
        ++boxes;
        return IDOK;
    });
    const int threads = ThreadCount();
    CMainFrame* frame = app.GetMainFrame();
    EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_FILE_CANCEL_OPEN));
    app.OnFileOpen();
    CSessionDocManager* manager = GetSessionDocManager();
    // Open returned at once; the wait goes on in the loop, which keeps
    // serving timers and idle passes.
    EXPECT_EQ(manager->Phase(), CSessionDocManager::OpenPhase::Waiting);
    const std::string connecting = "Connecting to 127.0.0.1:" + std::to_string(server.port()) + "...";
    EXPECT_EQ(PaneText(app, 0).rfind(connecting, 0), 0u) << PaneText(app, 0);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    const long idle = app.IdlePassesRun();
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return PaneText(app, 0) == connecting + " (1 s)"; }, 5000))
        << PaneText(app, 0);
    EXPECT_GT(ticks, 20);
    EXPECT_GT(app.IdlePassesRun(), idle);
    EXPECT_EQ(manager->Phase(), CSessionDocManager::OpenPhase::Waiting);
    EXPECT_TRUE(AfxIsCommandEnabled(frame, ID_FILE_CANCEL_OPEN));
    // Esc is the Cancel command.
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_FILE_CANCEL_OPEN));
    EXPECT_EQ(manager->Phase(), CSessionDocManager::OpenPhase::None);
    EXPECT_EQ(manager->Reactor(), nullptr);
    EXPECT_EQ(PaneText(app, 0), "Open cancelled");
    EXPECT_EQ(ThreadCount(), threads);
    // Nothing comes later: no box, no session.
    guitest::RunLoopFor(300);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(manager->SessionUp(), 0);
    EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_FILE_CANCEL_OPEN));
}

TEST_F(PlaylistTest, QuittingWhileAnOpenWaitsEndsTheAttemptWithoutABox) {
    SilentServer server;
    ASSERT_TRUE(ConfigureServerAt(server.port()));
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun&) {
        ++boxes;
        return IDOK;
    });
    const int threads = ThreadCount();
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        app.OnFileOpen();
        ASSERT_TRUE(GetSessionDocManager()->OpenWaiting());
        guitest::RunLoopFor(300);
        // File > Exit while it waits.
        app.OnAppExit();
        guitest::RunLoopFor(50);
        EXPECT_EQ(app.ExitInstance(), 0);
        EXPECT_FALSE(GetSessionDocManager()->OpenWaiting());
        EXPECT_EQ(GetSessionDocManager()->Reactor(), nullptr);
    }
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(PlaylistTest, ASilentServerGivesTheBoxAfterTheWaitWithTheLoopRunning) {
    SilentServer server;
    ASSERT_TRUE(ConfigureServerAt(server.port()));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CSessionDocManager* manager = GetSessionDocManager();
    manager->GetSettings().firstMessageWaitMs = 1200;
    int ticks = 0;
    int ticksAtBox = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    ScopedModalHook hook([&](CModalRun& run) {
        EXPECT_EQ(std::string(run.text), "Failed to connect to aggr server");
        ticksAtBox = ticks;
        return IDOK;
    });
    app.OnFileOpen();
    EXPECT_EQ(ticksAtBox, -1);
    ASSERT_TRUE(WaitForOpen());
    // The loop served the ticker through the whole wait.
    EXPECT_GT(ticksAtBox, 50);
    EXPECT_EQ(manager->SessionUp(), 0);
    // A second Open while one waits starts afresh: one box for both.
    ticksAtBox = -1;
    app.OnFileOpen();
    app.OnFileOpen();
    ASSERT_TRUE(WaitForOpen());
    EXPECT_NE(ticksAtBox, -1);
    EXPECT_EQ(manager->OpenAttempts(), 3);
}

TEST_F(PlaylistTest, AnUnattendedOpenKeepsTryingWithoutABox) {
    const int port = ClosedPort();
    ASSERT_TRUE(ConfigureServerAt(port));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CSessionDocManager* manager = GetSessionDocManager();
    manager->GetSettings().hasPresetStudio = true;
    manager->GetSettings().presetStudio = "Studio A";
    manager->GetSettings().retryOpenUntilUp = true;
    manager->GetSettings().reconnectPauseFirstMs = 100;
    manager->GetSettings().reconnectPauseMostMs = 400;
    int boxes = 0;
    ScopedModalHook hook([&](CModalRun&) {
        ++boxes;
        return IDOK;
    });
    app.OnFileOpen();
    ASSERT_TRUE(guitest::RunLoopUntil([&] { return manager->OpenAttempts() >= 4; }, 10000));
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(manager->OpenWaiting());
    const std::string pane = PaneText(app, 0);
    EXPECT_TRUE(pane.rfind("Cannot connect to 127.0.0.1:" + std::to_string(port), 0) == 0 ||
                pane.rfind("Connecting to", 0) == 0)
        << pane;
    ASSERT_TRUE(
        guitest::RunLoopUntil([&] { return manager->Phase() == CSessionDocManager::OpenPhase::Retrying; }, 5000));
    EXPECT_NE(PaneText(app, 0).find("Next attempt in"), std::string::npos) << PaneText(app, 0);
    // Cancel stops the retries too.
    EXPECT_TRUE(manager->CancelOpen());
    const int attempts = manager->OpenAttempts();
    guitest::RunLoopFor(600);
    EXPECT_EQ(manager->OpenAttempts(), attempts);
    EXPECT_EQ(boxes, 0);
}

TEST_F(PlaylistTest, CommandsWithoutASessionSayNotConnected) {
    HttpTestServer server;
    server.Set("/main.xml", PlaylistXml({{"EV1"}, {"EV2"}}, "Main &quot;A&quot;"));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CDocument* doc = apptest::OpenPlaylist(app, server.Url("/main.xml"));
    CTallyscopeView* view = FirstView(doc);
    ASSERT_NE(view, nullptr);
    view->m_list.SetItemState(1, LVIS_SELECTED, LVIS_SELECTED);
    app.GetMainFrame()->SetMessagePane("");
    view->OnQuorTriggerOff();
    EXPECT_EQ(PaneText(app, 0), "Not connected");
    app.GetMainFrame()->SetMessagePane("");
    view->OnQuorTriggerOn();
    EXPECT_EQ(PaneText(app, 0), "Not connected");

    // The server dialog: Cancel changes nothing and sends nothing.
    app.GetMainFrame()->SetMessagePane("");
    std::string shown;
    {
        ScopedModalHook hook([&](CModalRun& run) {
            shown = run.dialog->GetDlgItemText(IDC_QUOR_SERVER_IP).GetString();
            run.dialog->SetDlgItemText(IDC_QUOR_SERVER_IP, "10.9.9.9");
            return IDCANCEL;
        });
        view->OnQuorServerChange();
    }
    EXPECT_EQ(shown, "10.0.0.1");
    EXPECT_EQ(std::string(view->m_list.GetItemText(1, kColumnQuorServer)), "10.0.0.1");
    EXPECT_EQ(PaneText(app, 0), "");
    // OK: the row shows the new address at once; with no link it is not sent.
    {
        ScopedModalHook hook([&](CModalRun& run) {
            run.dialog->SetDlgItemText(IDC_QUOR_SERVER_IP, "10.9.9.9");
            return IDOK;
        });
        view->OnQuorServerChange();
    }
    EXPECT_EQ(std::string(view->m_list.GetItemText(1, kColumnQuorServer)), "10.9.9.9");
    EXPECT_EQ(PaneText(app, 0), "Not connected");
}

TEST_F(PlaylistTest, TheServerDialogKeepsFreeText) {
    CTallyscopeApp app;  // registers the dialog templates
    CQuorServerDlg dialog("old");
    ScopedModalHook hook([&](CModalRun& run) {
        EXPECT_EQ(run.dialog->GetDialogWidget()->windowTitle().toStdString(), "Quor Server IP");
        run.dialog->SetDlgItemText(IDC_QUOR_SERVER_IP, "  not an address & <x>");
        return IDOK;
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_STREQ(dialog.m_address, "  not an address & <x>");
}
