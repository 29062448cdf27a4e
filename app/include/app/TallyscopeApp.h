// CTallyscopeApp: the viewer's application object. Starts the framework
// (one playlist document type, the main frame), routes New, Open and About,
// and keeps the playlist clock that the status bar shows.
//
// GUI thread only.
#pragma once

#include <chrono>
#include <memory>

#include <QJsonObject>

#include "app/CommandJournal.h"
#include "app/OperatorLog.h"
#include "external/String.h"
#include "framework/CTime.h"
#include "framework/WinApp.h"

class CMainFrame;
class CTallyscopeDoc;

// Where a trigger command comes from, for the journal and the confirmation.
struct CommandOrigin {
    String url;           // the playlist document's URL
    String title;         // the event's title
    String currentState;  // the event's trigger now, in words
};

class CTallyscopeApp : public CWinApp {
public:
    // Registers the resources; the QApplication must exist.
    CTallyscopeApp();
    // The session ends (its thread joined) before the application goes.
    ~CTallyscopeApp() override;

    // In order: the settings key and a 4-entry recent-file list, the playlist
    // template, the main frame (false when it cannot be loaded), shown; the
    // clock stopped. No connection is made and no document opened.
    bool InitInstance() override;
    // Advances the clock; once the session is up, the link icon, a reconnect
    // when the link is down and the server's notifications; then the
    // framework's own idle work.
    bool OnIdle(long count) override;
    // Ends the session before the loop's result is returned.
    int ExitInstance() override;

    // The operator's trigger commands, sent over the session (the values are
    // escaped). With no link, "Not connected" shows in the message pane and
    // nothing is sent. Each goes into the command journal (the Commands
    // panel, the operator's log); origin names the document and the event.
    // With the user setting Commands/Confirm on, the operator is asked
    // first, and a "No" sends and records nothing.
    void SendNoQuorTrigger(const String& playlist, const String& eventId, const CommandOrigin* origin = nullptr);
    void SendEnableQuorTrigger(const String& playlist, const String& eventId, const CommandOrigin* origin = nullptr);
    void SendChangeQuorServer(const String& playlist, const String& eventId, const String& quorServer,
                              const CommandOrigin* origin = nullptr);
    // Whether commands are confirmed before they go (Commands/Confirm).
    bool ConfirmCommands() const;

    CCommandJournal& GetCommandJournal() { return m_journal; }
    // The operator's log, opened at first use.
    COperatorLog& GetOperatorLog();
    void LogOperatorEvent(const QJsonObject& entry);
    // Every document reports the end of its fetch (begun at started) here
    // and nowhere else: a failure goes to the message pane and the log; a
    // success clears the document's previous failure (previousError) from
    // the pane, and commands waiting for their effect look at the new rows.
    void PlaylistFetchEnded(CTallyscopeDoc* doc, bool ok, std::chrono::steady_clock::time_point started,
                            const String& previousError);

    // The playlist windows' zoom in percent (50 to 400, the user setting
    // View/Zoom): every list follows a change at once, new ones start at it.
    static constexpr int kZoomSteps[] = {50, 67, 80, 90, 100, 110, 125, 150, 175, 200, 250, 300, 400};
    int Zoom() const { return m_zoom; }
    void SetZoom(int percent);
    void OnZoomIn();
    void OnZoomOut();
    void OnZoomReset() { SetZoom(100); }
    void OnUpdateZoomIn(CCmdUI* ui);
    void OnUpdateZoomOut(CCmdUI* ui);

    // File > Reconnect Now (Ctrl+R).
    void OnReconnectNow();
    void OnUpdateReconnectNow(CCmdUI* ui);

    // The playlist's clock reference (from the view that filled last): the
    // clock runs on from t with the wall clock.
    void SetClock(const CTime& t);
    // One step of the clock (done by every idle pass while it runs): adds the
    // wall-clock time since the last step and shows the result,
    // "MM/DD/YYYY hh:mm:ss".
    void AdvanceClock();
    // Starts the fetch of every open playlist at once (the server's
    // "Update"); each rebuilds its views when its own fetch ends, whatever
    // the order. Returns how many started (documents without a URL are
    // skipped).
    int RefreshAllDocuments();

    // File > Cancel Open (Esc): stops an Open that waits.
    void OnCancelOpen();
    void OnUpdateCancelOpen(CCmdUI* ui);
    // Esc: cancels an Open that waits; otherwise the active window forgets
    // the operator's choice.
    void OnEscape();
    void OnUpdateEscape(CCmdUI* ui);

    CMainFrame* GetMainFrame() const;
    void OnAppAbout();

    CTime m_clockTime;       // the time shown, whole seconds
    CTime m_clockBase;       // the wall-clock time of the last step
    int m_clockRunning = 0;  // 1 from the first SetClock

protected:
    // CSessionDocManager, which owns the session.
    CDocManager* CreateDocManager() override;

private:
    // A document's fetch failed: "Fetch failed: <error>" in the message pane.
    void ShowFetchFailure(const String& error);
    // The document whose fetch failed with error fetched well again: its
    // failure leaves the message pane (another document's failure that still
    // holds takes its place).
    void ClearFetchFailure(const String& error);
    void GiveCommand(CommandKind kind, const String& playlist, const String& eventId, const String& server,
                     const CommandOrigin* origin);
    // A command's state changed: panel, message pane, log.
    void CommandChanged(const CommandRecord& record);
    // The outcomes of posted sends, and commands whose time ran out.
    void FollowCommands();

    CCommandJournal m_journal;
    std::unique_ptr<COperatorLog> m_operatorLog;
    int m_zoom = 100;
};

// The application object, or null.
CTallyscopeApp* GetTallyscopeApp();

// The "MM/DD/YYYY hh:mm:ss" text of a time, month first, in local time.
String FormatClockText(const CTime& t);
