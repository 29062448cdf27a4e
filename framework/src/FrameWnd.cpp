#include "framework/FrameWnd.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QLayout>
#include <QMainWindow>
#include <QMdiArea>
#include <QStyle>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QStatusTipEvent>
#include <QToolBar>
#include <algorithm>

#include "ActionCmdUI.h"
#include "Hosts.h"
#include "framework/ControlBars.h"
#include "framework/Document.h"
#include "framework/Resources.h"
#include "framework/Settings.h"
#include "framework/View.h"
#include "framework/WinApp.h"

namespace {

const char* const kCommandProperty = "afxCommandId";

// The main window: status tips become the fly-by prompt in pane 0 instead of
// a QStatusBar message (which would hide the panes).
class MainHost : public WndHost<QMainWindow> {
public:
    using WndHost<QMainWindow>::WndHost;

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::StatusTip) {
            if (auto* frame = dynamic_cast<CMDIFrameWnd*>(CWnd::FromHandle(this))) {
                const String tip(static_cast<QStatusTipEvent*>(e)->tip().toUtf8().constData());
                AfxGuard("status tip", [&] { frame->HandleStatusTip(tip); });
            }
            return true;
        }
        return WndHost<QMainWindow>::event(e);
    }
};

using ChildHost = WndHost<QMdiSubWindow>;

// The text of a recent-file entry: "&1 name".
QString MruText(int index, const String& name) {
    return QStringLiteral("&%1 %2").arg(index + 1).arg(QString::fromUtf8(name.GetString()));
}

bool HasWindowCommands(const CMenuItemResource& popup) {
    for (const auto& item : popup.items)
        if (item.id >= ID_WINDOW_NEW && item.id <= ID_WINDOW_TILE_VERT) return true;
    return false;
}

}  // namespace

// ---- CFrameWnd -------------------------------------------------------------

CFrameWnd::CFrameWnd() = default;

CFrameWnd::~CFrameWnd() {
    for (CControlBar* bar : m_bars) bar->m_pFrame = nullptr;
    for (CView* view : m_views) view->m_pFrame = nullptr;
}

bool CFrameWnd::PreCreateWindow(CREATESTRUCT&) { return true; }

int CFrameWnd::OnCreate(CREATESTRUCT* cs) {
    if (!OnCreateClient(cs, pendingContext_)) return -1;
    return 0;
}

bool CFrameWnd::OnCreateClient(CREATESTRUCT*, CCreateContext* context) {
    if (context != nullptr && context->m_pNewViewClass != nullptr) return CreateView(context) != nullptr;
    return true;
}

CView* CFrameWnd::CreateView(CCreateContext* context, UINT id) {
    if (context == nullptr || context->m_pNewViewClass == nullptr) return nullptr;
    CObject* object = context->m_pNewViewClass->CreateObject();
    auto* view = dynamic_cast<CView*>(object);
    if (view == nullptr) {
        delete object;
        return nullptr;
    }
    if (!view->CreateView(this, id, context)) {
        delete view;
        return nullptr;
    }
    m_views.push_back(view);
    if (auto* sub = qobject_cast<QMdiSubWindow*>(m_hWnd)) sub->setWidget(view->m_hWnd);
    return view;
}

void CFrameWnd::ViewGone(CView* view) {
    m_views.erase(std::remove(m_views.begin(), m_views.end(), view), m_views.end());
    if (m_pViewActive == view) m_pViewActive = m_views.empty() ? nullptr : m_views.front();
}

void CFrameWnd::SetActiveView(CView* view, bool notify) {
    if (view == m_pViewActive) return;
    CView* old = m_pViewActive;
    m_pViewActive = view;
    if (notify) {
        if (old != nullptr) old->OnActivateView(false, view, old);
        if (view != nullptr) view->OnActivateView(true, view, old);
    }
}

CDocument* CFrameWnd::GetActiveDocument() { return m_pViewActive != nullptr ? m_pViewActive->GetDocument() : nullptr; }

void CFrameWnd::InitialUpdateFrame(CDocument* doc, bool makeVisible) {
    if (m_pViewActive == nullptr && !m_views.empty()) SetActiveView(m_views.front(), false);
    if (makeVisible) {
        // Shown and laid out first, so that each view has its size when its
        // initial update builds its contents.
        ActivateFrame(-1);
        for (CView* view : std::vector<CView*>(m_views)) {
            if (std::find(m_views.begin(), m_views.end(), view) != m_views.end()) view->OnInitialUpdate();
        }
    }
    if (doc != nullptr) doc->UpdateFrameCounts();
    OnUpdateFrameTitle(true);
}

void CFrameWnd::ActivateFrame(int cmdShow) {
    if (m_hWnd == nullptr) return;
    if (cmdShow == -1) m_hWnd->show();
    else ShowWindow(cmdShow);
    m_hWnd->raise();
    m_hWnd->activateWindow();
}

void CFrameWnd::OnUpdateFrameTitle(bool) {
    if (m_hWnd == nullptr) return;
    const QString title = QString::fromUtf8(m_strTitle.GetString());
    if (m_hWnd->windowTitle() != title) m_hWnd->setWindowTitle(title);
}

void CFrameWnd::SetMessageText(const char* text) {
    auto* bar = dynamic_cast<CStatusBar*>(GetControlBar(AFX_IDW_STATUS_BAR));
    if (bar == nullptr) {
        // A child frame's messages go to the main frame's bar.
        auto* mainFrame = dynamic_cast<CFrameWnd*>(AfxGetMainWnd());
        if (mainFrame != nullptr && mainFrame != this) mainFrame->SetMessageText(text);
        return;
    }
    bar->SetPaneText(0, text);
}

void CFrameWnd::SetMessageText(UINT stringId) { SetMessageText(AfxLoadString(stringId)); }

void CFrameWnd::AddControlBar(CControlBar* bar) {
    if (bar != nullptr && std::find(m_bars.begin(), m_bars.end(), bar) == m_bars.end()) m_bars.push_back(bar);
}

void CFrameWnd::RemoveControlBar(CControlBar* bar) {
    m_bars.erase(std::remove(m_bars.begin(), m_bars.end(), bar), m_bars.end());
}

CControlBar* CFrameWnd::GetControlBar(UINT id) const {
    for (CControlBar* bar : m_bars)
        if (bar->m_hWnd != nullptr && static_cast<UINT>(bar->GetDlgCtrlID()) == id) return bar;
    return nullptr;
}

void CFrameWnd::EnableDocking(DWORD dockStyle) { dockStyle_ = dockStyle & CBRS_ALIGN_ANY; }

void CFrameWnd::DockControlBar(CControlBar* bar, UINT) {
    auto* mainWindow = qobject_cast<QMainWindow*>(m_hWnd);
    auto* toolbar = bar != nullptr ? qobject_cast<QToolBar*>(bar->m_hWnd) : nullptr;
    if (mainWindow == nullptr || toolbar == nullptr) return;
    Qt::ToolBarAreas areas;
    const DWORD allowed = dockStyle_ & bar->m_dwDockStyle;
    if (allowed & CBRS_ALIGN_TOP) areas |= Qt::TopToolBarArea;
    if (allowed & CBRS_ALIGN_BOTTOM) areas |= Qt::BottomToolBarArea;
    if (allowed & CBRS_ALIGN_LEFT) areas |= Qt::LeftToolBarArea;
    if (allowed & CBRS_ALIGN_RIGHT) areas |= Qt::RightToolBarArea;
    toolbar->setAllowedAreas(areas);
    toolbar->setFloatable(allowed != 0);
    Qt::ToolBarArea area = Qt::TopToolBarArea;
    if (bar->GetBarStyle() & CBRS_ALIGN_BOTTOM) area = Qt::BottomToolBarArea;
    else if (bar->GetBarStyle() & CBRS_ALIGN_LEFT) area = Qt::LeftToolBarArea;
    else if (bar->GetBarStyle() & CBRS_ALIGN_RIGHT) area = Qt::RightToolBarArea;
    if (mainWindow->toolBarArea(toolbar) != area) mainWindow->addToolBar(area, toolbar);
}

void CFrameWnd::ShowControlBar(CControlBar* bar, bool show, bool) {
    if (bar != nullptr && bar->m_hWnd != nullptr && bar->m_hWnd->isHidden() == show) bar->m_hWnd->setVisible(show);
}

void CFrameWnd::UpdateCommandUI() {
    for (CControlBar* bar : std::vector<CControlBar*>(m_bars)) {
        if (bar->m_hWnd != nullptr && !bar->m_hWnd->isHidden()) bar->OnUpdateCmdUI(this, true);
    }
    OnUpdateFrameTitle(true);
}

bool CFrameWnd::DestroyWindow() {
    if (m_hWnd == nullptr) return false;
    for (CView* view : std::vector<CView*>(m_views)) {
        if (std::find(m_views.begin(), m_views.end(), view) != m_views.end()) view->DestroyWindow();
    }
    CWinApp* app = AfxGetApp();
    const bool isMain = app != nullptr && app->m_pMainWnd == this;
    if (isMain) app->m_pMainWnd = nullptr;
    TearDown(false);
    // The application ends with its main window.
    if (isMain) QCoreApplication::quit();
    return true;
}

void CFrameWnd::OnClose() {
    CDocument* doc = GetActiveDocument();
    if (doc != nullptr && !doc->CanCloseFrame(this)) return;
    if (doc != nullptr && doc->m_bAutoDelete) {
        bool otherFrame = false;
        for (CView* view : doc->GetViews())
            if (view->GetParentFrame() != this) otherFrame = true;
        if (!otherFrame) {
            doc->OnCloseDocument();
            return;
        }
    }
    DestroyWindow();
}

void CFrameWnd::PostNcDestroy() { delete this; }

void CFrameWnd::OnUpdateKeyIndicator(CCmdUI* ui) {
    KeyLock lock = KeyLock::Caps;
    if (ui->m_nID == ID_INDICATOR_NUM) lock = KeyLock::Num;
    else if (ui->m_nID == ID_INDICATOR_SCRL) lock = KeyLock::Scroll;
    ui->Enable(AfxIsKeyLockOn(lock));
}

void CFrameWnd::OnUpdateControlBarMenu(CCmdUI* ui) {
    CControlBar* bar = GetControlBar(ui->m_nID);
    ui->Enable(bar != nullptr);
    ui->SetCheck(bar != nullptr && !bar->m_hWnd->isHidden() ? 1 : 0);
}

void CFrameWnd::OnBarCheck(UINT id) {
    if (CControlBar* bar = GetControlBar(id)) ShowControlBar(bar, bar->m_hWnd->isHidden());
}

// ---- CMDIFrameWnd ----------------------------------------------------------

CMDIFrameWnd::CMDIFrameWnd() {
    MapCommand(ID_WINDOW_NEW, &CMDIFrameWnd::OnWindowNew);
    MapCommand(ID_WINDOW_CASCADE, [this] { MDICascade(); });
    MapCommand(ID_WINDOW_TILE_HORZ, [this] { MDITile(true); });
    MapCommand(ID_WINDOW_TILE_VERT, [this] { MDITile(false); });
    MapCommand(ID_WINDOW_ARRANGE, [this] { MDIIconArrange(); });
    MapCommandUIRange(ID_WINDOW_NEW, ID_WINDOW_TILE_VERT, [this](CCmdUI* ui) { OnUpdateMDIWindowCmd(ui); });
    MapCommandRange(ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, [this](UINT id) { OnBarCheck(id); });
    MapCommandUIRange(ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, [this](CCmdUI* ui) { OnUpdateControlBarMenu(ui); });
    MapCommandUIRange(ID_INDICATOR_CAPS, ID_INDICATOR_SCRL, [this](CCmdUI* ui) { OnUpdateKeyIndicator(ui); });
}

CMDIFrameWnd::~CMDIFrameWnd() = default;

QMainWindow* CMDIFrameWnd::GetMainWindow() const { return qobject_cast<QMainWindow*>(m_hWnd); }

bool CMDIFrameWnd::LoadFrame(UINT resourceId, DWORD style, CWnd*, CCreateContext* context) {
    if (m_hWnd != nullptr) return false;
    m_nIDResource = resourceId;
    m_dwStyle = style;
    CREATESTRUCT cs;
    cs.style = style;
    if (!PreCreateWindow(cs)) {
        PostNcDestroy();
        return false;
    }
    auto* w = new MainHost();
    AttachWidget(w);
    m_mdiArea = new QMdiArea(w);
    m_mdiArea->setObjectName(QStringLiteral("mdiClient"));
    w->setCentralWidget(m_mdiArea);
    QObject::connect(m_mdiArea, &QMdiArea::subWindowActivated, w,
                     [this] { AfxGuard("MDI activation", [this] { HandleSubWindowActivated(); }); });
    m_strTitle = AfxExtractSubString(AfxLoadString(resourceId), 0);
    w->setWindowTitle(QString::fromUtf8(m_strTitle.GetString()));
    if (AfxHasResourceIcon(resourceId)) w->setWindowIcon(AfxLoadIcon(resourceId));
    // A default size that leaves room for the status bar's panes.
    QSize size(1000, 700);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size());
    w->resize(size);
    ShowMenu(resourceId);
    InstallAccelerators(resourceId);
    pendingContext_ = context;
    const int rc = OnCreate(&cs);
    pendingContext_ = nullptr;
    if (rc == -1) {
        TearDown(true);
        return false;
    }
    return true;
}

void CMDIFrameWnd::InstallAccelerators(UINT resourceId) {
    const auto* table = AfxFindResourceAccelerators(resourceId);
    if (table == nullptr || m_hWnd == nullptr) return;
    for (const CAccelResource& accel : *table) {
        auto* action = new QAction(m_hWnd);
        action->setShortcut(QKeySequence(QString::fromUtf8(accel.key.GetString()), QKeySequence::PortableText));
        action->setShortcutContext(Qt::WindowShortcut);
        action->setProperty(kCommandProperty, accel.id);
        const UINT id = accel.id;
        QObject::connect(action, &QAction::triggered, action, [this, id] { AfxExecuteCommand(this, id); });
        m_hWnd->addAction(action);
    }
}

void CMDIFrameWnd::ShowMenu(UINT menuId) {
    auto* mainWindow = GetMainWindow();
    if (mainWindow == nullptr || menuId == m_menuId) return;
    const CMenuResource* menu = AfxFindResourceMenu(menuId);
    if (menu == nullptr) return;
    m_menuId = menuId;
    QMenuBar* bar = mainWindow->menuBar();
    // The old menus may be the ones whose command brought us here.
    for (QAction* action : bar->actions()) {
        bar->removeAction(action);
        if (QMenu* old = action->menu()) old->deleteLater();
    }
    for (const CMenuItemResource& popup : menu->popups) {
        auto* qmenu = new QMenu(QString::fromUtf8(popup.text.GetString()), bar);
        bar->addMenu(qmenu);
        const CMenuItemResource copy = popup;
        // Filled each time it opens: recent files and windows change.
        QObject::connect(qmenu, &QMenu::aboutToShow, qmenu, [this, qmenu, copy] {
            AfxGuard("menu", [&] {
                FillMenu(qmenu, copy);
                UpdateMenuCommandUI(qmenu);
            });
        });
        FillMenu(qmenu, copy);
    }
}

void CMDIFrameWnd::FillMenu(QMenu* menu, const CMenuItemResource& popup) {
    for (QAction* action : menu->actions()) {
        menu->removeAction(action);
        if (QMenu* sub = action->menu()) sub->deleteLater();
        if (action->parent() == menu) action->deleteLater();
    }
    CWinApp* app = AfxGetApp();
    for (const CMenuItemResource& item : popup.items) {
        if (item.IsSeparator()) {
            menu->addSeparator();
            continue;
        }
        if (!item.items.empty()) {
            auto* sub = new QMenu(QString::fromUtf8(item.text.GetString()), menu);
            FillMenu(sub, item);
            menu->addMenu(sub);
            continue;
        }
        auto addCommand = [&](const QString& text, UINT id) {
            QAction* action = menu->addAction(text);
            action->setProperty(kCommandProperty, id);
            const String prompt = AfxExtractSubString(AfxLoadString(id), 0);
            if (!prompt.IsEmpty()) action->setStatusTip(QString::fromUtf8(prompt.GetString()));
            QObject::connect(action, &QAction::triggered, action, [this, id] { AfxExecuteCommand(this, id); });
            return action;
        };
        if (item.id == ID_FILE_MRU_FILE1) {
            CRecentFileList* list = app != nullptr ? app->GetRecentFileList() : nullptr;
            if (list == nullptr) continue;
            if (list->GetCount() == 0) {
                addCommand(QString::fromUtf8(item.text.GetString()), item.id)->setEnabled(false);
                continue;
            }
            for (int i = 0; i < list->GetCount(); ++i) addCommand(MruText(i, (*list)[i]), ID_FILE_MRU_FILE1 + i);
            continue;
        }
        addCommand(QString::fromUtf8(item.text.GetString()), item.id);
    }
    // The Window menu lists the open windows, the current one checked.
    if (HasWindowCommands(popup) && m_mdiArea != nullptr) {
        const auto children = GetChildFrames();
        if (!children.empty()) menu->addSeparator();
        CMDIChildWnd* active = MDIGetActive();
        int n = 1;
        for (CMDIChildWnd* child : children) {
            QAction* action = menu->addAction(QStringLiteral("&%1 %2").arg(n++).arg(
                child->m_hWnd != nullptr ? child->m_hWnd->windowTitle() : QString()));
            action->setCheckable(true);
            action->setChecked(child == active);
            QPointer<QWidget> target(child->m_hWnd);
            QObject::connect(action, &QAction::triggered, action, [this, target] {
                if (auto* c = dynamic_cast<CMDIChildWnd*>(CWnd::FromHandle(target.data()))) MDIActivate(c);
            });
        }
    }
}

void CMDIFrameWnd::UpdateMenuCommandUI(QMenu* menu) {
    if (menu == nullptr) return;
    int index = 0;
    for (QAction* action : menu->actions()) {
        const QVariant id = action->property(kCommandProperty);
        if (id.isValid() && !action->menu()) {
            ActionCmdUI ui(action, true);
            ui.m_nID = id.toUInt();
            ui.m_nIndex = index;
            // The placeholder of an empty recent-file list stays disabled.
            if (!(ui.m_nID == ID_FILE_MRU_FILE1 && !action->isEnabled() && !action->text().startsWith(u'&')))
                ui.DoUpdate(this, true);
        }
        ++index;
    }
}

CMDIChildWnd* CMDIFrameWnd::MDIGetActive() const {
    if (m_mdiArea == nullptr) return nullptr;
    // currentSubWindow, not activeSubWindow: the latter is null whenever the
    // main window is not the active window (a dialog is open, offscreen runs).
    if (auto* child = dynamic_cast<CMDIChildWnd*>(CWnd::FromHandle(m_mdiArea->currentSubWindow()))) return child;
    const auto children = GetChildFrames();
    if (std::find(children.begin(), children.end(), lastActive_) != children.end()) return lastActive_;
    return nullptr;
}

std::vector<CMDIChildWnd*> CMDIFrameWnd::GetChildFrames() const {
    std::vector<CMDIChildWnd*> children;
    if (m_mdiArea == nullptr) return children;
    for (QMdiSubWindow* sub : m_mdiArea->subWindowList(QMdiArea::CreationOrder))
        if (auto* child = dynamic_cast<CMDIChildWnd*>(CWnd::FromHandle(sub))) children.push_back(child);
    return children;
}

void CMDIFrameWnd::MDIActivate(CMDIChildWnd* child) {
    if (child == nullptr || m_mdiArea == nullptr) return;
    auto* sub = qobject_cast<QMdiSubWindow*>(child->m_hWnd);
    if (sub == nullptr) return;
    lastActive_ = child;
    if (m_mdiArea->currentSubWindow() != sub) m_mdiArea->setActiveSubWindow(sub);
    HandleSubWindowActivated();
}

namespace {

// The windows an arrangement places: shown and not minimised, oldest first.
// A maximised one is restored first, so that it can be placed.
std::vector<QMdiSubWindow*> ArrangedWindows(QMdiArea* area) {
    std::vector<QMdiSubWindow*> windows;
    for (QMdiSubWindow* sub : area->subWindowList(QMdiArea::CreationOrder)) {
        if (sub->isHidden() || sub->isMinimized()) continue;
        if (sub->isMaximized()) sub->showNormal();
        windows.push_back(sub);
    }
    return windows;
}

}  // namespace

void CMDIFrameWnd::MDICascade() {
    if (m_mdiArea == nullptr) return;
    const std::vector<QMdiSubWindow*> windows = ArrangedWindows(m_mdiArea);
    if (windows.empty()) return;
    const QRect area = m_mdiArea->viewport()->rect();
    // Each window one title bar below and right of the one before, all the
    // same usable size (at least two thirds of the area) and wholly inside;
    // when the steps run out, the next window starts at the top again.
    const int step = m_mdiArea->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, windows.front()) + 4;
    const int minWidth = area.width() * 2 / 3;
    const int minHeight = area.height() * 2 / 3;
    const int fit = std::max(1, std::min((area.width() - minWidth) / step, (area.height() - minHeight) / step) + 1);
    const int places = std::min(static_cast<int>(windows.size()), fit);
    const int width = area.width() - (places - 1) * step;
    const int height = area.height() - (places - 1) * step;
    for (size_t i = 0; i < windows.size(); ++i) {
        const int at = static_cast<int>(i) % places;
        windows[i]->setGeometry(area.left() + at * step, area.top() + at * step, width, height);
        windows[i]->raise();
    }
}

void CMDIFrameWnd::MDITile(bool stacked) {
    if (m_mdiArea == nullptr) return;
    const std::vector<QMdiSubWindow*> windows = ArrangedWindows(m_mdiArea);
    const int n = static_cast<int>(windows.size());
    if (n == 0) return;
    const QRect area = m_mdiArea->viewport()->rect();
    // Stacked: full-width strips while each keeps a usable height, then a
    // grid with more rows than columns; side by side: the other way round.
    constexpr int kMinStrip = 180;
    int rows = 0;
    int cols = 0;
    if (stacked) {
        rows = std::min(n, std::max(1, area.height() / kMinStrip));
        cols = (n + rows - 1) / rows;
        rows = (n + cols - 1) / cols;
    } else {
        cols = std::min(n, std::max(1, area.width() / kMinStrip));
        rows = (n + cols - 1) / cols;
        cols = (n + rows - 1) / rows;
    }
    for (int i = 0; i < n; ++i) {
        const int row = stacked ? i % rows : i / cols;
        const int col = stacked ? i / rows : i % cols;
        // The last column (or row) may hold fewer windows: they share it.
        const int inLine = stacked ? std::min(rows, n - col * rows) : std::min(cols, n - row * cols);
        const int lines = stacked ? cols : rows;
        int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
        if (stacked) {
            x0 = area.width() * col / lines;
            x1 = area.width() * (col + 1) / lines;
            y0 = area.height() * row / inLine;
            y1 = area.height() * (row + 1) / inLine;
        } else {
            x0 = area.width() * col / inLine;
            x1 = area.width() * (col + 1) / inLine;
            y0 = area.height() * row / lines;
            y1 = area.height() * (row + 1) / lines;
        }
        windows[static_cast<size_t>(i)]->setGeometry(area.left() + x0, area.top() + y0, x1 - x0, y1 - y0);
    }
}

void CMDIFrameWnd::MDIIconArrange() {
    if (m_mdiArea == nullptr) return;
    // Minimised windows in a row along the bottom edge, left to right.
    const QRect area = m_mdiArea->viewport()->rect();
    int x = 0;
    int y = area.bottom();
    for (QMdiSubWindow* sub : m_mdiArea->subWindowList(QMdiArea::CreationOrder)) {
        if (!sub->isMinimized() || !sub->isVisible()) continue;
        const QSize s = sub->size();
        if (x > 0 && x + s.width() > area.width()) {
            x = 0;
            y -= s.height();
        }
        sub->move(x, y - s.height() + 1);
        x += s.width();
    }
}

CDocument* CMDIFrameWnd::GetActiveDocument() {
    CMDIChildWnd* child = MDIGetActive();
    return child != nullptr ? child->GetActiveDocument() : nullptr;
}

void CMDIFrameWnd::OnUpdateFrameTitle(bool addToTitle) {
    if (m_hWnd == nullptr) return;
    QString title = QString::fromUtf8(m_strTitle.GetString());
    CMDIChildWnd* child = MDIGetActive();
    if (addToTitle && (m_dwStyle & FWS_ADDTOTITLE) && child != nullptr && child->m_hWnd != nullptr) {
        const QString childTitle = child->m_hWnd->windowTitle();
        if (!childTitle.isEmpty()) {
            const bool maximized = child->m_hWnd->isMaximized();
            title += QStringLiteral(" - ") + (maximized ? u'[' + childTitle + u']' : childTitle);
        }
    }
    if (m_hWnd->windowTitle() != title) m_hWnd->setWindowTitle(title);
}

void CMDIFrameWnd::UpdateCommandUI() {
    HandleSubWindowActivated();
    CFrameWnd::UpdateCommandUI();
}

bool CMDIFrameWnd::OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) {
    if (CMDIChildWnd* child = MDIGetActive())
        if (child->OnCmdMsg(id, kind, ui)) return true;
    if (DispatchOwn(id, kind, ui)) return true;
    CWinApp* app = AfxGetApp();
    return app != nullptr && app->OnCmdMsg(id, kind, ui);
}

void CMDIFrameWnd::OnClose() {
    CWinApp* app = AfxGetApp();
    if (app != nullptr) {
        if (!app->SaveAllModified()) return;
        app->CloseAllDocuments(false);
    }
    DestroyWindow();
}

bool CMDIFrameWnd::DestroyWindow() {
    if (m_hWnd == nullptr) return false;
    for (CMDIChildWnd* child : GetChildFrames()) child->DestroyWindow();
    lastActive_ = nullptr;
    return CFrameWnd::DestroyWindow();
}

void CMDIFrameWnd::OnWindowNew() {
    CMDIChildWnd* child = MDIGetActive();
    CDocument* doc = child != nullptr ? child->GetActiveDocument() : nullptr;
    CDocTemplate* docTemplate = doc != nullptr ? doc->GetDocTemplate() : nullptr;
    if (docTemplate == nullptr) return;
    CFrameWnd* frame = docTemplate->CreateNewFrame(doc, child);
    if (frame == nullptr) return;
    docTemplate->InitialUpdateFrame(frame, doc, true);
}

void CMDIFrameWnd::OnUpdateMDIWindowCmd(CCmdUI* ui) { ui->Enable(MDIGetActive() != nullptr); }

void CMDIFrameWnd::HandleSubWindowActivated() {
    CMDIChildWnd* child = MDIGetActive();
    if (child != nullptr) lastActive_ = child;
    UINT menuId = m_nIDResource;
    if (child != nullptr && child->GetDocTemplate() != nullptr &&
        AfxFindResourceMenu(child->GetDocTemplate()->GetResourceId()) != nullptr)
        menuId = child->GetDocTemplate()->GetResourceId();
    ShowMenu(menuId);
    OnUpdateFrameTitle(true);
}

void CMDIFrameWnd::HandleStatusTip(const String& tip) {
    if (tip.IsEmpty()) SetMessageText(AFX_IDS_IDLEMESSAGE);
    else SetMessageText(tip);
}

// ---- CMDIChildWnd ----------------------------------------------------------

CMDIChildWnd::CMDIChildWnd() = default;

CMDIChildWnd::~CMDIChildWnd() = default;

bool CMDIChildWnd::LoadFrame(UINT resourceId, DWORD style, CWnd* parent, CCreateContext* context) {
    auto* mainFrame = dynamic_cast<CMDIFrameWnd*>(parent != nullptr ? parent : AfxGetMainWnd());
    if (m_hWnd != nullptr || mainFrame == nullptr || mainFrame->GetMDIClient() == nullptr) {
        PostNcDestroy();
        return false;
    }
    m_pMDIFrame = mainFrame;
    m_nIDResource = resourceId;
    m_dwStyle = style;
    m_pTemplate = context != nullptr ? context->m_pNewDocTemplate : nullptr;
    CREATESTRUCT cs;
    cs.style = style;
    if (!PreCreateWindow(cs)) {
        PostNcDestroy();
        return false;
    }
    auto* sub = new ChildHost();
    sub->setAttribute(Qt::WA_DeleteOnClose, false);
    AttachWidget(sub);
    QMdiArea* area = mainFrame->GetMDIClient();
    area->addSubWindow(sub);
    sub->hide();
    if (AfxHasResourceIcon(resourceId)) sub->setWindowIcon(AfxLoadIcon(resourceId));
    // The size a new window gets in the frame: three quarters of the area.
    const QSize client = area->viewport()->size();
    sub->resize(std::max(320, client.width() * 3 / 4), std::max(200, client.height() * 3 / 4));
    pendingContext_ = context;
    const int rc = OnCreate(&cs);
    pendingContext_ = nullptr;
    if (rc == -1) {
        area->removeSubWindow(sub);
        TearDown(true);
        return false;
    }
    return true;
}

void CMDIChildWnd::MDIActivate() {
    if (m_pMDIFrame != nullptr) m_pMDIFrame->MDIActivate(this);
}

void CMDIChildWnd::ActivateFrame(int cmdShow) {
    auto* sub = qobject_cast<QMdiSubWindow*>(m_hWnd);
    if (sub == nullptr) return;
    if (cmdShow == SW_SHOWMAXIMIZED) sub->showMaximized();
    else if (cmdShow == SW_SHOWMINIMIZED || cmdShow == SW_MINIMIZE) sub->showMinimized();
    else if (!sub->isVisible()) sub->show();
    // Lay the window out now: the views get their size before anything else
    // runs.
    if (QLayout* layout = sub->layout()) layout->activate();
    if (QWidget* inner = sub->widget()) {
        const QRect r = sub->contentsRect();
        if (inner->geometry() != r && sub->layout() == nullptr) inner->setGeometry(r);
    }
    MDIActivate();
}

void CMDIChildWnd::OnUpdateFrameTitle(bool) {
    if (m_hWnd == nullptr) return;
    CDocument* doc = GetActiveDocument();
    QString title = QString::fromUtf8((doc != nullptr ? doc->GetTitle() : m_strTitle).GetString());
    if (m_nWindow > 0) title += QStringLiteral(":%1").arg(m_nWindow);
    if (m_hWnd->windowTitle() != title) m_hWnd->setWindowTitle(title);
    if (m_pMDIFrame != nullptr && m_pMDIFrame->MDIGetActive() == this) m_pMDIFrame->OnUpdateFrameTitle(true);
}

bool CMDIChildWnd::OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) {
    if (CView* view = GetActiveView())
        if (view->OnCmdMsg(id, kind, ui)) return true;
    return DispatchOwn(id, kind, ui);
}

bool CMDIChildWnd::DestroyWindow() {
    auto* sub = qobject_cast<QMdiSubWindow*>(m_hWnd);
    if (sub == nullptr) return false;
    CMDIFrameWnd* mainFrame = m_pMDIFrame;
    QMdiArea* area = mainFrame != nullptr ? mainFrame->GetMDIClient() : nullptr;
    const bool wasCurrent = area != nullptr && area->currentSubWindow() == sub;
    if (mainFrame != nullptr && mainFrame->lastActive_ == this) mainFrame->lastActive_ = nullptr;
    if (area != nullptr) area->removeSubWindow(sub);
    CFrameWnd::DestroyWindow();  // deletes this
    // The next window becomes the current one, as when a person closes one.
    if (wasCurrent && area != nullptr) {
        const auto rest = area->subWindowList(QMdiArea::ActivationHistoryOrder);
        if (!rest.isEmpty()) area->setActiveSubWindow(rest.last());
        if (auto* f = dynamic_cast<CMDIFrameWnd*>(AfxGetMainWnd())) f->HandleSubWindowActivated();
    }
    return true;
}
