// CMainFrame: the viewer's main window: the MDI area, one toolbar and the
// status bar with the message pane, the playlist clock, the two link panes
// and the key indicators.
//
// GUI thread only.
#pragma once

#include <QFrame>
#include <QPointer>

#include "app/CommandsPanel.h"
#include "framework/ControlBars.h"
#include "framework/FrameWnd.h"

class QScreen;

class CMainFrame : public CMDIFrameWnd {
public:
    // The status bar's panes, in order.
    enum Pane { kMessagePane = 0, kClockPane = 1, kAggrLinkPane = 2, kStudioLinkPane = 3 };

    CMainFrame();

    // The framework's creation, the toolbar, the status bar with its seven
    // indicators, docking, both link panes down. -1 on any failure.
    int OnCreate(CREATESTRUCT* cs) override;

    // Pane 0, repainted at once (a blocking step may follow).
    void SetMessagePane(const char* text);
    void SetClockPane(const char* text);
    // Link icons: IDI_LINK_UP when up, IDI_LINK_DOWN when down.
    void SetAggrLinkIcon(bool up);
    void SetStudioLinkIcon(bool up);
    // The studio's state cannot be known (no link to the server).
    void SetStudioLinkUnknown();
    // The link panes' detail: their tool tips, and the open detail popup.
    void SetLinkDetails(const String& aggr, const String& studio);
    // The detail of a link pane (kAggrLinkPane or kStudioLinkPane) in a
    // popup above it, with "Reconnect now"; a click on a pane opens it.
    void ShowLinkDetail(int pane);
    QFrame* LinkDetailPopup() const { return m_linkPopup; }

    // The place of the main window is kept per screen (its name and size)
    // in the user settings when the window closes, and taken back at the
    // next start on that screen, inside its available area. On a screen
    // seen for the first time the window takes the framework's size, or
    // nine tenths of a screen of at least 1600x900.
    void OnClose() override;
    void RestorePlacement();
    void SavePlacement();

    // After session start has opened a studio's windows: each goes back to
    // its saved place (scaled to this area) when every one of them has one,
    // else they are tiled; a wall display always tiles.
    void PlaceStudioWindows();

    // The wall display: full screen on screen (the primary screen when
    // null), without the toolbar; session start tiles the windows as usual
    // and they are tiled again whenever the area changes size.
    void EnterWallMode(QScreen* screen);
    bool InWallMode() const { return m_wall; }

    void OnUpdateClock(CCmdUI* ui);
    // View > Commands: shows or hides the Commands panel.
    void OnViewCommands();
    void OnUpdateViewCommands(CCmdUI* ui);

    CStatusBar m_wndStatusBar;
    CToolBar m_wndToolBar;
    CCommandsPanel m_commands;

private:
    void FillLinkPopup();

    QPointer<QFrame> m_linkPopup;  // owned by the main window; null when closed
    int m_popupPane = -1;
    bool m_wall = false;
    // Re-tiles the windows of a wall display when its area changes size.
    struct WallTiler : QObject {
        bool eventFilter(QObject* watched, QEvent* event) override;
        CMainFrame* m_frame = nullptr;
    };
    WallTiler m_wallTiler;
    String m_aggrDetail;
    String m_studioDetail;
};
