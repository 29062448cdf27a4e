// CTallyscopeApp: the viewer's application object. Starts the framework
// (one playlist document type, the main frame), routes New, Open and About,
// and keeps the playlist clock that the status bar shows.
//
// GUI thread only.
#pragma once

#include "framework/CTime.h"
#include "framework/WinApp.h"

class CMainFrame;

class CTallyscopeApp : public CWinApp {
public:
    // Registers the resources; the QApplication must exist.
    CTallyscopeApp();

    // In order: the settings key and a 4-entry recent-file list, the playlist
    // template, the main frame (false when it cannot be loaded), shown; the
    // clock stopped. No connection is made and no document opened.
    bool InitInstance() override;
    // Advances the clock, then the framework's own idle work.
    bool OnIdle(long count) override;

    // The playlist's clock reference (from the view that filled last): the
    // clock runs on from t with the wall clock.
    void SetClock(const CTime& t);
    // One step of the clock (done by every idle pass while it runs): adds the
    // wall-clock time since the last step and shows the result,
    // "MM/DD/YYYY hh:mm:ss".
    void AdvanceClock();
    /// Fetches every open playlist again and rebuilds its views; a failing
    /// document is reported in the message pane and the others go on.
    void RefreshAllDocuments();

    CMainFrame* GetMainFrame() const;
    void OnAppAbout();

    CTime m_clockTime;     // the time shown, whole seconds
    CTime m_clockBase;     // the wall-clock time of the last step
    int m_clockRunning = 0;  // 1 from the first SetClock

protected:
    // The application's document manager. The session brings its own
    // (CSessionDocManager, which owns the session and overrides
    // OpenDocumentFile and OnFileOpen); until then the framework's.
    CDocManager* CreateDocManager() override;
};

// The application object, or null.
CTallyscopeApp* GetTallyscopeApp();

// The "MM/DD/YYYY hh:mm:ss" text of a time, month first, in local time.
String FormatClockText(const CTime& t);
