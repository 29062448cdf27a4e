// Whole-system runs: the real simulator process and the viewer's own objects
// on the offscreen platform.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../app/PlaylistSupport.h"
#include "SimProcess.h"
#include "app/SessionDocManager.h"
#include "framework/Dialog.h"

namespace e2e {

using simtest::SimProcess;

inline std::string WriteSessionConfig(const std::string& dir, int port, const std::string& certs) {
    const std::string path = dir + "/config.xml";
    std::ofstream out(path);
    out << "<Config><AggrServer ip=\"127.0.0.1\" port=\"" << port << "\"><SslCfktFile>" << certs
        << "/client.pem</SslCfktFile><SslKeyFile>" << certs << "/client.key</SslKeyFile><SslCAFile>" << certs
        << "/ca.pem</SslCAFile></AggrServer></Config>\n";
    return path;
}

// Titles of the open playlist documents, in template order.
inline std::vector<std::string> DocumentTitles(CWinApp& app) {
    std::vector<std::string> titles;
    for (CDocTemplate* t : app.m_pDocManager->GetTemplates())
        for (CDocument* d : t->GetDocuments()) titles.emplace_back(d->GetTitle().GetString());
    return titles;
}

inline std::vector<CTallyscopeDoc*> Documents(CWinApp& app) {
    std::vector<CTallyscopeDoc*> docs;
    for (CDocTemplate* t : app.m_pDocManager->GetTemplates())
        for (CDocument* d : t->GetDocuments())
            if (auto* doc = dynamic_cast<CTallyscopeDoc*>(d)) docs.push_back(doc);
    return docs;
}

// The fixture: a simulator without automatic playout, the configuration
// pointing at it, a fresh cache folder, the application started.
class SessionTest : public apptest::PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        certs_ = simtest::certificateDir();
        ASSERT_FALSE(certs_.empty());
        ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
        configDir_ = guitest::MakeTempDir((guitest::GetFolders().root + "/e2e-XXXXXX").c_str());
        guitest::WriteConfigValue(WriteSessionConfig(configDir_, sim_.tlsPort(), certs_));
        app_ = std::make_unique<CTallyscopeApp>();
        ASSERT_TRUE(app_->InitInstance());
        manager_ = GetSessionDocManager();
        ASSERT_NE(manager_, nullptr);
    }
    void TearDown() override {
        app_.reset();
        sim_.stop();
        PlaylistTest::TearDown();
    }

    virtual bool StartSim() { return sim_.start(SimProcess::testArgs({"--speed", "0"})); }

    // Runs Open with the studio dialog answered by `studio` (OK), or
    // cancelled when cancel is set. Returns the names the dialog listed.
    std::vector<std::string> Open(const std::string& studio, bool cancel = false) {
        std::vector<std::string> listed;
        guitest::ScopedModalHook hook([&](CModalRun& run) {
            if (run.kind != CModalRun::Dialog) {
                ADD_FAILURE() << "unexpected message box: " << run.text.GetString();
                return IDOK;
            }
            if (auto* combo = dynamic_cast<CComboBox*>(run.dialog->GetDlgItem(IDC_STUDIO_COMBO))) {
                for (int i = 0; i < combo->GetCount(); ++i) {
                    String text;
                    combo->GetLBText(i, text);
                    listed.emplace_back(text.GetString());
                }
            }
            if (cancel) return IDCANCEL;
            run.dialog->SetDlgItemText(IDC_STUDIO_COMBO, studio.c_str());
            return IDOK;
        });
        app_->OnFileOpen();
        // The Open goes on in the loop; then each window's first fetch.
        EXPECT_TRUE(Until([&] { return manager_->Phase() == CSessionDocManager::OpenPhase::None; }));
        EXPECT_TRUE(apptest::WaitForFetches(*app_));
        return listed;
    }

    // Runs the event loop (idle passes included) until done holds.
    static bool Until(const std::function<bool()>& done, int ms = 20000) { return guitest::RunLoopUntil(done, ms); }

    bool SimSaw(const std::string& needle, size_t from = 0, int ms = 20000) {
        return sim_.waitForLine(needle, ms, from) >= 0;
    }

    SimProcess sim_;
    std::string certs_;
    std::string configDir_;
    std::unique_ptr<CTallyscopeApp> app_;
    CSessionDocManager* manager_ = nullptr;
};

}  // namespace e2e
