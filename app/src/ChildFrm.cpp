#include "app/ChildFrm.h"

#include <QEvent>
#include <QMdiSubWindow>
#include <QStringList>

#include "app/MainFrm.h"
#include "app/Resource.h"
#include "framework/WinApp.h"

IMPLEMENT_DYNCREATE(CChildFrame, CMDIChildWnd)

namespace {

constexpr char kWindowsGroup[] = "Windows";

bool InWall() {
    auto* frame = dynamic_cast<CMainFrame*>(AfxGetMainWnd());
    return frame != nullptr && frame->InWallMode();
}

}  // namespace

String PlaylistSettingsKey(const String& studio, const String& playlist) {
    QString key =
        QStringLiteral("%1|%2").arg(QString::fromUtf8(studio.GetString()), QString::fromUtf8(playlist.GetString()));
    key.replace(QChar('/'), QChar('_')).replace(QChar('\\'), QChar('_'));
    return String(key.toUtf8().constData());
}

CChildFrame::CChildFrame() {
    MapCommandUI(ID_INDICATOR_CLOCK, &CChildFrame::OnUpdateClock);
    m_watch.m_frame = this;
}

CChildFrame::~CChildFrame() {
    // The sub window may outlive this object for a moment (Qt deletes it later).
    if (m_hWnd != nullptr) m_hWnd->removeEventFilter(&m_watch);
}

void CChildFrame::OnUpdateClock(CCmdUI* ui) { ui->Enable(); }

void CChildFrame::SetPlaceKey(const String& key) {
    m_placeKey = key;
    if (m_hWnd != nullptr) {
        m_hWnd->removeEventFilter(&m_watch);
        m_hWnd->installEventFilter(&m_watch);
    }
}

bool CChildFrame::PlaceWatch::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize) {
        auto* sub = qobject_cast<QMdiSubWindow*>(watched);
        QWidget* area = sub != nullptr ? sub->parentWidget() : nullptr;
        if (sub != nullptr && area != nullptr && sub->isVisible() && !sub->isMinimized() && !sub->isMaximized() &&
            area->width() >= 50 && area->height() >= 50 && !InWall()) {
            m_frame->m_place = sub->geometry();
            m_frame->m_areaSize = area->size();
        }
    }
    return QObject::eventFilter(watched, event);
}

void CChildFrame::OnDestroy() {
    CWinApp* app = AfxGetApp();
    if (app == nullptr || m_placeKey.IsEmpty() || !m_place.isValid() || m_areaSize.isEmpty()) return;
    const QString text = QStringLiteral("%1,%2,%3,%4 in %5x%6")
                             .arg(m_place.x())
                             .arg(m_place.y())
                             .arg(m_place.width())
                             .arg(m_place.height())
                             .arg(m_areaSize.width())
                             .arg(m_areaSize.height());
    app->WriteProfileString(kWindowsGroup, m_placeKey, text.toUtf8().constData());
}

QRect CChildFrame::SavedPlace(const String& key, const QSize& area) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr || key.IsEmpty() || area.isEmpty()) return QRect();
    // "x,y,w,h in WxH"
    const QString text = QString::fromUtf8(app->GetProfileString(kWindowsGroup, key, "").GetString());
    const QStringList halves = text.split(QStringLiteral(" in "));
    if (halves.size() != 2) return QRect();
    const QStringList r = halves[0].split(QChar(','));
    const QStringList s = halves[1].split(QChar('x'));
    if (r.size() != 4 || s.size() != 2) return QRect();
    long long v[6] = {};
    const QString* fields[6] = {&r[0], &r[1], &r[2], &r[3], &s[0], &s[1]};
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        v[i] = fields[i]->toLongLong(&ok);
        if (!ok || v[i] < 0 || v[i] > 100000) return QRect();
    }
    const long long w = v[4], h = v[5];
    if (w < 50 || h < 50 || v[2] <= 0 || v[3] <= 0 || v[0] + v[2] > w || v[1] + v[3] > h) return QRect();
    // Each edge scaled on its own: windows that met edge to edge still meet,
    // and none crosses the area's border.
    const auto scale = [](long long at, long long from, int to) {
        return static_cast<int>((at * to + from / 2) / from);
    };
    const int left = scale(v[0], w, area.width());
    const int right = scale(v[0] + v[2], w, area.width());
    const int top = scale(v[1], h, area.height());
    const int bottom = scale(v[1] + v[3], h, area.height());
    if (right - left < 1 || bottom - top < 1) return QRect();
    return QRect(left, top, right - left, bottom - top);
}
