// The fixture of the session-side fault cases: the viewer's own objects, a
// configuration pointing where a case says, the simulator and test peers on
// 127.0.0.1, all with one set of test credentials.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../app/HttpTestServer.h"
#include "../e2e/E2ESupport.h"
#include "../tls/TlsTestUtil.h"
#include "FaultSupport.h"

namespace faults {

class LinkFaultTest : public apptest::PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        // A test peer writing to a connection the viewer has just closed.
        ::signal(SIGPIPE, SIG_IGN);
        certs_ = tlstest::certDir();
        ASSERT_FALSE(certs_.empty());
        configDir_ = guitest::MakeTempDir((guitest::GetFolders().root + "/faults-XXXXXX").c_str());
        http_.Set("/main.xml", apptest::PlaylistXml({{"EV1"}, {"EV2"}}));
        app_ = std::make_unique<CTallyscopeApp>();
        ASSERT_TRUE(app_->InitInstance());
        manager_ = GetSessionDocManager();
        ASSERT_NE(manager_, nullptr);
        // As --connect --studio sets it up: no dialog to answer.
        manager_->GetSettings().hasPresetStudio = true;
        manager_->GetSettings().presetStudio = "Studio A";
        // Short pauses, so that each case ends soon after its server is back.
        manager_->GetSettings().reconnectPauseMostMs = 1000;
        manager_->GetSettings().reconnectWaitMs = 5000;
        hook_ = std::make_unique<guitest::ScopedModalHook>([this](CModalRun& run) {
            boxes_.emplace_back(run.text.GetString());
            return IDOK;
        });
    }
    void TearDown() override {
        app_.reset();
        hook_.reset();
        sim_.stop();
        PlaylistTest::TearDown();
    }

    // The configuration now names 127.0.0.1:port; the viewer reads it at
    // every Open and every reconnect.
    void PointAt(int port) { guitest::WriteConfigValue(e2e::WriteSessionConfig(configDir_, port, certs_)); }

    bool StartSim(int tlsPort = 0, int httpPort = 0) {
        return sim_.start({"--certs", certs_, "--tls-port", std::to_string(tlsPort), "--http-port",
                           std::to_string(httpPort), "--speed", "0"});
    }

    // File > Open with the studio preset; true when it has finished (either
    // way) and the windows' first fetches ended.
    bool Open() {
        app_->OnFileOpen();
        return Until([&] { return manager_->Phase() == CSessionDocManager::OpenPhase::None; }) &&
               apptest::WaitForFetches(*app_);
    }

    // A studio list like the server's, with one playlist on the local HTTP server.
    std::string StudioList() const {
        return "<Studios><Studio name=\"Studio A\" id=\"STA-01\"><Playlist name=\"Main\" url=\"" +
               http_.Url("/main.xml") + "\"/></Studio></Studios>";
    }

    std::vector<std::string> MainRows() {
        for (CTallyscopeDoc* doc : e2e::Documents(*app_))
            if (std::string(doc->m_url).find("/main.xml") != std::string::npos)
                return apptest::ColumnTexts(apptest::FirstView(doc)->m_list, kColumnId);
        return {};
    }

    // The simulator saw the viewer's studio id from line `from` on; the
    // viewer's loop runs meanwhile.
    bool SimGotId(size_t from, int ms = 20000) {
        return Until([&] { return sim_.countLines("id=\"STA-01\"", from) > 0; }, ms);
    }

    // The viewer has taken in that its link went down.
    bool SeenDown() {
        return Until([&] { return !manager_->LinkUp() && manager_->AggrDownSince().isValid(); });
    }

    // The end of every case: the loop runs a posted call, and once the
    // session is ended, nothing of it is left beyond the baseline.
    void ExpectIdleThenNothingLeft(const Usage& beforeOpen) {
        EXPECT_TRUE(PostedCallRuns());
        EndSessionAsAtExit();
        EXPECT_TRUE(BackTo(beforeOpen)) << Against(beforeOpen);
    }

    // Ends the session as the exit does. No session counts as up any more,
    // so the idle step does not connect again; the loop then runs a while
    // for anything that would.
    void EndSessionAsAtExit() {
        manager_->EndSession();
        guitest::RunLoopFor(300);
    }

    static bool Until(const std::function<bool()>& done, int ms = 20000) { return guitest::RunLoopUntil(done, ms); }

    std::string certs_;
    std::string configDir_;
    apptest::HttpTestServer http_;
    simtest::SimProcess sim_;
    std::unique_ptr<CTallyscopeApp> app_;
    CSessionDocManager* manager_ = nullptr;
    std::unique_ptr<guitest::ScopedModalHook> hook_;
    std::vector<std::string> boxes_;  // texts of the message boxes shown
};

}  // namespace faults
