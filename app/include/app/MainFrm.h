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
    String m_aggrDetail;
    String m_studioDetail;
};
