// CSessionDocManager: the application's document manager. It owns the
// session with the aggregation server and runs every session step: the start
// (File > Open), the reconnect and the idle step that watches the link and
// acts on the server's notifications.
//
// GUI thread only. The session's reactor thread touches nothing here.
#pragma once

#include <chrono>
#include <memory>

#include "app/AggrSession.h"
#include "external/String.h"
#include "framework/DocTemplate.h"

class CMainFrame;
class QTimer;

class CSessionDocManager : public CDocManager {
public:
    CSessionDocManager();
    // Ends the session (the reactor thread is stopped and joined).
    ~CSessionDocManager() override;

    // The open-by-name steps with the name unchanged, so a URL passes through.
    CDocument* OpenDocumentFile(const char* name) override;
    // The session start: connect, wait for the studio list, let the operator
    // choose, send the studio id, open one window per playlist. Blocking.
    void OnFileOpen() override;

    // Replaces the session with a new connection and resends the studio id.
    // Blocking (at most kReconnectWaitMs).
    void Reconnect();
    // The session's part of every idle pass: link icon, reconnect when the
    // link is down (spaced by a growing pause), notifications.
    void OnIdleSession(CMainFrame* frame);
    // Sends one command payload; false, with "Not connected" in the message
    // pane, when there is no link to send it on. Never replayed later.
    bool SendCommand(const String& payload);
    // Stops and deletes the session, if any.
    void EndSession();

    // The current session's socket, or null.
    AggrSocket* CurrentSocket() const { return m_reactor != nullptr ? m_reactor->aggrSocket() : nullptr; }
    bool LinkUp() const;

    AggrReactor* m_reactor = nullptr;  // owned; null until the first Open
    String m_studioId;                 // the chosen studio's id; empty until chosen
    int m_sessionUp = 0;               // 1 once an Open has finished its dialog step

    // Answers the studio dialog without showing it (an unattended display).
    bool m_hasPresetStudio = false;
    String m_presetStudio;

    // Waits, and the pause between reconnect attempts (doubles up to the
    // most; reset once the link is up). Tests shorten them.
    uint32_t m_firstMessageWaitMs = 60000;
    uint32_t m_reconnectWaitMs = 15000;
    int m_reconnectPauseFirstMs = 1000;
    int m_reconnectPauseMostMs = 30000;

    // Counters for the status of the session (and for tests).
    int m_reconnectAttempts = 0;
    int m_refreshes = 0;

private:
    using Clock = std::chrono::steady_clock;

    // A new reactor for the configured server: false (the reason logged and,
    // when given, put in problem) when the configuration cannot be read or
    // the context cannot be built.
    bool StartConnection(String* problem);
    // Acts on what the socket received since the last look.
    void HandleNotifications(AggrSocket* socket, CMainFrame* frame);
    void SendStudioId();
    void RefreshDocuments();
    void ArmRetryTimer(int ms);

    bool m_idPending = false;  // resend the id with the next message
    int m_pauseMs = 0;
    Clock::time_point m_nextAttempt{};
    std::unique_ptr<QTimer> m_retryTimer;
};

// The application's session manager, or null.
CSessionDocManager* GetSessionDocManager();
