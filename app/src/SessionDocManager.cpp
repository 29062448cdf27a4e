#include "app/SessionDocManager.h"

#include <QTimer>

#include <algorithm>
#include <exception>

#include "app/AggrConfig.h"
#include "app/MainFrm.h"
#include "app/SelectStudioDlg.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "external/EventLog.h"
#include "external/XMLDoc.h"
#include "framework/Afx.h"
#include "framework/Document.h"
#include "framework/WinApp.h"

namespace {

// Event-log ids (warning severity): a session that could not be set up, a
// playlist that could not be opened at session start.
constexpr long kSessionFailedEvent = static_cast<long>(0x8E000D03u);
constexpr long kOpenFailedEvent = static_cast<long>(0x8E000D04u);

CMainFrame* MainFrame() {
    CWinApp* app = AfxGetApp();
    return app != nullptr ? dynamic_cast<CMainFrame*>(app->m_pMainWnd) : nullptr;
}

void ShowMessage(const char* text) {
    if (CMainFrame* frame = MainFrame()) frame->SetMessagePane(text);
}

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

void CSessionDocManager::EndSession() {
    if (m_reactor == nullptr) return;
    m_reactor->shutdownSession();
    delete m_reactor;
    m_reactor = nullptr;
}

bool CSessionDocManager::StartConnection(String* problem) {
    // Read afresh each time: the operator may have fixed the file meanwhile.
    const AggrConfig config = ReadAggrConfig();
    // A session being replaced ends first, so two never run side by side.
    EndSession();
    m_reactor = new AggrReactor;
    const String configProblem = config.Problem();
    if (!configProblem.IsEmpty()) {
        TarnEventLog(kSessionFailedEvent, "Session not started: %s", configProblem.GetString());
        if (problem != nullptr) *problem = configProblem;
        return false;
    }
    if (m_reactor->createTlsContext(config.certFile, config.keyFile, config.caFile) != kAggrOk) {
        if (problem != nullptr) *problem = "the TLS context cannot be built from the configured files";
        return false;
    }
    m_reactor->connectTo(config.host, config.port);
    return true;
}

void CSessionDocManager::OnFileOpen() {
    String problem;
    AggrSocket* socket = nullptr;
    if (StartConnection(&problem)) socket = CurrentSocket();
    if (socket == nullptr || !socket->WaitForMessage(m_firstMessageWaitMs)) {
        if (!problem.IsEmpty()) ShowMessage(problem);
        AfxMessageBox("Failed to connect to aggr server", MB_OK);
        return;
    }

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
    if (m_hasPresetStudio) {
        chosen = m_presetStudio;
        confirmed = true;
    } else {
        CSelectStudioDlg dialog(names);
        confirmed = dialog.DoModal() == IDOK;
        chosen = dialog.m_selected;
    }

    if (confirmed) {
        // The first studio of that name only.
        for (CElementNode studio = root.GetFirstChild(); !studio.IsNull(); studio = studio.GetNextSibling()) {
            if (!(studio.GetAttribute("name").GetValue() == chosen)) continue;
            m_studioId = studio.GetAttribute("id").GetValue();
            SendStudioId();
            for (CElementNode playlist = studio.GetFirstChild(); !playlist.IsNull();
                 playlist = playlist.GetNextSibling()) {
                const String url = playlist.GetAttribute("url").GetValue();
                try {
                    if (CDocument* doc = OpenDocumentFile(url)) {
                        String title;
                        title.Format("%s: %s", chosen.GetString(), playlist.GetAttribute("name").GetValue().GetString());
                        doc->SetTitle(title);
                    }
                } catch (const std::exception& e) {
                    // One playlist that cannot be fetched does not keep the
                    // others closed; the session goes on.
                    String message;
                    message.Format("Fetch failed: %s", e.what());
                    ShowMessage(message);
                    TarnEventLog(kOpenFailedEvent, "%s", message.GetString());
                }
            }
            break;
        }
    }

    if (CMainFrame* frame = MainFrame()) frame->SetStudioLinkIcon(true);
    m_sessionUp = 1;
    m_idPending = false;
    m_pauseMs = 0;
    m_nextAttempt = Clock::time_point{};
}

void CSessionDocManager::SendStudioId() {
    if (m_reactor != nullptr) m_reactor->PostSend(m_studioId.GetString(), m_studioId.Length());
}

void CSessionDocManager::RefreshDocuments() {
    ++m_refreshes;
    if (CTallyscopeApp* app = GetTallyscopeApp()) {
        app->RefreshAllDocuments();
    } else {
        RefreshAllPlaylistDocuments(AfxGetApp());
    }
}

void CSessionDocManager::Reconnect() {
    ++m_reconnectAttempts;
    // No message box here: a failure counts as a link still down and the
    // idle step tries again later.
    if (!StartConnection(nullptr)) return;
    AggrSocket* socket = CurrentSocket();
    // The id goes out with the first message of the new connection, however
    // late it comes; what was sent while the link was down is lost, so every
    // playlist is fetched again then.
    m_idPending = true;
    if (socket != nullptr && socket->WaitForMessage(m_reconnectWaitMs)) {
        m_idPending = false;
        m_pauseMs = 0;
        m_nextAttempt = Clock::time_point{};
        SendStudioId();
        RefreshDocuments();
    }
}

void CSessionDocManager::HandleNotifications(AggrSocket* socket, CMainFrame* frame) {
    const AggrNotifications taken = socket->TakeNotifications();
    if (!taken.signalled) return;
    if (m_idPending) {
        // The first message of a rebuilt connection is the studio list.
        m_idPending = false;
        m_pauseMs = 0;
        m_nextAttempt = Clock::time_point{};
        SendStudioId();
        RefreshDocuments();
        return;
    }
    // Several "Update"s between two passes give one refresh; an "Update"
    // followed at once by a studio keyword still gives it.
    if (taken.update || taken.lastMessage == "Update") RefreshDocuments();
    int studio = taken.studio;
    if (studio == 0 && taken.lastMessage == "StudioConnected") studio = 1;
    if (studio == 0 && taken.lastMessage == "StudioDisconnected") studio = -1;
    if (studio != 0 && frame != nullptr) frame->SetStudioLinkIcon(studio > 0);
}

void CSessionDocManager::ArmRetryTimer(int ms) {
    if (!m_retryTimer) {
        m_retryTimer = std::make_unique<QTimer>();
        m_retryTimer->setSingleShot(true);
        // The timer's event itself wakes the loop; the idle pass that follows
        // makes the attempt.
        QObject::connect(m_retryTimer.get(), &QTimer::timeout, [] {});
    }
    if (!m_retryTimer->isActive()) m_retryTimer->start(std::max(ms, 1));
}

void CSessionDocManager::OnIdleSession(CMainFrame* frame) {
    if (m_sessionUp != 1) return;
    AggrSocket* socket = CurrentSocket();
    if (frame != nullptr) frame->SetAggrLinkIcon(LinkUp());
    // A message that came before the link failed is acted on before its
    // socket is replaced.
    if (socket != nullptr) HandleNotifications(socket, frame);

    if (!LinkUp()) {
        const Clock::time_point now = Clock::now();
        if (now >= m_nextAttempt) {
            if (frame != nullptr) frame->SetMessagePane("Reconnecting...");
            Reconnect();
            if (frame != nullptr) frame->SetMessagePane("");
            // Success is the first message of the new connection; until
            // then the attempts are spaced, so a server that is down or
            // drops every session at once does not keep the window frozen.
            if (m_idPending || !LinkUp()) {
                m_pauseMs = m_pauseMs == 0 ? m_reconnectPauseFirstMs : std::min(m_pauseMs * 2, m_reconnectPauseMostMs);
                m_nextAttempt = Clock::now() + std::chrono::milliseconds(m_pauseMs);
                ArmRetryTimer(m_pauseMs);
            }
        } else {
            ArmRetryTimer(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(m_nextAttempt - now).count()));
        }
        socket = CurrentSocket();
        if (frame != nullptr) frame->SetAggrLinkIcon(LinkUp());
    }
    if (LinkUp() && socket != nullptr) HandleNotifications(socket, frame);
    if (socket != nullptr && socket->TakeSendFailure()) ShowMessage("Not connected");
}

bool CSessionDocManager::SendCommand(const String& payload) {
    if (m_reactor == nullptr || !m_reactor->PostSend(payload.GetString(), payload.Length())) {
        ShowMessage("Not connected");
        return false;
    }
    return true;
}
