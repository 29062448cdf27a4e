#include "app/MainFrm.h"

#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Resource.h"
#include "framework/Afx.h"

namespace {

const UINT kIndicators[] = {
    ID_SEPARATOR,  // message pane
    ID_INDICATOR_CLOCK, ID_INDICATOR_AGGR_LINK, ID_INDICATOR_STUDIO_LINK,
    ID_INDICATOR_CAPS,  ID_INDICATOR_NUM,       ID_INDICATOR_SCRL,
};

}  // namespace

CMainFrame::CMainFrame() {
    MapCommandUI(ID_INDICATOR_CLOCK, &CMainFrame::OnUpdateClock);
    MapCommand(ID_VIEW_COMMANDS, &CMainFrame::OnViewCommands);
    MapCommandUI(ID_VIEW_COMMANDS, &CMainFrame::OnUpdateViewCommands);
}

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
    m_wndStatusBar.SetPaneClickHandler(kAggrLinkPane, [this] { ShowLinkDetail(kAggrLinkPane); });
    m_wndStatusBar.SetPaneClickHandler(kStudioLinkPane, [this] { ShowLinkDetail(kStudioLinkPane); });
    if (auto* window = qobject_cast<QMainWindow*>(m_hWnd)) m_commands.Create(window);
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

void CMainFrame::OnViewCommands() { m_commands.SetVisible(!m_commands.IsVisible()); }

void CMainFrame::OnUpdateViewCommands(CCmdUI* ui) {
    ui->Enable();
    ui->SetCheck(m_commands.IsVisible() ? 1 : 0);
}

void CMainFrame::SetLinkDetails(const String& aggr, const String& studio) {
    if (m_aggrDetail == aggr && m_studioDetail == studio) return;
    m_aggrDetail = aggr;
    m_studioDetail = studio;
    m_wndStatusBar.SetPaneTip(kAggrLinkPane, aggr);
    m_wndStatusBar.SetPaneTip(kStudioLinkPane, studio);
    if (m_linkPopup) FillLinkPopup();
}

void CMainFrame::ShowLinkDetail(int pane) {
    QWidget* anchor = m_wndStatusBar.GetPaneWidget(pane);
    if (anchor == nullptr || m_hWnd == nullptr) return;
    if (m_linkPopup) m_linkPopup->close();
    m_popupPane = pane;
    auto* popup = new QFrame(m_hWnd, Qt::Popup);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    popup->setObjectName(QStringLiteral("linkDetail"));
    popup->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(popup);
    auto* text = new QLabel(popup);
    text->setObjectName(QStringLiteral("linkDetailText"));
    text->setTextFormat(Qt::PlainText);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(text);
    auto* reconnect = new QPushButton(QStringLiteral("Reconnect now"), popup);
    reconnect->setObjectName(QStringLiteral("reconnectNow"));
    QObject::connect(reconnect, &QPushButton::clicked, popup, [this] {
        AfxExecuteCommand(this, ID_FILE_RECONNECT_NOW);
        if (m_linkPopup) FillLinkPopup();
    });
    layout->addWidget(reconnect);
    m_linkPopup = popup;
    FillLinkPopup();
    popup->adjustSize();
    // Above the pane, inside the screen.
    QPoint at = anchor->mapToGlobal(QPoint(0, -popup->height()));
    at.setX(std::max(0, at.x() + anchor->width() - popup->width()));
    at.setY(std::max(0, at.y()));
    popup->move(at);
    popup->show();
}

void CMainFrame::FillLinkPopup() {
    if (!m_linkPopup) return;
    if (auto* text = m_linkPopup->findChild<QLabel*>(QStringLiteral("linkDetailText")))
        text->setText(QString::fromUtf8((m_popupPane == kStudioLinkPane ? m_studioDetail : m_aggrDetail).GetString()));
    if (auto* reconnect = m_linkPopup->findChild<QPushButton*>(QStringLiteral("reconnectNow")))
        reconnect->setEnabled(AfxIsCommandEnabled(this, ID_FILE_RECONNECT_NOW));
}
