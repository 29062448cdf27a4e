#include "app/MainFrm.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>
#include <vector>

#include "app/ChildFrm.h"
#include "app/Resource.h"
#include "framework/Afx.h"
#include "framework/WinApp.h"

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
    if (!m_wndToolBar.CreateEx(
            this, TBSTYLE_FLAT,
            WS_CHILD | WS_VISIBLE | CBRS_TOP | CBRS_GRIPPER | CBRS_TOOLTIPS | CBRS_FLYBY | CBRS_SIZE_DYNAMIC) ||
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
    RestorePlacement();
    return 0;
}

namespace {

// "Placement/<screen name> <width>x<height>": one place per screen.
String PlacementKey(const QScreen* screen) {
    QString key = QStringLiteral("%1 %2x%3")
                      .arg(screen->name(), QString::number(screen->geometry().width()),
                           QString::number(screen->geometry().height()));
    key.replace(QChar('/'), QChar('_')).replace(QChar('\\'), QChar('_'));
    return String(key.toUtf8().constData());
}

QScreen* ScreenOf(const QWidget* window) {
    QScreen* screen = window != nullptr ? window->screen() : nullptr;
    return screen != nullptr ? screen : QGuiApplication::primaryScreen();
}

}  // namespace

void CMainFrame::RestorePlacement() {
    CWinApp* app = AfxGetApp();
    QScreen* screen = ScreenOf(m_hWnd);
    if (app == nullptr || screen == nullptr || m_hWnd == nullptr) return;
    const QRect area = screen->availableGeometry();
    const QStringList parts =
        QString::fromUtf8(app->GetProfileString("Placement", PlacementKey(screen), "").GetString()).split(QChar(','));
    QRect place;
    if (parts.size() == 4) {
        bool ok[4] = {};
        place = QRect(parts[0].toInt(&ok[0]), parts[1].toInt(&ok[1]), parts[2].toInt(&ok[2]), parts[3].toInt(&ok[3]));
        if (!(ok[0] && ok[1] && ok[2] && ok[3]) || place.width() < 200 || place.height() < 150) place = QRect();
    }
    if (!place.isValid() && area.width() >= 1600 && area.height() >= 900) {
        const QSize size(area.width() * 9 / 10, area.height() * 9 / 10);
        place = QRect(area.topLeft() + QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2),
                      size);
    }
    if (!place.isValid()) return;
    // Inside the area, whatever was saved.
    place.setSize(place.size().boundedTo(area.size()));
    place.moveLeft(std::clamp(place.left(), area.left(), area.right() - place.width() + 1));
    place.moveTop(std::clamp(place.top(), area.top(), area.bottom() - place.height() + 1));
    m_hWnd->resize(place.size());
    m_hWnd->move(place.topLeft());
}

void CMainFrame::SavePlacement() {
    CWinApp* app = AfxGetApp();
    if (app == nullptr || m_hWnd == nullptr || m_wall || m_hWnd->isFullScreen() || m_hWnd->isMinimized()) return;
    QScreen* screen = ScreenOf(m_hWnd);
    if (screen == nullptr) return;
    const QRect place(m_hWnd->pos(), m_hWnd->size());
    const QString text =
        QStringLiteral("%1,%2,%3,%4").arg(place.x()).arg(place.y()).arg(place.width()).arg(place.height());
    app->WriteProfileString("Placement", PlacementKey(screen), text.toUtf8().constData());
}

void CMainFrame::OnClose() {
    SavePlacement();
    CMDIFrameWnd::OnClose();
}

void CMainFrame::PlaceStudioWindows() {
    QMdiArea* area = GetMDIClient();
    if (area == nullptr) return;
    const QSize size = area->viewport()->size();
    std::vector<std::pair<QMdiSubWindow*, QRect>> places;
    bool saved = !m_wall;
    for (CMDIChildWnd* child : GetChildFrames()) {
        auto* sub = qobject_cast<QMdiSubWindow*>(child->m_hWnd);
        if (sub == nullptr || sub->isHidden() || sub->isMinimized()) continue;
        auto* frame = dynamic_cast<CChildFrame*>(child);
        const QRect place = frame != nullptr ? CChildFrame::SavedPlace(frame->PlaceKey(), size) : QRect();
        if (!place.isValid()) {
            saved = false;
            break;
        }
        places.emplace_back(sub, place);
    }
    if (!saved || places.empty()) {
        MDITile(true);
        return;
    }
    for (const auto& [sub, place] : places) {
        if (sub->isMaximized()) sub->showNormal();
        sub->setGeometry(place);
    }
}

void CMainFrame::EnterWallMode(QScreen* screen) {
    if (m_hWnd == nullptr) return;
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    m_wall = true;
    ShowControlBar(&m_wndToolBar, false);
    if (screen != nullptr) {
        m_hWnd->setScreen(screen);
        m_hWnd->setGeometry(screen->geometry());
    }
    m_hWnd->showFullScreen();
    if (QMdiArea* area = GetMDIClient()) {
        // Tiled again whenever the area changes size (the full-screen switch
        // included): nothing is ever hidden behind another window.
        area->installEventFilter(&m_wallTiler);
        m_wallTiler.m_frame = this;
    }
}

bool CMainFrame::WallTiler::eventFilter(QObject* watched, QEvent* event) {
    // After the area has laid out its new size: the filter runs before it.
    if (event->type() == QEvent::Resize && m_frame != nullptr && m_frame->InWallMode()) {
        CMainFrame* frame = m_frame;
        QMetaObject::invokeMethod(
            watched, [frame] { frame->MDITile(true); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void CMainFrame::SetMessagePane(const char* text) { m_wndStatusBar.SetPaneText(kMessagePane, text, true); }

void CMainFrame::SetClockPane(const char* text) { m_wndStatusBar.SetPaneText(kClockPane, text, true); }

void CMainFrame::SetAggrLinkIcon(bool up) {
    m_wndStatusBar.SetPaneIcon(kAggrLinkPane, up ? IDI_LINK_UP : IDI_LINK_DOWN);
}

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
