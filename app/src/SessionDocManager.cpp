#include "app/SessionDocManager.h"

#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <exception>

#include "app/AggrConfig.h"
#include "app/ChildFrm.h"
#include "app/MainFrm.h"
#include "app/SelectStudioDlg.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "external/EventLog.h"
#include "external/XMLDoc.h"
#include "framework/Afx.h"
#include "framework/Document.h"
#include "framework/View.h"
#include "framework/WinApp.h"

namespace {

// Event-log ids (warning severity): a session that could not be set up, a
// playlist that could not be opened at session start.
constexpr long kSessionFailedEvent = static_cast<long>(0x8E000D03u);
constexpr long kOpenFailedEvent = static_cast<long>(0x8E000D04u);

// The Open's wait ticks this often (the seconds shown, the time-out).
constexpr int kOpenTickMs = 250;

// Runs f; nothing escapes into Qt's timer dispatch.
template <class F>
void AfxGuardCall(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        qWarning("session: %s", e.what());
    } catch (...) {
        qWarning("session: unknown exception");
    }
}

CMainFrame* MainFrame() {
    CWinApp* app = AfxGetApp();
    return app != nullptr ? dynamic_cast<CMainFrame*>(app->m_pMainWnd) : nullptr;
}

void ShowMessage(const char* text) {
    if (CMainFrame* frame = MainFrame()) frame->SetMessagePane(text);
}

void Log(const QJsonObject& entry) {
    if (CTallyscopeApp* app = GetTallyscopeApp()) app->LogOperatorEvent(entry);
}

QString Q(const String& text) { return QString::fromUtf8(text.GetString()); }

QString Hms(const QDateTime& t) { return t.toString(QStringLiteral("HH:mm:ss")); }

}  // namespace

CSessionDocManager* GetSessionDocManager() {
    CWinApp* app = AfxGetApp();
    return app != nullptr ? dynamic_cast<CSessionDocManager*>(app->m_pDocManager) : nullptr;
}

CSessionDocManager::CSessionDocManager() = default;

CSessionDocManager::~CSessionDocManager() { EndSession(); }

CDocument* CSessionDocManager::OpenDocumentFile(const char* name) { return OpenDocumentByName(name); }

bool CSessionDocManager::LinkUp() const {
    const AggrSocket* socket = CurrentSocket();
    return socket != nullptr && socket->linkUp();
}

void CSessionDocManager::EndConnection() {
    m_attemptRunning = false;
    if (m_reactor == nullptr) return;
    m_reactor->shutdownSession();
    m_reactor.reset();
}

void CSessionDocManager::EndSession() {
    StopOpen();
    if (m_retryTimer) m_retryTimer->stop();
    EndConnection();
    // Over for good: the idle step has no session to rebuild.
    m_sessionUp = 0;
}

bool CSessionDocManager::StartConnection(String* problem, String* server) {
    // Read afresh each time: the operator may have fixed the file meanwhile.
    const AggrConfig config = ReadAggrConfig();
    if (server != nullptr) server->Format("%s:%s", config.host.GetString(), config.portText.GetString());
    // A session being replaced ends first, so two never run side by side.
    EndConnection();
    m_reactor = std::make_unique<AggrReactor>();
    const String configProblem = config.Problem();
    if (!configProblem.IsEmpty()) {
        TarnEventLog(kSessionFailedEvent, "Session not started: %s", configProblem.GetString());
        if (problem != nullptr) *problem = configProblem;
        String reason;
        reason.Format("configuration unreadable: %s", configProblem.GetString());
        SetLastFailure(reason);
        return false;
    }
    if (m_reactor->createTlsContext(config.certFile, config.keyFile, config.caFile) != kAggrOk) {
        if (problem != nullptr) *problem = "the TLS context cannot be built from the configured files";
        String reason;
        reason.Format("configuration unusable: the TLS files (%s, %s, %s) cannot be loaded",
                      config.certFile.GetString(), config.keyFile.GetString(), config.caFile.GetString());
        SetLastFailure(reason);
        return false;
    }
    m_reactor->connectTo(config.host, config.port);
    return true;
}

void CSessionDocManager::OnFileOpen() {
    // An Open given while one waits or pauses starts afresh.
    StopOpen();
    m_openPauseMs = 0;
    StartOpen();
}

void CSessionDocManager::StartOpen() {
    ++m_openAttempts;
    ++m_attemptsSinceUp;
    m_phase = OpenPhase::Waiting;
    m_openStarted = Clock::now();
    String problem;
    if (!StartConnection(&problem, &m_server)) {
        OpenFailed(problem);
        return;
    }
    if (!m_openTimer) {
        m_openTimer = std::make_unique<QTimer>();
        QObject::connect(m_openTimer.get(), &QTimer::timeout, [this] { AfxGuardCall([this] { OnOpenTimer(); }); });
    }
    // Ticks for the seconds shown; the idle pass brings the tick forward
    // when the socket has news.
    m_openTimer->start(kOpenTickMs);
    ShowOpenProgress();
}

void CSessionDocManager::ShowOpenProgress() {
    String text;
    if (m_phase == OpenPhase::Waiting) {
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_openStarted).count();
        text.Format("Connecting to %s... (%lld s)", m_server.GetString(), static_cast<long long>(waited));
    } else if (m_phase == OpenPhase::Retrying) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(m_openRetryAt - Clock::now()).count();
        text.Format("Cannot connect to %s: %s. Next attempt in %lld s", m_server.GetString(), m_openProblem.GetString(),
                    static_cast<long long>(left > 0 ? left : 0));
    } else {
        return;
    }
    ShowMessage(text);
}

void CSessionDocManager::OnOpenTimer() {
    if (m_phase == OpenPhase::Retrying) {
        if (Clock::now() >= m_openRetryAt) {
            StartOpen();
        } else {
            ShowOpenProgress();
        }
        return;
    }
    if (m_phase != OpenPhase::Waiting) {
        m_openTimer->stop();
        return;
    }
    m_openTimer->start(kOpenTickMs);
    AggrSocket* socket = CurrentSocket();
    // The message comes first: one that arrived before the link failed is
    // still taken.
    if (socket != nullptr && socket->WaitForMessage(0)) {
        m_openTimer->stop();
        ContinueOpen(socket);
        return;
    }
    const bool timedOut = Clock::now() - m_openStarted >= std::chrono::milliseconds(m_settings.firstMessageWaitMs);
    if (socket == nullptr || socket->linkFailed()) {
        if (socket != nullptr) SetLastFailure(FailureOf(socket, "the connection failed"));
        OpenFailed(socket == nullptr ? String() : String("the connection failed"));
    } else if (timedOut) {
        String reason;
        reason.Format("no studio list within %u s", static_cast<unsigned>(m_settings.firstMessageWaitMs / 1000));
        SetLastFailure(reason);
        OpenFailed("no studio list came");
    } else {
        ShowOpenProgress();
    }
}

void CSessionDocManager::OpenFailed(const String& problem) {
    if (m_openTimer) m_openTimer->stop();
    if (m_settings.retryOpenUntilUp) {
        // An unattended display keeps trying, with the reconnect pauses.
        m_openProblem = !m_lastFailure.IsEmpty() ? m_lastFailure
                        : problem.IsEmpty()      ? String("the connection failed")
                                                 : problem;
        m_openPauseMs = m_openPauseMs == 0 ? m_settings.reconnectPauseFirstMs
                                           : std::min(m_openPauseMs * 2, m_settings.reconnectPauseMostMs);
        m_openRetryAt = Clock::now() + std::chrono::milliseconds(m_openPauseMs);
        m_phase = OpenPhase::Retrying;
        if (m_openTimer) m_openTimer->start(kOpenTickMs);
        ShowOpenProgress();
        return;
    }
    m_phase = OpenPhase::None;
    ShowMessage(problem.IsEmpty() || problem == "the connection failed" || problem == "no studio list came" ? ""
                                                                                                            : problem);
    AfxMessageBox("Failed to connect to aggr server", MB_OK);
}

void CSessionDocManager::StopOpen() {
    if (m_openTimer) m_openTimer->stop();
    m_phase = OpenPhase::None;
}

bool CSessionDocManager::CancelOpen() {
    if (!OpenWaiting()) return false;
    StopOpen();
    m_openPauseMs = 0;
    // The new connection goes; a session that was up before is rebuilt by
    // the reconnect, as after a drop.
    EndConnection();
    ShowMessage("Open cancelled");
    return true;
}

void CSessionDocManager::ContinueOpen(AggrSocket* socket) {
    m_phase = OpenPhase::Choosing;
    ShowMessage("");
    // The studio list: the root's children are the studios.
    const String list = socket->LastMessage();
    CXMLDoc xml;
    CMemXMLSrc source;
    source.SetMemPtr(list);
    xml.Parse(source);
    const CElementNode root = xml.GetRootElement();
    StringList names;
    for (CElementNode studio = root.GetFirstChild(); !studio.IsNull(); studio = studio.GetNextSibling())
        names.AddTail(studio.GetAttribute("name").GetValue());

    String chosen;
    bool confirmed = false;
    if (m_settings.hasPresetStudio) {
        chosen = m_settings.presetStudio;
        confirmed = true;
    } else {
        CSelectStudioDlg dialog(names);
        confirmed = dialog.DoModal() == IDOK;
        chosen = dialog.m_selected;
    }
    // The session may have been ended while the dialog was up (the program
    // is quitting).
    if (m_phase != OpenPhase::Choosing || CurrentSocket() != socket) return;
    m_phase = OpenPhase::None;

    const int opened = confirmed ? OpenStudio(root, chosen) : 0;

    // The studio's windows where the operator left them, else side by side
    // in strips, none over another and none outside the area.
    if (CMainFrame* frame = MainFrame(); frame != nullptr && opened > 0) frame->PlaceStudioWindows();
    SetStudioUp(true);
    m_aggrDownSince = QDateTime();
    m_attemptsSinceUp = 0;
    m_sessionUp = 1;
    ShowLinks(MainFrame());
    m_idPending = false;
    m_attemptRunning = false;
    m_pauseMs = 0;
    m_openPauseMs = 0;
    m_nextAttempt = Clock::time_point{};
}

int CSessionDocManager::OpenStudio(const CElementNode& studios, const String& chosen) {
    // The first studio of that name only.
    for (CElementNode studio = studios.GetFirstChild(); !studio.IsNull(); studio = studio.GetNextSibling()) {
        if (!(studio.GetAttribute("name").GetValue() == chosen)) continue;
        m_studioId = studio.GetAttribute("id").GetValue();
        m_studioName = chosen;
        SendStudioId();
        int opened = 0;
        for (CElementNode playlist = studio.GetFirstChild(); !playlist.IsNull(); playlist = playlist.GetNextSibling())
            if (OpenPlaylistWindow(playlist, chosen)) ++opened;
        return opened;
    }
    return 0;
}

bool CSessionDocManager::OpenPlaylistWindow(const CElementNode& playlist, const String& studio) {
    const String url = playlist.GetAttribute("url").GetValue();
    try {
        // The window opens at once; its rows come when its fetch ends.
        CDocument* doc = OpenDocumentFile(url);
        if (doc == nullptr) return false;
        const String name = playlist.GetAttribute("name").GetValue();
        String title;
        title.Format("%s: %s", studio.GetString(), name.GetString());
        doc->SetTitle(title);
        for (CView* view : doc->GetViews())
            if (auto* frame = dynamic_cast<CChildFrame*>(view->GetParentFrame()))
                frame->SetPlaceKey(PlaylistSettingsKey(studio, name));
        return true;
    } catch (const std::exception& e) {
        // One playlist that cannot be opened does not keep the others
        // closed; the session goes on.
        String message;
        message.Format("Fetch failed: %s", e.what());
        ShowMessage(message);
        TarnEventLog(kOpenFailedEvent, "%s", message.GetString());
        return false;
    }
}

void CSessionDocManager::SendStudioId() {
    if (m_reactor != nullptr) m_reactor->PostSend(m_studioId.GetString(), m_studioId.Length());
}

void CSessionDocManager::RefreshDocuments() {
    ++m_refreshes;
    if (CTallyscopeApp* app = GetTallyscopeApp()) app->RefreshAllDocuments();
}

void CSessionDocManager::Reconnect() {
    ++m_reconnectAttempts;
    m_attemptRunning = false;
    ++m_attemptsSinceUp;
    // No message box here: a failure counts as a link still down and the
    // idle step tries again later.
    if (!StartConnection(nullptr, &m_server)) return;
    // The id goes out with the first message of the new connection, however
    // late it comes; what was sent while the link was down is lost, so every
    // playlist is fetched again then.
    m_idPending = true;
    m_attemptRunning = true;
    m_attemptDeadline = Clock::now() + std::chrono::milliseconds(m_settings.reconnectWaitMs);
}

int CSessionDocManager::NextPauseMs() {
    m_pauseMs =
        m_pauseMs == 0 ? m_settings.reconnectPauseFirstMs : std::min(m_pauseMs * 2, m_settings.reconnectPauseMostMs);
    return m_pauseMs;
}

void CSessionDocManager::ReconnectEnded(CMainFrame* frame) {
    if (m_attemptRunning && m_idPending) {
        const AggrSocket* socket = CurrentSocket();
        if (socket != nullptr && !socket->linkFailed()) {
            String reason;
            reason.Format("no studio list within %u s", static_cast<unsigned>(m_settings.reconnectWaitMs / 1000));
            SetLastFailure(reason);
        } else if (socket != nullptr) {
            SetLastFailure(FailureOf(socket, "the connection failed"));
        }
    }
    m_attemptRunning = false;
    if (frame != nullptr) frame->SetMessagePane("");
    // Success is the first message of the new connection; until then the
    // attempts are spaced, so a server that is down or drops every session
    // at once is not hammered.
    if (m_idPending || !LinkUp()) {
        m_nextAttempt = Clock::now() + std::chrono::milliseconds(NextPauseMs());
        ArmRetryTimer(m_pauseMs);
    }
}

void CSessionDocManager::FollowReconnect(CMainFrame* frame) {
    if (!m_attemptRunning) return;
    AggrSocket* socket = CurrentSocket();
    if (!m_idPending) {
        // Its first message came (HandleNotifications sent the id).
        m_attemptRunning = false;
        if (frame != nullptr) frame->SetMessagePane("");
        return;
    }
    const Clock::time_point now = Clock::now();
    if (socket == nullptr || socket->linkFailed() || now >= m_attemptDeadline) {
        ReconnectEnded(frame);
        return;
    }
    ArmRetryTimer(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(m_attemptDeadline - now).count()));
}

void CSessionDocManager::HandleNotifications(AggrSocket* socket, CMainFrame* frame) {
    const AggrNotifications taken = socket->TakeNotifications();
    if (!taken.signalled) return;
    if (m_idPending) {
        // The first message of a rebuilt connection is the studio list.
        m_idPending = false;
        m_attemptsSinceUp = 0;
        m_pauseMs = 0;
        m_nextAttempt = Clock::time_point{};
        SendStudioId();
        RefreshDocuments();
        return;
    }
    // The socket classified each message as it came: several "Update"s
    // between two passes give one refresh, and an "Update" followed at once
    // by a studio keyword still gives it.
    if (taken.update) RefreshDocuments();
    if (taken.studio != 0) SetStudioUp(taken.studio > 0, taken.studio > 0 ? "StudioConnected" : "StudioDisconnected");
    ShowLinks(frame);
}

void CSessionDocManager::SetStudioUp(bool up, const String& keyword) {
    const QDateTime now = QDateTime::currentDateTime();
    if (up) {
        m_studioDownSince = QDateTime();
    } else if (m_studioUp || !m_studioDownSince.isValid()) {
        m_studioDownSince = now;
    }
    if (!keyword.IsEmpty()) {
        m_lastKeyword = keyword;
        m_lastKeywordAt = now;
    }
    const bool changed = up != m_studioUp || !m_studioSince.isValid();
    m_studioUp = up;
    if (!changed) return;
    m_studioSince = now;
    QJsonObject entry{{"type", "link"}, {"link", "studio"}, {"state", up ? "up" : "down"}, {"studio", Q(m_studioName)}};
    entry.insert("reason", keyword.IsEmpty() ? QStringLiteral("session start") : Q(keyword));
    Log(entry);
}

void CSessionDocManager::SetLastFailure(const String& reason) {
    if (reason.IsEmpty()) return;
    m_lastFailure = reason;
    m_lastFailureAt = QDateTime::currentDateTime();
}

String CSessionDocManager::FailureOf(const AggrSocket* socket, const char* fallback) {
    const String text = socket != nullptr ? socket->FailureText() : String();
    return text.IsEmpty() ? String(fallback) : text;
}

void CSessionDocManager::NoteAggrLink(bool up) {
    if (up == m_aggrWasUp) return;
    m_aggrWasUp = up;
    QJsonObject entry{{"type", "link"}, {"link", "viewer"}, {"state", up ? "up" : "down"}, {"server", Q(m_server)}};
    if (up) {
        m_aggrUpSince = QDateTime::currentDateTime();
        m_downReason = String();
    } else {
        SetLastFailure(FailureOf(CurrentSocket(), "the connection ended"));
        m_downReason = m_lastFailure;
        entry.insert("reason", Q(m_lastFailure));
    }
    if (!m_studioName.IsEmpty()) entry.insert("studio", Q(m_studioName));
    Log(entry);
}

bool CSessionDocManager::CanReconnectNow() const {
    if (m_phase == OpenPhase::Retrying) return true;
    return m_sessionUp == 1 && m_phase == OpenPhase::None && !LinkUp() && !m_attemptRunning;
}

bool CSessionDocManager::ReconnectNow() {
    if (!CanReconnectNow()) return false;
    if (m_phase == OpenPhase::Retrying) {
        m_openRetryAt = Clock::now();
        if (m_openTimer) m_openTimer->start(0);
        return true;
    }
    // The next idle pass makes the attempt; the timer's event brings it.
    m_nextAttempt = Clock::now();
    if (m_retryTimer) m_retryTimer->stop();
    ArmRetryTimer(1);
    return true;
}

String CSessionDocManager::AggrLinkDetail() const {
    QStringList lines;
    const bool up = LinkUp();
    if (m_reactor == nullptr && m_sessionUp != 1 && m_phase == OpenPhase::None) {
        lines << QStringLiteral("Viewer link: not connected (File > Open connects)");
    } else if (up) {
        lines << QStringLiteral("Viewer link: up since %1").arg(Hms(m_aggrUpSince));
    } else if (m_aggrDownSince.isValid()) {
        lines << QStringLiteral("Viewer link: down since %1").arg(Hms(m_aggrDownSince));
        if (!m_downReason.IsEmpty()) lines << QStringLiteral("It went down: %1").arg(Q(m_downReason));
    } else {
        lines << QStringLiteral("Viewer link: connecting");
    }
    if (!m_server.IsEmpty()) lines << QStringLiteral("Server: %1").arg(Q(m_server));
    if (!m_lastFailure.IsEmpty())
        lines << QStringLiteral("Last failure: %1 (%2)").arg(Q(m_lastFailure), Hms(m_lastFailureAt));
    if (!up) {
        if (m_attemptsSinceUp > 0)
            lines << QStringLiteral("Attempts since the link was last up: %1").arg(m_attemptsSinceUp);
        const Clock::time_point now = Clock::now();
        Clock::time_point next{};
        if (m_phase == OpenPhase::Retrying) next = m_openRetryAt;
        else if (m_sessionUp == 1 && m_phase == OpenPhase::None && !m_attemptRunning) next = m_nextAttempt;
        if (m_attemptRunning || m_phase == OpenPhase::Waiting) {
            lines << QStringLiteral("An attempt is under way");
        } else if (next != Clock::time_point{}) {
            const auto left =
                std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count());
            lines << QStringLiteral("Next attempt: %1 (Reconnect now: Ctrl+R)")
                         .arg(Hms(QDateTime::currentDateTime().addMSecs(left)));
        }
    }
    return String(lines.join('\n').toUtf8().constData());
}

String CSessionDocManager::StudioLinkDetail() const {
    QStringList lines;
    if (m_sessionUp != 1) {
        lines << QStringLiteral("Studio link: unknown (no session)");
    } else if (!LinkUp()) {
        lines << QStringLiteral("Studio link: unknown while the viewer's link is down");
        lines << QStringLiteral("Last known: %1").arg(m_studioUp ? "up" : "down");
    } else {
        lines << QStringLiteral("Studio link: %1 since %2").arg(m_studioUp ? "up" : "down", Hms(m_studioSince));
    }
    if (!m_studioName.IsEmpty()) lines << QStringLiteral("Studio: %1").arg(Q(m_studioName));
    if (m_lastKeyword.IsEmpty()) {
        lines << QStringLiteral("Last keyword: none since the session started");
    } else {
        lines << QStringLiteral("Last keyword: %1 at %2").arg(Q(m_lastKeyword), Hms(m_lastKeywordAt));
    }
    return String(lines.join('\n').toUtf8().constData());
}

void CSessionDocManager::ShowLinks(CMainFrame* frame) {
    const bool up = LinkUp();
    NoteAggrLink(up);
    if (up) {
        m_aggrDownSince = QDateTime();
    } else if (!m_aggrDownSince.isValid()) {
        m_aggrDownSince = QDateTime::currentDateTime();
    }
    if (frame == nullptr) return;
    frame->SetAggrLinkIcon(up);
    if (!up) {
        frame->SetStudioLinkUnknown();
    } else {
        frame->SetStudioLinkIcon(m_studioUp);
    }
    frame->SetLinkDetails(AggrLinkDetail(), StudioLinkDetail());
}

void CSessionDocManager::ArmRetryTimer(int ms) {
    if (!m_retryTimer) {
        m_retryTimer = std::make_unique<QTimer>();
        m_retryTimer->setSingleShot(true);
        // The timer's event itself wakes the loop; the idle pass that follows
        // makes the attempt.
        QObject::connect(m_retryTimer.get(), &QTimer::timeout, [] {});
    }
    ms = std::max(ms, 1);
    if (!m_retryTimer->isActive() || m_retryTimer->remainingTime() > ms) m_retryTimer->start(ms);
}

void CSessionDocManager::OnIdleSession(CMainFrame* frame) {
    // The detail changes with every failure, with or without a session.
    if (frame != nullptr) frame->SetLinkDetails(AggrLinkDetail(), StudioLinkDetail());
    if (m_phase == OpenPhase::Waiting) {
        // News from the socket: the Open's timer takes it from the loop, not
        // from this pass (no dialog or box is ever opened from idle).
        AggrSocket* socket = CurrentSocket();
        if (m_openTimer && socket != nullptr && (socket->HasMessage() || socket->linkFailed()) &&
            m_openTimer->remainingTime() > 0)
            m_openTimer->start(0);
    }
    if (m_sessionUp != 1 || m_phase != OpenPhase::None) return;
    AggrSocket* socket = CurrentSocket();
    ShowLinks(frame);
    // A message that came before the link failed is acted on before its
    // socket is replaced.
    if (socket != nullptr) HandleNotifications(socket, frame);
    FollowReconnect(frame);

    if (!LinkUp() && !m_attemptRunning) {
        // The link may have gone down since the look above: noted first,
        // with its own socket's reason, before a reconnect replaces it.
        ShowLinks(frame);
        const Clock::time_point now = Clock::now();
        if (now >= m_nextAttempt) {
            if (frame != nullptr) frame->SetMessagePane("Reconnecting...");
            Reconnect();
            if (!m_attemptRunning) ReconnectEnded(frame);
            else FollowReconnect(frame);
        } else {
            ArmRetryTimer(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(m_nextAttempt - now).count()));
        }
        socket = CurrentSocket();
        ShowLinks(frame);
    }
    if (LinkUp() && socket != nullptr) HandleNotifications(socket, frame);
    FollowReconnect(frame);
    if (socket != nullptr && socket->TakeSendFailure()) ShowMessage("Not connected");
}

bool CSessionDocManager::SendCommand(const String& payload, long* ticket) {
    const long number = ticket != nullptr ? ++m_nextTicket : 0;
    const bool posted =
        m_reactor != nullptr &&
        (ticket != nullptr ? m_reactor->PostSend(payload.GetString(), payload.Length(), number, m_sendOutcomes)
                           : m_reactor->PostSend(payload.GetString(), payload.Length()));
    if (!posted) {
        ShowMessage("Not connected");
        return false;
    }
    if (ticket != nullptr) *ticket = number;
    return true;
}
