#include "app/MainFrm.h"

#include "app/Resource.h"

namespace {

const UINT kIndicators[] = {
    ID_SEPARATOR,  // message pane
    ID_INDICATOR_CLOCK, ID_INDICATOR_AGGR_LINK, ID_INDICATOR_STUDIO_LINK,
    ID_INDICATOR_CAPS,  ID_INDICATOR_NUM,       ID_INDICATOR_SCRL,
};

}  // namespace

CMainFrame::CMainFrame() { MapCommandUI(ID_INDICATOR_CLOCK, &CMainFrame::OnUpdateClock); }

int CMainFrame::OnCreate(CREATESTRUCT* cs) {
    if (CMDIFrameWnd::OnCreate(cs) == -1) return -1;
    if (!m_wndToolBar.CreateEx(this, TBSTYLE_FLAT,
                               WS_CHILD | WS_VISIBLE | CBRS_TOP | CBRS_GRIPPER | CBRS_TOOLTIPS | CBRS_FLYBY |
                                   CBRS_SIZE_DYNAMIC) ||
        !m_wndToolBar.LoadToolBar(IDR_MAINFRAME))
        return -1;
    if (!m_wndStatusBar.Create(this) ||
        !m_wndStatusBar.SetIndicators(kIndicators, static_cast<int>(sizeof kIndicators / sizeof kIndicators[0])))
        return -1;
    m_wndToolBar.EnableDocking(CBRS_ALIGN_ANY);
    EnableDocking(CBRS_ALIGN_ANY);
    DockControlBar(&m_wndToolBar);
    SetAggrLinkIcon(false);
    SetStudioLinkIcon(false);
    return 0;
}

void CMainFrame::SetMessagePane(const char* text) { m_wndStatusBar.SetPaneText(kMessagePane, text, true); }

void CMainFrame::SetClockPane(const char* text) { m_wndStatusBar.SetPaneText(kClockPane, text, true); }

void CMainFrame::SetAggrLinkIcon(bool up) { m_wndStatusBar.SetPaneIcon(kAggrLinkPane, up ? IDI_LINK_UP : IDI_LINK_DOWN); }

void CMainFrame::SetStudioLinkIcon(bool up) {
    m_wndStatusBar.SetPaneIcon(kStudioLinkPane, up ? IDI_LINK_UP : IDI_LINK_DOWN);
}

void CMainFrame::SetStudioLinkUnknown() { m_wndStatusBar.SetPaneIcon(kStudioLinkPane, IDI_LINK_UNKNOWN); }

void CMainFrame::OnUpdateClock(CCmdUI* ui) { ui->Enable(); }
