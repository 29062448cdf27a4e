#include "app/TallyscopeApp.h"

#include <QJsonObject>

#include <algorithm>
#include <ctime>
#include <iterator>
#include <string>

#include "app/AggrSession.h"
#include "external/XMLDoc.h"
#include "model/PlaylistEvent.h"

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
    MapCommand(ID_FILE_RECONNECT_NOW, &CTallyscopeApp::OnReconnectNow);
    MapCommandUI(ID_FILE_RECONNECT_NOW, &CTallyscopeApp::OnUpdateReconnectNow);
    MapCommand(ID_VIEW_ZOOM_IN, &CTallyscopeApp::OnZoomIn);
    MapCommand(ID_VIEW_ZOOM_OUT, &CTallyscopeApp::OnZoomOut);
    MapCommand(ID_VIEW_ZOOM_RESET, &CTallyscopeApp::OnZoomReset);
    MapCommandUI(ID_VIEW_ZOOM_IN, &CTallyscopeApp::OnUpdateZoomIn);
    MapCommandUI(ID_VIEW_ZOOM_OUT, &CTallyscopeApp::OnUpdateZoomOut);
    m_journal.m_onChanged = [this](const CommandRecord& record) { CommandChanged(record); };
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
    m_zoom = std::clamp(GetProfileString("View", "Zoom", "100").ToInt(), kZoomSteps[0],
                        kZoomSteps[std::size(kZoomSteps) - 1]);
    return true;
}

void CTallyscopeApp::SetZoom(int percent) {
    percent = std::clamp(percent, kZoomSteps[0], kZoomSteps[std::size(kZoomSteps) - 1]);
    if (percent == m_zoom) return;
    m_zoom = percent;
    WriteProfileString("View", "Zoom", std::to_string(percent).c_str());
    if (m_pDocManager == nullptr) return;
    for (CDocTemplate* docTemplate : m_pDocManager->GetTemplates())
        for (CDocument* document : docTemplate->GetDocuments())
            for (CView* view : document->GetViews())
                if (auto* playlistView = dynamic_cast<CTallyscopeView*>(view)) playlistView->SetZoom(percent);
}

void CTallyscopeApp::OnZoomIn() {
    for (int step : kZoomSteps) {
        if (step > m_zoom) {
            SetZoom(step);
            return;
        }
    }
}

void CTallyscopeApp::OnZoomOut() {
    for (auto it = std::rbegin(kZoomSteps); it != std::rend(kZoomSteps); ++it) {
        if (*it < m_zoom) {
            SetZoom(*it);
            return;
        }
    }
}

void CTallyscopeApp::OnUpdateZoomIn(CCmdUI* ui) { ui->Enable(m_zoom < kZoomSteps[std::size(kZoomSteps) - 1]); }

void CTallyscopeApp::OnUpdateZoomOut(CCmdUI* ui) { ui->Enable(m_zoom > kZoomSteps[0]); }

CTallyscopeApp::~CTallyscopeApp() {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->EndSession();
}

CDocManager* CTallyscopeApp::CreateDocManager() { return new CSessionDocManager; }

bool CTallyscopeApp::OnIdle(long count) {
    AdvanceClock();
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->OnIdleSession(GetMainFrame());
    FollowCommands();
    return CWinApp::OnIdle(count);
}

int CTallyscopeApp::ExitInstance() {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->EndSession();
    return CWinApp::ExitInstance();
}

void CTallyscopeApp::SendNoQuorTrigger(const String& playlist, const String& eventId, const CommandOrigin* origin) {
    GiveCommand(CommandKind::TriggerOff, playlist, eventId, String(), origin);
}

void CTallyscopeApp::SendEnableQuorTrigger(const String& playlist, const String& eventId, const CommandOrigin* origin) {
    GiveCommand(CommandKind::TriggerOn, playlist, eventId, String(), origin);
}

void CTallyscopeApp::SendChangeQuorServer(const String& playlist, const String& eventId, const String& quorServer,
                                          const CommandOrigin* origin) {
    GiveCommand(CommandKind::ServerChange, playlist, eventId, quorServer, origin);
}

bool CTallyscopeApp::ConfirmCommands() const {
    const String value = GetProfileString("Commands", "Confirm", "0");
    return value == "1" || value == "true";
}

namespace {

String Payload(CommandKind kind, const String& playlist, const String& eventId, const String& server) {
    switch (kind) {
        case CommandKind::TriggerOff: return FormatNoQuorTrigger(playlist, eventId);
        case CommandKind::TriggerOn: return FormatEnableQuorTrigger(playlist, eventId);
        case CommandKind::ServerChange: return FormatChangeQuorServer(playlist, eventId, server);
    }
    return String();
}

// "Switch off the trigger of EV000107 'Business Report' in Main?"
String ConfirmationText(CommandKind kind, const String& playlist, const String& eventId, const String& server,
                        const CommandOrigin& origin) {
    String what;
    if (kind == CommandKind::ServerChange) {
        what.Format("Point the trigger of %s '%s' in %s at the Quor server %s?", eventId.GetString(),
                    origin.title.GetString(), playlist.GetString(), server.GetString());
    } else {
        what.Format("Switch %s the trigger of %s '%s' in %s?", kind == CommandKind::TriggerOff ? "off" : "on",
                    eventId.GetString(), origin.title.GetString(), playlist.GetString());
    }
    if (origin.currentState.IsEmpty()) return what;
    String text;
    text.Format("%s\n\n%s", what.GetString(), origin.currentState.GetString());
    return text;
}

// A send outcome's code in words.
String SendFailureText(int code) {
    if (code == kSendDiscarded) return "the link ended before it went out";
    return DescribeLinkFailure(code, tarn::TlsFailure{});
}

QString Q(const String& text) { return QString::fromUtf8(text.GetString()); }

}  // namespace

void CTallyscopeApp::GiveCommand(CommandKind kind, const String& playlist, const String& eventId, const String& server,
                                 const CommandOrigin* origin) {
    if (origin != nullptr && ConfirmCommands() &&
        AfxMessageBox(ConfirmationText(kind, playlist, eventId, server, *origin), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    CSessionDocManager* manager = GetSessionDocManager();
    CommandRecord record;
    record.kind = kind;
    record.playlist = playlist;
    record.eventId = eventId;
    record.newServer = server;
    if (manager != nullptr) record.studio = manager->StudioName();
    if (origin != nullptr) {
        record.url = origin->url;
        record.title = origin->title;
    }
    const int number = m_journal.Add(record);
    long ticket = 0;
    if (manager == nullptr || !manager->SendCommand(Payload(kind, playlist, eventId, server), &ticket)) {
        if (CMainFrame* frame = GetMainFrame(); manager == nullptr && frame != nullptr)
            frame->SetMessagePane("Not connected");
        m_journal.NotSent(number, "not connected");
        return;
    }
    m_journal.Posted(number, ticket);
}

void CTallyscopeApp::FollowCommands() {
    if (CSessionDocManager* manager = GetSessionDocManager()) {
        for (const SendOutcomes::Outcome& outcome : manager->TakeSendOutcomes())
            m_journal.SendDone(outcome.ticket, outcome.code,
                               outcome.code >= 0 ? String() : SendFailureText(outcome.code));
    }
    if (m_journal.HasPending()) m_journal.Expire(std::chrono::steady_clock::now());
}

void CTallyscopeApp::CommandChanged(const CommandRecord& record) {
    CMainFrame* frame = GetMainFrame();
    if (frame != nullptr) frame->m_commands.Show(record);
    // "Not connected" is already in the pane, as it always was.
    if (frame != nullptr && record.state != CommandState::NotSent) {
        QString text = QStringLiteral("Command %1: %2 in %3: %4")
                           .arg(QString::number(record.number), CommandKindTitle(record.kind) + " " + Q(record.eventId),
                                Q(record.playlist), CommandStateText(record));
        if (record.state == CommandState::Applied && record.roundTripMs >= 0)
            text += " (" + RoundTripText(record) + ")";
        frame->SetMessagePane(text.toUtf8().constData());
    }
    QJsonObject entry{{"type", "command"},
                      {"number", record.number},
                      {"studio", Q(record.studio)},
                      {"playlist", Q(record.playlist)},
                      {"event", Q(record.eventId)},
                      {"title", Q(record.title)},
                      {"command", CommandKindName(record.kind)},
                      {"state", CommandStateText(record)}};
    QJsonObject values{{"playlist", Q(record.playlist)}, {"eventid", Q(record.eventId)}};
    if (record.kind == CommandKind::ServerChange) values.insert("quorServer", Q(record.newServer));
    entry.insert("values", values);
    if (!record.reason.IsEmpty()) entry.insert("reason", Q(record.reason));
    if (record.roundTripMs >= 0) entry.insert("roundTripMs", static_cast<qint64>(record.roundTripMs));
    LogOperatorEvent(entry);
}

COperatorLog& CTallyscopeApp::GetOperatorLog() {
    if (!m_operatorLog) {
        m_operatorLog = std::make_unique<COperatorLog>(OperatorLogPath());
        m_operatorLog->m_onFailure = [this](const QString& line) {
            if (CMainFrame* frame = GetMainFrame()) frame->SetMessagePane(line.toUtf8().constData());
        };
    }
    return *m_operatorLog;
}

void CTallyscopeApp::LogOperatorEvent(const QJsonObject& entry) { GetOperatorLog().Append(entry); }

void CTallyscopeApp::PlaylistFetchEnded(CTallyscopeDoc* doc, bool ok, std::chrono::steady_clock::time_point started,
                                        const String& previousError) {
    if (doc == nullptr) return;
    const String playlist = ReadPlaylistName(doc->m_root);
    if (ok) {
        if (!previousError.IsEmpty()) ClearFetchFailure(previousError);
        m_journal.PlaylistFetched(doc->m_url, doc->m_root, started);
        return;
    }
    ShowFetchFailure(doc->FetchError());
    QJsonObject entry{{"type", "fetch"}, {"state", "failed"}, {"url", Q(doc->m_url)}, {"reason", Q(doc->FetchError())}};
    if (!playlist.IsEmpty()) entry.insert("playlist", Q(playlist));
    if (CSessionDocManager* manager = GetSessionDocManager(); manager != nullptr && !manager->StudioName().IsEmpty())
        entry.insert("studio", Q(manager->StudioName()));
    LogOperatorEvent(entry);
}

void CTallyscopeApp::OnReconnectNow() {
    if (CSessionDocManager* manager = GetSessionDocManager()) manager->ReconnectNow();
}

void CTallyscopeApp::OnUpdateReconnectNow(CCmdUI* ui) {
    const CSessionDocManager* manager = GetSessionDocManager();
    ui->Enable(manager != nullptr && manager->CanReconnectNow());
}

CMainFrame* CTallyscopeApp::GetMainFrame() const { return dynamic_cast<CMainFrame*>(m_pMainWnd); }

int CTallyscopeApp::RefreshAllDocuments() {
    if (m_pDocManager == nullptr) return 0;
    int started = 0;
    for (CDocTemplate* docTemplate : m_pDocManager->GetTemplates()) {
        for (CDocument* document : docTemplate->GetDocuments()) {
            auto* doc = dynamic_cast<CTallyscopeDoc*>(document);
            if (doc == nullptr || doc->m_url.IsEmpty()) continue;
            doc->Refresh();
            ++started;
        }
    }
    return started;
}

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
