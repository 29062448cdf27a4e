#include "app/TallyscopeApp.h"

#include <ctime>

#include "app/AboutDlg.h"
#include "app/AppResources.h"
#include "app/ChildFrm.h"
#include "app/MainFrm.h"
#include "app/QuorCommands.h"
#include "app/SessionDocManager.h"
#include "app/Resource.h"
#include "app/TallyscopeDoc.h"
#include "app/TallyscopeView.h"
#include "framework/DocTemplate.h"

CTallyscopeApp::CTallyscopeApp() : CWinApp("Tallyscope") {
    RegisterTallyscopeResources();
    MapCommand(ID_APP_ABOUT, &CTallyscopeApp::OnAppAbout);
    MapCommand(ID_FILE_CANCEL_OPEN, &CTallyscopeApp::OnCancelOpen);
    MapCommandUI(ID_FILE_CANCEL_OPEN, &CTallyscopeApp::OnUpdateCancelOpen);
    MapCommand(ID_ESCAPE, &CTallyscopeApp::OnEscape);
    MapCommandUI(ID_ESCAPE, &CTallyscopeApp::OnUpdateEscape);
}

CTallyscopeApp* GetTallyscopeApp() { return dynamic_cast<CTallyscopeApp*>(AfxGetApp()); }

bool CTallyscopeApp::InitInstance() {
    SetRegistryKey("Local AppWizard-Generated Applications");
    LoadStdProfileSettings(4);

    AddDocTemplate(new CMultiDocTemplate(IDR_PLAYLIST_TYPE, RUNTIME_CLASS(CTallyscopeDoc), RUNTIME_CLASS(CChildFrame),
                                         RUNTIME_CLASS(CTallyscopeView)));

    auto* mainFrame = new CMainFrame;
    // A frame that fails to load has deleted itself.
    if (!mainFrame->LoadFrame(IDR_MAINFRAME, WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE)) return false;
    m_pMainWnd = mainFrame;
    mainFrame->ShowWindow(m_nCmdShow);
    mainFrame->UpdateWindow();

    m_clockRunning = 0;
    return true;
}

CTallyscopeApp::~CTallyscopeApp() {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->EndSession();
}

CDocManager* CTallyscopeApp::CreateDocManager() { return new CSessionDocManager; }

bool CTallyscopeApp::OnIdle(long count) {
    AdvanceClock();
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->OnIdleSession(GetMainFrame());
    return CWinApp::OnIdle(count);
}

int CTallyscopeApp::ExitInstance() {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->EndSession();
    return CWinApp::ExitInstance();
}

void CTallyscopeApp::SendNoQuorTrigger(const String& playlist, const String& eventId) {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->SendCommand(FormatNoQuorTrigger(playlist, eventId));
}

void CTallyscopeApp::SendEnableQuorTrigger(const String& playlist, const String& eventId) {
    if (CSessionDocManager* manager = GetSessionDocManager())
        manager->SendCommand(FormatEnableQuorTrigger(playlist, eventId));
}

void CTallyscopeApp::SendChangeQuorServer(const String& playlist, const String& eventId, const String& quorServer) {
    if (CSessionDocManager* manager = GetSessionDocManager())
        manager->SendCommand(FormatChangeQuorServer(playlist, eventId, quorServer));
}

CMainFrame* CTallyscopeApp::GetMainFrame() const { return dynamic_cast<CMainFrame*>(m_pMainWnd); }

void CTallyscopeApp::RefreshAllDocuments() { RefreshAllPlaylistDocuments(this); }

namespace {
const char kFetchFailedPrefix[] = "Fetch failed: ";
}  // namespace

void CTallyscopeApp::ShowFetchFailure(const String& error) {
    String text;
    text.Format("%s%s", kFetchFailedPrefix, error.GetString());
    if (CMainFrame* frame = GetMainFrame()) frame->SetMessagePane(text);
}

void CTallyscopeApp::ClearFetchFailure(const String& error) {
    CMainFrame* frame = GetMainFrame();
    if (frame == nullptr) return;
    String shown;
    shown.Format("%s%s", kFetchFailedPrefix, error.GetString());
    if (!(frame->m_wndStatusBar.GetPaneText(CMainFrame::kMessagePane) == shown)) return;
    // Another document that still fails keeps the pane saying so.
    if (m_pDocManager != nullptr) {
        for (CDocTemplate* docTemplate : m_pDocManager->GetTemplates()) {
            for (CDocument* document : docTemplate->GetDocuments()) {
                auto* doc = dynamic_cast<CTallyscopeDoc*>(document);
                if (doc != nullptr && !doc->FetchError().IsEmpty() && !(doc->FetchError() == error)) {
                    ShowFetchFailure(doc->FetchError());
                    return;
                }
            }
        }
    }
    frame->SetMessagePane("");
}

void CTallyscopeApp::OnCancelOpen() {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->CancelOpen();
}

void CTallyscopeApp::OnEscape() {
    CSessionDocManager* manager = GetSessionDocManager();
    if (manager != nullptr && manager->CancelOpen()) return;
    if (CMainFrame* frame = GetMainFrame()) AfxExecuteCommand(frame, ID_VIEW_CLEAR_CHOICE);
}

void CTallyscopeApp::OnUpdateEscape(CCmdUI* ui) {
    const CSessionDocManager* manager = GetSessionDocManager();
    CMainFrame* frame = GetMainFrame();
    ui->Enable((manager != nullptr && manager->OpenWaiting()) ||
               (frame != nullptr && AfxIsCommandEnabled(frame, ID_VIEW_CLEAR_CHOICE)));
}

void CTallyscopeApp::OnUpdateCancelOpen(CCmdUI* ui) {
    const CSessionDocManager* manager = GetSessionDocManager();
    ui->Enable(manager != nullptr && manager->OpenWaiting());
}

void CTallyscopeApp::SetClock(const CTime& t) {
    m_clockTime = t;
    m_clockBase = CTime::GetCurrentTime();
    m_clockRunning = 1;
}

String FormatClockText(const CTime& t) {
    struct tm fields {};
    int year = 0;
    int month = 0;
    // A time too far out to break down shows as zeros.
    if (t.GetLocalTm(&fields)) {
        year = fields.tm_year + 1900;
        month = fields.tm_mon + 1;
    }
    String text;
    text.Format("%.2d/%.2d/%.2d %.2d:%.2d:%.2d", month, fields.tm_mday, year, fields.tm_hour, fields.tm_min,
                fields.tm_sec);
    return text;
}

void CTallyscopeApp::AdvanceClock() {
    if (m_clockRunning != 1) return;
    const CTime now = CTime::GetCurrentTime();
    m_clockTime += now - m_clockBase;
    m_clockBase = now;
    if (CMainFrame* frame = GetMainFrame()) frame->SetClockPane(FormatClockText(m_clockTime));
}

void CTallyscopeApp::OnAppAbout() {
    CAboutDlg about;
    about.DoModal();
}
