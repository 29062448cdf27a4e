#include "framework/Wnd.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <unordered_map>

#include "Hosts.h"

namespace {

// Widget to object, for the windows that have a framework object. GUI thread.
std::unordered_map<const QWidget*, CWnd*>& WidgetMap() {
    static auto* map = new std::unordered_map<const QWidget*, CWnd*>;
    return *map;
}

const char* const kCtrlIdProperty = "afxCtrlId";

}  // namespace

CWnd* CWnd::FromHandle(const QWidget* widget) {
    if (widget == nullptr) return nullptr;
    auto& map = WidgetMap();
    auto it = map.find(widget);
    return it != map.end() ? it->second : nullptr;
}

CWnd::~CWnd() {
    if (m_hWnd == nullptr) return;
    QWidget* w = m_hWnd;
    StopTimers();
    QObject::disconnect(w, &QObject::destroyed, nullptr, nullptr);
    WidgetMap().erase(w);
    m_hWnd = nullptr;
    w->hide();
    w->deleteLater();
}

void CWnd::AttachWidget(QWidget* widget) {
    m_hWnd = widget;
    WidgetMap()[widget] = this;
    QObject::connect(widget, &QObject::destroyed, [this, widget] {
        if (m_hWnd == widget) HandleWidgetDestroyed();
    });
}

bool CWnd::Attach(QWidget* widget) {
    if (m_hWnd != nullptr || widget == nullptr || FromHandle(widget) != nullptr) return false;
    AttachWidget(widget);
    return true;
}

QWidget* CWnd::Detach() {
    QWidget* w = m_hWnd;
    if (w == nullptr) return nullptr;
    StopTimers();
    QObject::disconnect(w, &QObject::destroyed, nullptr, nullptr);
    WidgetMap().erase(w);
    m_hWnd = nullptr;
    return w;
}

bool CWnd::Create(const char*, const char* windowName, DWORD style, const CRect& rect, CWnd* parent, UINT id) {
    if (m_hWnd != nullptr) return false;
    QWidget* parentWidget = parent != nullptr ? parent->m_hWnd : nullptr;
    auto* w = new WndHost<QWidget>(parentWidget);
    AttachWidget(w);
    if (windowName != nullptr) w->setWindowTitle(QString::fromUtf8(windowName));
    SetDlgCtrlID(static_cast<int>(id));
    w->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    CREATESTRUCT cs;
    cs.style = style;
    cs.x = rect.left;
    cs.y = rect.top;
    cs.cx = rect.Width();
    cs.cy = rect.Height();
    cs.id = id;
    if (OnCreate(&cs) == -1) {
        TearDown(true);
        return false;
    }
    if (style & WS_VISIBLE) w->show();
    return true;
}

int CWnd::OnCreate(CREATESTRUCT*) { return 0; }

void CWnd::TearDown(bool deleteNow) {
    QWidget* w = m_hWnd;
    if (w == nullptr) return;
    AfxGuard("OnDestroy", [this] { OnDestroy(); });
    Detach();
    w->hide();
    if (deleteNow) delete w;
    else w->deleteLater();
    PostNcDestroy();
}

bool CWnd::DestroyWindow() {
    if (m_hWnd == nullptr) return false;
    TearDown(false);
    return true;
}

void CWnd::HandleWidgetDestroyed() {
    // The widget went with its parent; its child timers are gone already.
    WidgetMap().erase(m_hWnd);
    m_hWnd = nullptr;
    timers_.clear();
    AfxGuard("OnDestroy", [this] { OnDestroy(); });
    PostNcDestroy();
}

void CWnd::HandleResize(int cx, int cy) { OnSize(SIZE_RESTORED, cx, cy); }

void CWnd::HandleTimer(UINT_PTR id) {
    AfxGuard("OnTimer", [this, id] { OnTimer(id); });
}

void CWnd::OnSize(UINT, int, int) {}

void CWnd::OnTimer(UINT_PTR) {}

void CWnd::OnClose() { DestroyWindow(); }

int CWnd::GetDlgCtrlID() const {
    if (m_hWnd == nullptr) return 0;
    return m_hWnd->property(kCtrlIdProperty).toInt();
}

void CWnd::SetDlgCtrlID(int id) {
    if (m_hWnd != nullptr) m_hWnd->setProperty(kCtrlIdProperty, id);
}

CWnd* CWnd::GetDlgItem(int id) const {
    if (m_hWnd == nullptr) return nullptr;
    const auto children = m_hWnd->findChildren<QWidget*>();
    for (QWidget* child : children) {
        if (child->property(kCtrlIdProperty).toInt() == id)
            if (CWnd* wnd = FromHandle(child)) return wnd;
    }
    return nullptr;
}

void CWnd::SetDlgItemText(int id, const char* text) {
    if (CWnd* item = GetDlgItem(id)) item->SetWindowText(text);
}

String CWnd::GetDlgItemText(int id) const {
    CWnd* item = GetDlgItem(id);
    return item != nullptr ? item->GetWindowText() : String();
}

// A control's text is its contents; a window's is its title.
void CWnd::SetWindowText(const char* text) {
    if (m_hWnd == nullptr) return;
    const QString t = QString::fromUtf8(text != nullptr ? text : "");
    if (auto* edit = qobject_cast<QLineEdit*>(m_hWnd)) edit->setText(t);
    else if (auto* label = qobject_cast<QLabel*>(m_hWnd)) label->setText(t);
    else if (auto* button = qobject_cast<QAbstractButton*>(m_hWnd)) button->setText(t);
    else if (auto* combo = qobject_cast<QComboBox*>(m_hWnd)) {
        if (combo->isEditable()) combo->setEditText(t);
        else combo->setCurrentIndex(combo->findText(t, Qt::MatchFixedString));
    } else m_hWnd->setWindowTitle(t);
}

String CWnd::GetWindowText() const {
    if (m_hWnd == nullptr) return String();
    QString t;
    if (auto* edit = qobject_cast<QLineEdit*>(m_hWnd)) t = edit->text();
    else if (auto* label = qobject_cast<QLabel*>(m_hWnd)) t = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(m_hWnd)) t = button->text();
    else if (auto* combo = qobject_cast<QComboBox*>(m_hWnd)) t = combo->currentText();
    else t = m_hWnd->windowTitle();
    return String(t.toUtf8().constData());
}

void CWnd::GetClientRect(CRect* rect) const {
    if (rect == nullptr) return;
    *rect = CRect();
    if (m_hWnd == nullptr) return;
    const QRect r = m_hWnd->contentsRect();
    *rect = CRect(0, 0, r.width(), r.height());
}

void CWnd::GetWindowRect(CRect* rect) const {
    if (rect == nullptr) return;
    *rect = CRect();
    if (m_hWnd == nullptr) return;
    const QRect frame = m_hWnd->isWindow() ? m_hWnd->frameGeometry() : m_hWnd->geometry();
    const QPoint topLeft = m_hWnd->isWindow() ? frame.topLeft() : m_hWnd->mapToGlobal(QPoint(0, 0));
    *rect = CRect(topLeft.x(), topLeft.y(), topLeft.x() + frame.width(), topLeft.y() + frame.height());
}

void CWnd::ScreenToClient(CRect* rect) const {
    if (rect == nullptr || m_hWnd == nullptr) return;
    const QPoint origin = m_hWnd->mapFromGlobal(QPoint(rect->left, rect->top));
    const int w = rect->Width();
    const int h = rect->Height();
    *rect = CRect(origin.x(), origin.y(), origin.x() + w, origin.y() + h);
}

void CWnd::MoveWindow(int x, int y, int width, int height, bool repaint) {
    if (m_hWnd == nullptr) return;
    m_hWnd->setGeometry(x, y, width < 0 ? 0 : width, height < 0 ? 0 : height);
    if (repaint) m_hWnd->update();
}

void CWnd::MoveWindow(const CRect& rect, bool repaint) {
    MoveWindow(rect.left, rect.top, rect.Width(), rect.Height(), repaint);
}

bool CWnd::ShowWindow(int cmdShow) {
    if (m_hWnd == nullptr) return false;
    const bool wasVisible = m_hWnd->isVisible();
    switch (cmdShow) {
        case SW_HIDE: m_hWnd->hide(); break;
        case SW_SHOWMINIMIZED:
        case SW_MINIMIZE: m_hWnd->showMinimized(); break;
        case SW_SHOWMAXIMIZED: m_hWnd->showMaximized(); break;
        case SW_RESTORE:
        case SW_SHOWNORMAL: m_hWnd->showNormal(); break;
        default: m_hWnd->show(); break;
    }
    return wasVisible;
}

bool CWnd::IsWindowVisible() const { return m_hWnd != nullptr && m_hWnd->isVisible(); }

void CWnd::UpdateWindow() {
    if (m_hWnd != nullptr) m_hWnd->repaint();
}

void CWnd::Invalidate(bool) {
    if (m_hWnd != nullptr) m_hWnd->update();
}

void CWnd::SetFocus() {
    if (m_hWnd != nullptr) m_hWnd->setFocus();
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapseMs, void*) {
    if (id == 0 || m_hWnd == nullptr) return 0;
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        // A child of the widget: it stops when the window goes.
        timer = new QTimer(m_hWnd);
        QObject::connect(timer, &QTimer::timeout, timer, [this, id] { HandleTimer(id); });
    }
    timer->start(static_cast<int>(elapseMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : elapseMs));
    return id;
}

bool CWnd::KillTimer(UINT_PTR id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    // Never deleted at once: KillTimer may run inside that timer's OnTimer.
    it->second->stop();
    it->second->deleteLater();
    timers_.erase(it);
    return true;
}

bool CWnd::HasTimer(UINT_PTR id) const { return timers_.count(id) != 0; }

void CWnd::StopTimers() {
    for (auto& [id, timer] : timers_) {
        timer->stop();
        timer->deleteLater();
    }
    timers_.clear();
}
