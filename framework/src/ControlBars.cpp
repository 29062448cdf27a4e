#include "framework/ControlBars.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QStatusBar>
#include <QToolBar>
#include <algorithm>

#include "ActionCmdUI.h"
#include "Hosts.h"
#include "framework/FrameWnd.h"
#include "framework/Resources.h"

namespace {

constexpr int kPaneIconSize = 16;

// A status pane's state: disabled panes show no text.
class StatusCmdUI : public CCmdUI {
public:
    StatusCmdUI(CStatusBar* bar, int index) : bar_(bar) { m_nIndex = index; }
    void Enable(bool on) override {
        CCmdUI::Enable(on);
        const UINT style = bar_->GetPaneStyle(m_nIndex);
        const UINT wanted = on ? (style & ~SBPS_DISABLED) : (style | SBPS_DISABLED);
        if (wanted != style) bar_->SetPaneStyle(m_nIndex, wanted);
    }
    void SetText(const char* text) override { bar_->SetPaneText(m_nIndex, text, false); }

private:
    CStatusBar* bar_;
};

}  // namespace

// A pane's text. It keeps the whole text; an eliding label (the stretching
// pane) asks the layout for no width, shows the text elided on the right to
// its current width and, while elided, the whole text as its tool tip.
class StatusPaneLabel final : public QLabel {
public:
    StatusPaneLabel(QWidget* parent, bool elide) : QLabel(parent), elide_(elide) {
        setTextFormat(Qt::PlainText);
        if (elide_) setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    const QString& FullText() const { return full_; }
    void SetFullText(const QString& text) {
        if (text == full_) return;
        full_ = text;
        Show();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        if (elide_ && event->size().width() != event->oldSize().width()) Show();
    }
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (elide_ && event->type() == QEvent::FontChange) Show();
    }

private:
    // Sets what changed only: an idle pass may set the same text every time.
    void Show() {
        const QString shown =
            elide_ ? fontMetrics().elidedText(full_, Qt::ElideRight, std::max(0, contentsRect().width())) : full_;
        if (text() != shown) setText(shown);
        const QString tip = shown != full_ ? full_ : QString();
        if (toolTip() != tip) setToolTip(tip);
    }
    bool elide_;
    QString full_;
};

namespace {

// Turns a left-button release over a pane into its click handler.
class PaneClickFilter final : public QObject {
public:
    PaneClickFilter(QWidget* pane, std::function<void()> handler) : QObject(pane), handler_(std::move(handler)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The press is taken, so that the release comes to the pane too.
        if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            return true;
        if (event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            auto* widget = qobject_cast<QWidget*>(watched);
            if (mouse->button() == Qt::LeftButton && widget != nullptr &&
                widget->rect().contains(mouse->position().toPoint())) {
                // A copy: the handler may replace this filter.
                const std::function<void()> handler = handler_;
                if (handler) handler();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> handler_;
};

}  // namespace

CControlBar::~CControlBar() {
    if (m_pFrame != nullptr) m_pFrame->RemoveControlBar(this);
}

void CControlBar::RegisterWithFrame(CWnd* parent) {
    m_pFrame = dynamic_cast<CFrameWnd*>(parent);
    if (m_pFrame != nullptr) m_pFrame->AddControlBar(this);
}

void CControlBar::EnableDocking(DWORD dockStyle) { m_dwDockStyle = dockStyle & CBRS_ALIGN_ANY; }

// ---- CToolBar --------------------------------------------------------------

bool CToolBar::CreateEx(CWnd* parent, DWORD ctrlStyle, DWORD style, const CRect&, UINT id) {
    auto* mainWindow = parent != nullptr ? qobject_cast<QMainWindow*>(parent->m_hWnd) : nullptr;
    if (m_hWnd != nullptr || mainWindow == nullptr) return false;
    auto* toolbar = new QToolBar(mainWindow);
    AttachWidget(toolbar);
    SetDlgCtrlID(static_cast<int>(id));
    m_dwStyle = style;
    toolbar->setObjectName(QStringLiteral("toolbar%1").arg(id));
    toolbar->setWindowTitle(QStringLiteral("Standard"));
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->setMovable((style & CBRS_GRIPPER) != 0);
    toolbar->setFloatable(false);
    // Flat buttons are Qt's auto-raise buttons; without TBSTYLE_FLAT the bar
    // draws raised ones.
    if (!(ctrlStyle & TBSTYLE_FLAT)) toolbar->setStyleSheet(QStringLiteral("QToolButton { border: 1px outset gray; }"));
    Qt::ToolBarArea area = Qt::TopToolBarArea;
    if (style & CBRS_ALIGN_BOTTOM) area = Qt::BottomToolBarArea;
    else if (style & CBRS_ALIGN_LEFT) area = Qt::LeftToolBarArea;
    else if (style & CBRS_ALIGN_RIGHT) area = Qt::RightToolBarArea;
    toolbar->setAllowedAreas(area);
    mainWindow->addToolBar(area, toolbar);
    toolbar->setVisible((style & WS_VISIBLE) != 0);
    RegisterWithFrame(parent);
    return true;
}

bool CToolBar::Create(CWnd* parent, DWORD style, UINT id) { return CreateEx(parent, 0, style, CRect(), id); }

bool CToolBar::LoadToolBar(UINT resourceId) {
    auto* toolbar = GetToolBarCtrl();
    const CToolBarResource* resource = AfxFindResourceToolBar(resourceId);
    if (toolbar == nullptr || resource == nullptr) return false;
    toolbar->clear();
    m_items.clear();
    m_buttonSize = CSize{resource->buttonWidth, resource->buttonHeight};
    toolbar->setIconSize(QSize(resource->buttonWidth, resource->buttonHeight));
    for (const auto& button : resource->buttons) {
        if (button.id == ID_SEPARATOR) {
            m_items.push_back({ID_SEPARATOR, toolbar->addSeparator()});
            continue;
        }
        const UINT id = button.id;
        const String strings = AfxLoadString(id);
        QAction* action = toolbar->addAction(QIcon(QString::fromUtf8(button.image.GetString())), QString());
        action->setProperty("afxCommandId", id);
        if (m_dwStyle & CBRS_TOOLTIPS)
            action->setToolTip(QString::fromUtf8(AfxExtractSubString(strings, 1).GetString()));
        if (m_dwStyle & CBRS_FLYBY)
            action->setStatusTip(QString::fromUtf8(AfxExtractSubString(strings, 0).GetString()));
        QObject::connect(action, &QAction::triggered, action, [this, id] {
            if (m_pFrame != nullptr) AfxExecuteCommand(m_pFrame, id);
        });
        m_items.push_back({id, action});
    }
    return true;
}

UINT CToolBar::GetItemID(int index) const {
    if (index < 0 || index >= GetCount()) return ID_SEPARATOR;
    return m_items[static_cast<size_t>(index)].id;
}

int CToolBar::CommandToIndex(UINT id) const {
    for (int i = 0; i < GetCount(); ++i)
        if (m_items[static_cast<size_t>(i)].id == id && id != ID_SEPARATOR) return i;
    return -1;
}

QAction* CToolBar::GetItemAction(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return m_items[static_cast<size_t>(index)].action;
}

QToolBar* CToolBar::GetToolBarCtrl() const { return qobject_cast<QToolBar*>(m_hWnd); }

void CToolBar::OnUpdateCmdUI(CFrameWnd* target, bool disableIfNoHandler) {
    for (int i = 0; i < GetCount(); ++i) {
        const Item& item = m_items[static_cast<size_t>(i)];
        if (item.id == ID_SEPARATOR) continue;
        ActionCmdUI ui(item.action, false);
        ui.m_nID = item.id;
        ui.m_nIndex = i;
        ui.DoUpdate(target, disableIfNoHandler);
    }
}

// ---- CStatusBar ------------------------------------------------------------

bool CStatusBar::Create(CWnd* parent, DWORD style, UINT id) {
    auto* mainWindow = parent != nullptr ? qobject_cast<QMainWindow*>(parent->m_hWnd) : nullptr;
    if (m_hWnd != nullptr || mainWindow == nullptr) return false;
    auto* bar = new QStatusBar(mainWindow);
    mainWindow->setStatusBar(bar);
    AttachWidget(bar);
    SetDlgCtrlID(static_cast<int>(id));
    m_dwStyle = style;
    // One permanent widget holds every pane, so nothing Qt shows in the
    // status bar can hide them.
    m_container = new QWidget(bar);
    auto* layout = new QHBoxLayout(m_container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    bar->addPermanentWidget(m_container, 1);
    bar->setVisible((style & WS_VISIBLE) != 0);
    RegisterWithFrame(parent);
    return true;
}

bool CStatusBar::SetIndicators(const UINT* ids, int count) {
    if (m_container == nullptr || (ids == nullptr && count > 0)) return false;
    for (Pane& pane : m_panes) delete pane.box;
    m_panes.clear();
    bool allFound = true;
    auto* layout = static_cast<QHBoxLayout*>(m_container->layout());
    for (int i = 0; i < count; ++i) {
        Pane pane;
        pane.id = ids[i];
        if (pane.id == ID_SEPARATOR) {
            pane.style = i == 0 ? (SBPS_NOBORDERS | SBPS_STRETCH) : SBPS_NORMAL;
            if (i == 0) pane.text = AfxLoadString(AFX_IDS_IDLEMESSAGE);
        } else {
            if (!AfxHasResourceString(pane.id)) allFound = false;
            pane.text = AfxLoadString(pane.id);
        }
        auto* box = new QFrame(m_container);
        box->setFrameShape((pane.style & SBPS_NOBORDERS) ? QFrame::NoFrame : QFrame::StyledPanel);
        box->setFrameShadow((pane.style & SBPS_POPOUT) ? QFrame::Raised : QFrame::Sunken);
        auto* row = new QHBoxLayout(box);
        row->setContentsMargins(3, 0, 3, 0);
        row->setSpacing(3);
        pane.iconLabel = new QLabel(box);
        pane.iconLabel->setFixedSize(kPaneIconSize, kPaneIconSize);
        pane.iconLabel->hide();
        pane.textLabel = new StatusPaneLabel(box, (pane.style & SBPS_STRETCH) != 0);
        pane.textLabel->SetFullText(QString::fromUtf8(pane.text.GetString()));
        row->addWidget(pane.iconLabel);
        row->addWidget(pane.textLabel, 1);
        pane.box = box;
        if (pane.style & SBPS_STRETCH) {
            layout->addWidget(box, 1);
        } else {
            // The initial text sizes the pane (an icon adds its own room).
            const int textWidth = pane.textLabel->fontMetrics().horizontalAdvance(pane.textLabel->text());
            pane.baseWidth = textWidth + 2 * 3 + 2 * box->frameWidth() + 4;
            box->setFixedWidth(pane.baseWidth);
            layout->addWidget(box, 0);
        }
        m_panes.push_back(pane);
    }
    return allFound;
}

UINT CStatusBar::GetItemID(int index) const {
    if (index < 0 || index >= GetCount()) return 0;
    return m_panes[static_cast<size_t>(index)].id;
}

int CStatusBar::CommandToIndex(UINT id) const {
    for (int i = 0; i < GetCount(); ++i)
        if (m_panes[static_cast<size_t>(i)].id == id) return i;
    return -1;
}

void CStatusBar::ShowPane(Pane& pane) {
    pane.textLabel->SetFullText((pane.style & SBPS_DISABLED) ? QString() : QString::fromUtf8(pane.text.GetString()));
}

bool CStatusBar::SetPaneText(int index, const char* text, bool update) {
    if (index < 0 || index >= GetCount()) return false;
    Pane& pane = m_panes[static_cast<size_t>(index)];
    const String value(text);
    if (pane.text == value) return true;
    pane.text = value;
    ShowPane(pane);
    if (update) pane.textLabel->repaint();
    return true;
}

String CStatusBar::GetPaneText(int index) const {
    if (index < 0 || index >= GetCount()) return String();
    return m_panes[static_cast<size_t>(index)].text;
}

String CStatusBar::GetPaneDisplayText(int index) const {
    if (index < 0 || index >= GetCount()) return String();
    return String(m_panes[static_cast<size_t>(index)].textLabel->FullText().toUtf8().constData());
}

bool CStatusBar::SetPaneIcon(int index, UINT iconId) {
    if (index < 0 || index >= GetCount()) return false;
    Pane& pane = m_panes[static_cast<size_t>(index)];
    if (pane.iconId == iconId) return true;
    pane.iconId = iconId;
    if (pane.baseWidth > 0) pane.box->setFixedWidth(pane.baseWidth + (iconId != 0 ? kPaneIconSize + 3 : 0));
    if (iconId == 0) {
        pane.iconLabel->clear();
        pane.iconLabel->hide();
        return true;
    }
    pane.iconLabel->setPixmap(AfxLoadIcon(iconId).pixmap(kPaneIconSize, kPaneIconSize));
    pane.iconLabel->show();
    return true;
}

UINT CStatusBar::GetPaneIcon(int index) const {
    if (index < 0 || index >= GetCount()) return 0;
    return m_panes[static_cast<size_t>(index)].iconId;
}

UINT CStatusBar::GetPaneStyle(int index) const {
    if (index < 0 || index >= GetCount()) return 0;
    return m_panes[static_cast<size_t>(index)].style;
}

void CStatusBar::SetPaneStyle(int index, UINT style) {
    if (index < 0 || index >= GetCount()) return;
    Pane& pane = m_panes[static_cast<size_t>(index)];
    if (pane.style == style) return;
    pane.style = style;
    ShowPane(pane);
}

int CStatusBar::GetPaneWidth(int index) const {
    if (index < 0 || index >= GetCount()) return 0;
    return m_panes[static_cast<size_t>(index)].box->width();
}

QLabel* CStatusBar::GetPaneTextLabel(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return m_panes[static_cast<size_t>(index)].textLabel;
}

QLabel* CStatusBar::GetPaneIconLabel(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return m_panes[static_cast<size_t>(index)].iconLabel;
}

QWidget* CStatusBar::GetPaneWidget(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return m_panes[static_cast<size_t>(index)].box;
}

bool CStatusBar::SetPaneTip(int index, const char* tip) {
    if (index < 0 || index >= GetCount()) return false;
    QWidget* box = m_panes[static_cast<size_t>(index)].box;
    const QString text = QString::fromUtf8(tip != nullptr ? tip : "");
    if (box->toolTip() != text) box->setToolTip(text);
    return true;
}

String CStatusBar::GetPaneTip(int index) const {
    if (index < 0 || index >= GetCount()) return String();
    return String(m_panes[static_cast<size_t>(index)].box->toolTip().toUtf8().constData());
}

bool CStatusBar::SetPaneClickHandler(int index, std::function<void()> handler) {
    if (index < 0 || index >= GetCount()) return false;
    Pane& pane = m_panes[static_cast<size_t>(index)];
    if (pane.clickFilter != nullptr) {
        pane.box->removeEventFilter(pane.clickFilter);
        pane.clickFilter->deleteLater();
        pane.clickFilter = nullptr;
    }
    if (!handler) return true;
    pane.clickFilter = new PaneClickFilter(pane.box, std::move(handler));
    pane.box->installEventFilter(pane.clickFilter);
    pane.box->setCursor(Qt::PointingHandCursor);
    return true;
}

void CStatusBar::OnUpdateCmdUI(CFrameWnd* target, bool) {
    // Panes without an update handler keep their state.
    for (int i = 0; i < GetCount(); ++i) {
        const UINT id = m_panes[static_cast<size_t>(i)].id;
        if (id == ID_SEPARATOR) continue;
        StatusCmdUI ui(this, i);
        ui.m_nID = id;
        ui.DoUpdate(target, false);
    }
}
