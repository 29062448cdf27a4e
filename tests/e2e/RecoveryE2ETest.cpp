// The session survives the server going away, and the two real programs work
// together.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "E2ESupport.h"

using apptest::PaneText;
using e2e::DocumentTitles;
using e2e::SessionTest;
using e2e::SimProcess;
using ProgramTest = apptest::PlaylistTest;

TEST_F(SessionTest, ServerDownForTwentySecondsAndBackIsRecoveredWithoutRestart) {
    Open("Studio A");
    ASSERT_TRUE(SimSaw("studio id received session=1 id=\"STA-01\""));
    const int tlsPort = sim_.tlsPort();
    const int httpPort = sim_.httpPort();
    // Shorter pauses than an operator's, so the test ends soon after the
    // server is back.
    manager_->GetSettings().reconnectPauseMostMs = 2000;
    sim_.stop();
    ASSERT_TRUE(Until([&] { return !manager_->LinkUp(); }));
    guitest::RunLoopFor(20000);
    EXPECT_FALSE(manager_->LinkUp());
    // Attempts are spaced, not made on every idle pass.
    EXPECT_GE(manager_->ReconnectAttempts(), 3);
    EXPECT_LE(manager_->ReconnectAttempts(), 25);
    EXPECT_EQ(PaneText(*app_, 0), "");

    SimProcess again;
    ASSERT_TRUE(again.start(SimProcess::testArgs(
        {"--speed", "0", "--tls-port", std::to_string(tlsPort), "--http-port", std::to_string(httpPort)})))
        << again.output() << again.stderrText();
    // The client is rebuilt from its idle passes, so the loop runs meanwhile.
    EXPECT_TRUE(Until([&] { return again.countLines("studio id received session=1 id=\"STA-01\"") == 1; }))
        << again.output() << "attempts " << manager_->ReconnectAttempts();
    EXPECT_TRUE(Until([&] { return manager_->LinkUp(); }));
    // Every window is fetched again once the id is back.
    EXPECT_TRUE(Until([&] { return again.countLines("http method=\"GET\"") >= 2; }));
    EXPECT_EQ(DocumentTitles(*app_), (std::vector<std::string>{"Studio A: Main", "Studio A: Backup"}));
    EXPECT_TRUE(Until(
        [&] { return app_->GetMainFrame()->m_wndStatusBar.GetPaneIcon(CMainFrame::kAggrLinkPane) == IDI_LINK_UP; }));
    app_.reset();
    again.stop();
}

TEST_F(ProgramTest, TheViewerProgramConnectsChoosesItsStudioAndFollowsUpdates) {
    SimProcess sim;
    ASSERT_TRUE(sim.start(SimProcess::testArgs({"--speed", "0"}))) << sim.output() << sim.stderrText();
    const std::string dir = guitest::MakeTempDir((guitest::GetFolders().root + "/prog-XXXXXX").c_str());
    guitest::WriteConfigValue(e2e::WriteSessionConfig(dir, sim.tlsPort(), simtest::certificateDir()));
    int status = -1;
    std::thread viewer([&] {
        const std::string command = "QT_QPA_PLATFORM=offscreen '" TALLYSCOPE_VIEWER_EXE
                                    "' --connect --studio 'Studio A' --quit-after 10 >'" +
                                    dir + "/viewer.log' 2>&1";
        status = std::system(command.c_str());
    });
    EXPECT_TRUE(sim.waitForLine("studio id received session=1 id=\"STA-01\"", 30000) >= 0);
    EXPECT_TRUE(sim.waitForCount("http method=\"GET\"", 2, 30000));
    const size_t mark = sim.lineCount();
    EXPECT_TRUE(sim.send("update STA-01"));
    EXPECT_TRUE(sim.waitForCount("http method=\"GET\"", 2, 30000, mark));
    viewer.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << apptest::ReadFile(dir + "/viewer.log");
    EXPECT_TRUE(sim.waitForLine("session closed session=1", 10000) >= 0);
}

TEST_F(ProgramTest, AWallDisplayStartedWithTheServerDownComesUpByItself) {
    // A port nothing listens on yet; the server is started there later.
    int port = 0;
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ::close(fd);
    }
    const std::string dir = guitest::MakeTempDir((guitest::GetFolders().root + "/wall-XXXXXX").c_str());
    guitest::WriteConfigValue(e2e::WriteSessionConfig(dir, port, simtest::certificateDir()));
    int boxes = 0;
    guitest::ScopedModalHook hook([&](CModalRun&) {
        ++boxes;
        return IDOK;
    });
    {
        CTallyscopeApp app;
        ASSERT_TRUE(app.InitInstance());
        CSessionDocManager* manager = GetSessionDocManager();
        // As --connect --studio sets it up.
        manager->GetSettings().hasPresetStudio = true;
        manager->GetSettings().presetStudio = "Studio A";
        manager->GetSettings().retryOpenUntilUp = true;
        manager->GetSettings().reconnectPauseMostMs = 1000;
        app.OnFileOpen();
        ASSERT_TRUE(guitest::RunLoopUntil([&] { return manager->OpenAttempts() >= 2; }, 10000));
        EXPECT_EQ(boxes, 0);
        EXPECT_EQ(manager->SessionUp(), 0);
        EXPECT_TRUE(manager->OpenWaiting());

        SimProcess sim;
        ASSERT_TRUE(sim.start(SimProcess::testArgs({"--speed", "0", "--tls-port", std::to_string(port)})))
            << sim.output() << sim.stderrText();
        EXPECT_TRUE(guitest::RunLoopUntil([&] { return manager->SessionUp() == 1; }, 20000));
        EXPECT_TRUE(sim.waitForLine("studio id received session=1 id=\"STA-01\"", 10000) >= 0);
        EXPECT_TRUE(apptest::WaitForFetches(app));
        EXPECT_EQ(DocumentTitles(app), (std::vector<std::string>{"Studio A: Main", "Studio A: Backup"}));
        EXPECT_EQ(boxes, 0);
        EXPECT_FALSE(manager->OpenWaiting());
    }
}
