// CSessionDocManager: the application's document manager. It owns the
// session with the aggregation server and runs every session step: the start
// (File > Open), the reconnect and the idle step that watches the link and
// acts on the server's notifications.
//
// GUI thread only. The session's reactor thread touches nothing here.
#pragma once

#include <chrono>

#include <QDateTime>
#include <memory>

#include "app/AggrSession.h"
#include "external/String.h"
#include "external/XMLDoc.h"
#include "framework/DocTemplate.h"

class CMainFrame;
class QTimer;

class CSessionDocManager : public CDocManager {
public:
    // Where an Open stands.
    enum class OpenPhase {
        None,      // no Open under way
        Waiting,   // connected, waiting for the studio list (event-loop wait)
        Choosing,  // the studio dialog is up
        Retrying,  // (unattended start) pausing before the next attempt
    };

    CSessionDocManager();
    // Ends the session (the reactor thread is stopped and joined).
    ~CSessionDocManager() override;

    // The open-by-name steps with the name unchanged, so a URL passes through.
    CDocument* OpenDocumentFile(const char* name) override;
    // The session start: connect, then wait for the studio list in the event
    // loop (the window stays live; the message pane counts the seconds).
    // When the list comes: the studio dialog, the id sent, one window per
    // playlist. After GetSettings().firstMessageWaitMs without it, or at once when the
    // link fails: "Failed to connect to aggr server" (or, with
    // the unattended start, another attempt after a pause). An Open given while
    // one waits starts afresh. Returns at once.
    void OnFileOpen() override;
    // Stops an Open that waits or pauses; true when there was one. The
    // session it replaced, if any, is rebuilt by the reconnect as after a
    // drop.
    bool CancelOpen();
    OpenPhase Phase() const { return m_phase; }
    bool OpenWaiting() const { return m_phase == OpenPhase::Waiting || m_phase == OpenPhase::Retrying; }

    // Starts one reconnect attempt: a new connection whose first message
    // resends the studio id and refreshes every document. Returns at once;
    // the idle pass follows the attempt for at most GetSettings().reconnectWaitMs.
    void Reconnect();
    bool ReconnectRunning() const { return m_attemptRunning; }
    // The session's part of every idle pass: link icon, reconnect when the
    // link is down (spaced by a growing pause), notifications.
    void OnIdleSession(CMainFrame* frame);
    // Sends one command payload; false, with "Not connected" in the message
    // pane, when there is no link to send it on. Never replayed later. With
    // ticket, the send's outcome comes back under *ticket through
    // TakeSendOutcomes.
    bool SendCommand(const String& payload, long* ticket = nullptr);
    // What became of the ticketed sends since the last take.
    std::vector<SendOutcomes::Outcome> TakeSendOutcomes() { return m_sendOutcomes->TakeAll(); }

    // Reconnect now (File menu, Ctrl+R): the pause before the next attempt
    // (of a reconnect, or of an unattended Open) is skipped. True when there
    // was a pause to skip.
    bool ReconnectNow();
    bool CanReconnectNow() const;

    // The link detail the two link panes show on hover and click: state and
    // since when; for the viewer's link the server, the last failure in
    // words, the attempts since it was last up and the next one; for the
    // studio's link the last keyword and when it came.
    String AggrLinkDetail() const;
    String StudioLinkDetail() const;
    // Why the viewer's link last failed, in words ("" before any failure).
    const String& LastFailure() const { return m_lastFailure; }
    int AttemptsSinceUp() const { return m_attemptsSinceUp; }
    // The chosen studio's name; empty until chosen.
    const String& StudioName() const { return m_studioName; }
    // Stops and deletes the session, if any, and any Open under way; no
    // session counts as up afterwards (the program is ending).
    void EndSession();

    // The current session's socket, or null.
    AggrSocket* CurrentSocket() const { return m_reactor != nullptr ? m_reactor->aggrSocket() : nullptr; }
    bool LinkUp() const;
    // The studio link as the server last reported it (up at session start).
    bool StudioLinkUp() const { return m_studioUp; }
    // Since when the viewer's link (or the studio's) is down; null while up.
    const QDateTime& AggrDownSince() const { return m_aggrDownSince; }
    const QDateTime& StudioDownSince() const { return m_studioDownSince; }

    // The current session's reactor, or null before the first Open.
    AggrReactor* Reactor() const { return m_reactor.get(); }
    // The chosen studio's id; empty until chosen.
    const String& StudioId() const { return m_studioId; }
    // 1 once an Open has finished its dialog step, else 0.
    int SessionUp() const { return m_sessionUp; }

    // How the session waits and starts; the program sets the unattended
    // start from its options, tests shorten the waits. Read at each step.
    struct Settings {
        // Answers the studio dialog without showing it (an unattended display).
        bool hasPresetStudio = false;
        String presetStudio;
        // An unattended start: a failed Open shows no box and is tried again
        // with the reconnect pauses until a session is up.
        bool retryOpenUntilUp = false;
        // Waits, and the pause between reconnect attempts (doubles up to the
        // most; reset once the link is up).
        uint32_t firstMessageWaitMs = 60000;
        uint32_t reconnectWaitMs = 15000;
        int reconnectPauseFirstMs = 1000;
        int reconnectPauseMostMs = 30000;
    };
    Settings& GetSettings() { return m_settings; }
    const Settings& GetSettings() const { return m_settings; }

    // Counters for the status of the session.
    int ReconnectAttempts() const { return m_reconnectAttempts; }
    int Refreshes() const { return m_refreshes; }
    int OpenAttempts() const { return m_openAttempts; }

private:
    using Clock = std::chrono::steady_clock;

    // A new reactor for the configured server: false (the reason logged and,
    // when given, put in problem) when the configuration cannot be read or
    // the context cannot be built. server gets "HOST:PORT".
    bool StartConnection(String* problem, String* server = nullptr);
    // Starts one Open attempt (also a retry of an unattended one).
    void StartOpen();
    // The Open's timer: follows the wait and the retry pause.
    void OnOpenTimer();
    // The studio list came: the dialog and the windows.
    void ContinueOpen(AggrSocket* socket);
    void OpenFailed(const String& problem);
    // The chosen studio of the list: its id sent, one window per playlist;
    // returns how many opened.
    int OpenStudio(const CElementNode& studios, const String& chosen);
    bool OpenPlaylistWindow(const CElementNode& playlist, const String& studio);
    // Follows a running reconnect attempt; ends it when its message came,
    // its link failed or its time ran out.
    void FollowReconnect(CMainFrame* frame);
    void ReconnectEnded(CMainFrame* frame);
    // Acts on what the socket received since the last look.
    void HandleNotifications(AggrSocket* socket, CMainFrame* frame);
    void SendStudioId();
    void RefreshDocuments();
    void ArmRetryTimer(int ms);
    int NextPauseMs();
    void ShowOpenProgress();
    void StopOpen();
    // Stops and deletes the current reactor, if any.
    void EndConnection();

    // Shows both link panes: the studio's is unknown while the viewer's
    // link is down, and the last known state once it is back.
    void ShowLinks(CMainFrame* frame);
    void SetStudioUp(bool up, const String& keyword = String());
    // The viewer's link went up or down: the times, the counters and one
    // line in the operator's log.
    void NoteAggrLink(bool up);
    void SetLastFailure(const String& reason);
    // Why a connection that ended went: its socket's words, or fallback.
    static String FailureOf(const AggrSocket* socket, const char* fallback);

    std::unique_ptr<AggrReactor> m_reactor;  // null until the first Open
    String m_studioId;
    int m_sessionUp = 0;
    Settings m_settings;
    int m_reconnectAttempts = 0;
    int m_refreshes = 0;
    int m_openAttempts = 0;
    std::shared_ptr<SendOutcomes> m_sendOutcomes = std::make_shared<SendOutcomes>();
    long m_nextTicket = 0;
    bool m_aggrWasUp = false;
    QDateTime m_aggrUpSince;
    String m_lastFailure;
    QDateTime m_lastFailureAt;
    String m_downReason;  // why the link last went down
    int m_attemptsSinceUp = 0;
    String m_studioName;
    QDateTime m_studioSince;
    String m_lastKeyword;
    QDateTime m_lastKeywordAt;
    bool m_studioUp = false;
    QDateTime m_aggrDownSince;
    QDateTime m_studioDownSince;
    OpenPhase m_phase = OpenPhase::None;
    String m_server;  // "HOST:PORT" of the Open under way
    Clock::time_point m_openStarted{};
    Clock::time_point m_openRetryAt{};
    String m_openProblem;  // why the last unattended attempt failed
    int m_openPauseMs = 0;
    std::unique_ptr<QTimer> m_openTimer;

    bool m_attemptRunning = false;  // a reconnect attempt is followed
    Clock::time_point m_attemptDeadline{};
    bool m_idPending = false;  // resend the id with the next message
    int m_pauseMs = 0;
    Clock::time_point m_nextAttempt{};
    std::unique_ptr<QTimer> m_retryTimer;
};

// The application's session manager, or null.
CSessionDocManager* GetSessionDocManager();
