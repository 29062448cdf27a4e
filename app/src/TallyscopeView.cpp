#include "app/TallyscopeView.h"

#include <QHeaderView>
#include <QFont>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTreeView>

#include "app/ChildFrm.h"
#include "app/QuorServerDlg.h"
#include "app/SessionDocManager.h"
#include "app/Resource.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "model/PlaylistEvent.h"

#include <algorithm>

IMPLEMENT_DYNCREATE(CTallyscopeView, CView)

namespace {
constexpr UINT kListId = 1;
constexpr UINT_PTR kCountdownTimer = 1001;

QString TimeText(const QDateTime& t) { return t.toString(QStringLiteral("HH:mm:ss")); }

QString AgoText(const QDateTime& t) {
    const qint64 seconds = std::max<qint64>(0, t.secsTo(QDateTime::currentDateTime()));
    if (seconds < 120) return QStringLiteral("%1 s ago").arg(seconds);
    if (seconds < 7200) return QStringLiteral("%1 min ago").arg(seconds / 60);
    return QStringLiteral("%1 h ago").arg(seconds / 3600);
}
}  // namespace

CTallyscopeView::CTallyscopeView() {
    MapCommandUI(ID_QUOR_TRIGGER_OFF, &CTallyscopeView::OnUpdateQuorCommand);
    MapCommandUI(ID_QUOR_TRIGGER_ON, &CTallyscopeView::OnUpdateQuorCommand);
    MapCommandUI(ID_QUOR_SERVER_CHANGE, &CTallyscopeView::OnUpdateQuorCommand);
    MapCommand(ID_QUOR_TRIGGER_OFF, &CTallyscopeView::OnQuorTriggerOff);
    MapCommand(ID_QUOR_TRIGGER_ON, &CTallyscopeView::OnQuorTriggerOn);
    MapCommand(ID_QUOR_SERVER_CHANGE, &CTallyscopeView::OnQuorServerChange);
    MapCommand(ID_VIEW_CLEAR_CHOICE, &CTallyscopeView::OnClearChoice);
    MapCommandUI(ID_VIEW_CLEAR_CHOICE, &CTallyscopeView::OnUpdateClearChoice);
    MapCommand(ID_VIEW_FIT_COLUMNS, &CTallyscopeView::OnFitColumns);
    MapCommandUI(ID_VIEW_FIT_COLUMNS, &CTallyscopeView::OnUpdateFitColumns);
}

CTallyscopeDoc* CTallyscopeView::GetDocument() const { return dynamic_cast<CTallyscopeDoc*>(m_pDocument); }

bool CTallyscopeView::DestroyWindow() {
    QObject::disconnect(m_resizeWatch);
    QObject::disconnect(m_pressWatch);
    QObject::disconnect(m_selectionWatch);
    QObject::disconnect(m_currentWatch);
    m_strip = nullptr;  // goes with the view's widget
    m_header = nullptr;
    // Id 0 means the timer never started.
    if (m_timerId != 0) KillTimer(m_timerId);
    m_timerId = 0;
    return CView::DestroyWindow();
}

bool CTallyscopeView::PreCreateWindow(CREATESTRUCT& cs) { return CView::PreCreateWindow(cs); }

void CTallyscopeView::OnInitialUpdate() {
    CView::OnInitialUpdate();  // its OnUpdate is ignored: not initialized yet
    CRect client;
    GetClientRect(&client);
    m_list.Create(WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT, client, this, kListId);
    m_list.SetupColumns(this);
    if (m_hWnd != nullptr) {
        m_strip = new QLabel(m_hWnd);
        m_strip->setObjectName(QStringLiteral("freshness"));
        m_strip->setContentsMargins(4, 1, 4, 1);
        m_strip->setTextFormat(Qt::PlainText);
        m_strip->show();
        m_header = new QLabel(m_hWnd);
        m_header->setObjectName(QStringLiteral("nextEvent"));
        m_header->setContentsMargins(4, 1, 4, 1);
        m_header->setTextFormat(Qt::PlainText);
        m_header->show();
        LayOut(client.Width(), client.Height());
    }
    if (CTallyscopeApp* app = GetTallyscopeApp(); app != nullptr && app->Zoom() != 100) SetZoom(app->Zoom());
    if (QTreeView* tree = m_list.GetTreeView()) {
        // A width changed by anyone but the view itself is the operator's
        // (a drag, or a double-click on a divider).
        m_resizeWatch = QObject::connect(tree->header(), &QHeaderView::sectionResized, tree, [this] {
            if (!m_settingColumns) SaveColumns();
        });
        // Every selection change outside the view's own rebuild is the
        // operator's (or a caller's acting for them).
        m_selectionWatch = QObject::connect(tree->selectionModel(), &QItemSelectionModel::selectionChanged, tree,
                                            [this] { TakeChoice(); });
        // A click on a row that was selected already (the running row while
        // nothing is chosen) changes no selection, yet it is a choice.
        m_pressWatch = QObject::connect(tree, &QAbstractItemView::pressed, tree, [this] { TakeChoice(); });
        // The current row alone (focus, a key that only moves it) is no
        // choice; it names the last chosen event while there is a choice.
        m_currentWatch = QObject::connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, tree, [this] {
            if (m_applying || m_chosen.empty()) return;
            const int current = m_list.GetNextItem(-1, LVNI_FOCUSED);
            if (current >= 0 && m_list.GetItemState(current, LVIS_SELECTED) != 0)
                m_lastChosen = m_list.GetItemText(current, kColumnId).GetString();
        });
    }
    FillList();
    m_initialized = 1;
    m_timerId = static_cast<unsigned int>(SetTimer(kCountdownTimer, 1000));
    UpdateFreshness();
    UpdateNextEvent();
}

void CTallyscopeView::OnUpdate(CView*, LPARAM hint, CObject*) {
    if (m_initialized != 1) return;
    // A failed fetch leaves the rows as they were; only the strip changes.
    if (hint != CTallyscopeDoc::kHintFetchState) {
        FillList();
        // A good fetch with both links up: the rows are fresh again.
        const CSessionDocManager* manager = GetSessionDocManager();
        const bool linksUp =
            manager == nullptr || manager->SessionUp() != 1 || (manager->LinkUp() && manager->StudioLinkUp());
        if (linksUp) {
            m_staleReason.clear();
            m_staleSince = QDateTime();
        }
    }
    UpdateFreshness();
    UpdateNextEvent();
}

void CTallyscopeView::OnDraw(CDC*) {}

void CTallyscopeView::OnTimer(UINT_PTR id) {
    m_list.AdvanceRunningRow(std::chrono::steady_clock::now());
    UpdateFreshness();
    UpdateNextEvent();
    CView::OnTimer(id);
}

void CTallyscopeView::OnSize(UINT type, int cx, int cy) {
    CView::OnSize(type, cx, cy);
    LayOut(cx, cy);
}

void CTallyscopeView::LayOut(int cx, int cy) {
    // The header takes one line at the top, the strip one at the bottom;
    // the list fills the rest.
    const int header = m_header != nullptr ? std::min(cy, m_header->sizeHint().height()) : 0;
    const int strip = m_strip != nullptr ? std::min(cy - header, m_strip->sizeHint().height()) : 0;
    if (m_header != nullptr) m_header->setGeometry(0, 0, cx, header);
    if (m_list.GetSafeHwnd() != nullptr) m_list.MoveWindow(0, header, cx, std::max(0, cy - header - strip), true);
    if (m_strip != nullptr) m_strip->setGeometry(0, std::max(0, cy - strip), cx, strip);
}

void CTallyscopeView::SetZoom(int percent) {
    // The image column's growth is no width the operator chose.
    m_settingColumns = true;
    m_list.SetZoom(percent);
    m_settingColumns = false;
    QTreeView* tree = m_list.GetTreeView();
    if (tree == nullptr) return;
    // The lines above and below the rows follow the list's size.
    for (QLabel* label : {m_header, m_strip}) {
        if (label == nullptr) continue;
        QFont font = label->font();
        font.setPointSizeF(tree->font().pointSizeF());
        if (label->font() != font) label->setFont(font);
    }
    if (m_hWnd != nullptr) LayOut(m_hWnd->width(), m_hWnd->height());
}

String CTallyscopeView::NextEventText() const {
    if (m_list.GetSafeHwnd() == nullptr) return String();
    const int running = m_list.runningRow();
    const int count = m_list.GetItemCount();
    // The list's running row is the last Running event it counted down;
    // it counts only while that row is still marked running.
    if (running < 0 || running >= count || !m_list.GetItemMark(running)) return "No event running";
    if (running + 1 >= count) return "Next: none after the running event";
    const Timecode& left = m_list.countdown();
    const long long seconds = 3600LL * left.hh + 60LL * left.mm + left.ss;
    QString text = QStringLiteral("Next: %1 '%2'")
                       .arg(QString::fromUtf8(m_list.GetItemText(running + 1, kColumnId).GetString()),
                            QString::fromUtf8(m_list.GetItemText(running + 1, kColumnTitle).GetString()));
    if (seconds <= 0) {
        text += QStringLiteral(", due now");
    } else {
        text += QStringLiteral(" in %1:%2:%3")
                    .arg(seconds / 3600, 2, 10, QChar('0'))
                    .arg((seconds / 60) % 60, 2, 10, QChar('0'))
                    .arg(seconds % 60, 2, 10, QChar('0'));
    }
    return String(text.toUtf8().constData());
}

void CTallyscopeView::UpdateNextEvent() {
    if (m_header == nullptr) return;
    const QString text = QString::fromUtf8(NextEventText().GetString());
    if (m_header->text() != text) m_header->setText(text);
    if (m_header->toolTip() != text) m_header->setToolTip(text);
}

void CTallyscopeView::FillList() {
    const CTallyscopeDoc* doc = GetDocument();
    if (doc == nullptr) return;
    const CElementNode root = doc->m_root;
    if (std::optional<CTime> clock = ReadPlaylistClock(root)) {
        if (CTallyscopeApp* app = GetTallyscopeApp()) app->SetClock(*clock);
    }
    // Rows are rewritten in place: unchanged cells are not touched, and the
    // operator's scroll position stays.
    m_applying = true;
    int row = 0;
    for (CElementNode event = FirstPlaylistEvent(root); !event.IsNull(); event = event.GetNextSibling())
        m_list.SetEventRow(row++, ReadPlaylistEvent(event));
    m_list.TruncateRows(row);
    m_applying = false;
    ApplySelection();
    if (!m_columnsRestored && !root.IsNull()) RestoreColumns();
}

String CTallyscopeView::ColumnsKey() const {
    const CTallyscopeDoc* doc = GetDocument();
    if (doc == nullptr || doc->m_root.IsNull()) return String();
    const CSessionDocManager* manager = GetSessionDocManager();
    return PlaylistSettingsKey(manager != nullptr ? manager->StudioName() : String(), ReadPlaylistName(doc->m_root));
}

void CTallyscopeView::RestoreColumns() {
    m_columnsRestored = true;
    CTallyscopeApp* app = GetTallyscopeApp();
    const String key = ColumnsKey();
    if (app == nullptr || key.IsEmpty()) return;
    const QStringList widths =
        QString::fromUtf8(app->GetProfileString("Columns", key, "").GetString()).split(QChar(','), Qt::SkipEmptyParts);
    if (widths.size() != m_list.GetColumnCount()) return;  // none saved, or from another layout
    m_settingColumns = true;
    for (int column = 0; column < widths.size(); ++column) {
        bool ok = false;
        const int width = widths[column].toInt(&ok);
        if (ok && width >= 0 && width <= 10000) m_list.SetColumnWidth(column, width);
    }
    m_settingColumns = false;
}

void CTallyscopeView::SaveColumns() {
    CTallyscopeApp* app = GetTallyscopeApp();
    const String key = ColumnsKey();
    if (app == nullptr || key.IsEmpty()) return;
    QStringList widths;
    for (int column = 0; column < m_list.GetColumnCount(); ++column)
        widths << QString::number(m_list.GetColumnWidth(column));
    app->WriteProfileString("Columns", key, widths.join(QChar(',')).toUtf8().constData());
    // The operator's widths now count, not ones saved before.
    m_columnsRestored = true;
}

void CTallyscopeView::OnFitColumns() {
    QTreeView* tree = m_list.GetTreeView();
    if (tree == nullptr) return;
    m_settingColumns = true;
    for (int column = 1; column < m_list.GetColumnCount(); ++column) {
        tree->resizeColumnToContents(column);
        // Never narrower than the heading.
        const int heading = tree->header()->sectionSizeHint(column);
        if (m_list.GetColumnWidth(column) < heading) m_list.SetColumnWidth(column, heading);
    }
    m_settingColumns = false;
    SaveColumns();
}

void CTallyscopeView::OnUpdateFitColumns(CCmdUI* ui) { ui->Enable(m_list.GetSafeHwnd() != nullptr); }

void CTallyscopeView::ApplySelection() {
    if (m_list.GetSafeHwnd() == nullptr) return;
    m_applying = true;
    const int count = m_list.GetItemCount();
    int current = -1;
    for (int row = 0; row < count; ++row) {
        bool wanted = false;
        if (m_chosen.empty()) {
            wanted = m_list.GetItemMark(row);  // the running rows
        } else {
            const std::string id = m_list.GetItemText(row, kColumnId).GetString();
            wanted = m_chosen.count(id) != 0;
            if (current < 0 && id == m_lastChosen) current = row;
        }
        const bool selected = m_list.GetItemState(row, LVIS_SELECTED) != 0;
        if (wanted != selected) m_list.SetItemState(row, wanted ? LVIS_SELECTED : 0, LVIS_SELECTED);
    }
    // The current row is the last chosen event, else the running row, so
    // that focusing the list never selects a row of its own accord.
    if (current < 0 && m_chosen.empty()) current = m_list.runningRow() < count ? m_list.runningRow() : -1;
    if (current >= 0 && m_list.GetItemState(current, LVIS_FOCUSED) == 0)
        m_list.SetItemState(current, LVIS_FOCUSED, LVIS_FOCUSED);
    // Until the operator scrolls, the running event stays in view.
    const int running = m_list.runningRow();
    if (!m_list.OperatorScrolled() && running >= 0 && running < count) m_list.EnsureVisible(running, false);
    m_applying = false;
}

void CTallyscopeView::TakeChoice() {
    if (m_applying || m_list.GetSafeHwnd() == nullptr) return;
    m_chosen.clear();
    for (int row = m_list.GetNextItem(-1, LVNI_SELECTED); row >= 0; row = m_list.GetNextItem(row, LVNI_SELECTED))
        m_chosen.insert(m_list.GetItemText(row, kColumnId).GetString());
    const int current = m_list.GetNextItem(-1, LVNI_FOCUSED);
    if (current >= 0 && m_list.GetItemState(current, LVIS_SELECTED) != 0) {
        m_lastChosen = m_list.GetItemText(current, kColumnId).GetString();
    } else if (m_chosen.empty()) {
        m_lastChosen.clear();
    } else if (m_chosen.count(m_lastChosen) == 0) {
        m_lastChosen = *m_chosen.begin();
    }
}

bool CTallyscopeView::ClearChoice() {
    const bool had = !m_chosen.empty() || m_list.OperatorScrolled();
    m_chosen.clear();
    m_lastChosen.clear();
    m_list.ResetOperatorScrolled();
    ApplySelection();
    return had;
}

void CTallyscopeView::OnUpdateClearChoice(CCmdUI* ui) { ui->Enable(HasChoice() || m_list.OperatorScrolled()); }

void CTallyscopeView::UpdateFreshness() {
    const CTallyscopeDoc* doc = GetDocument();
    if (doc == nullptr) return;
    // Why the rows may be stale, first reason first; latched until a good
    // fetch with both links up.
    QString reason;
    QDateTime since;
    if (!doc->FetchError().IsEmpty()) {
        // The window names its playlist: the reason alone reads first.
        QString error = QString::fromUtf8(doc->FetchError().GetString());
        const QString prefix = QString::fromUtf8(doc->m_url.GetString()) + QStringLiteral(": ");
        if (!doc->m_url.IsEmpty() && error.startsWith(prefix)) error.remove(0, prefix.size());
        reason = QStringLiteral("last fetch failed: %1").arg(error);
        since = doc->FetchErrorSince();
    } else if (const CSessionDocManager* manager = GetSessionDocManager();
               manager != nullptr && manager->SessionUp() == 1) {
        if (!manager->LinkUp()) {
            reason = QStringLiteral("no link to the server");
            since = manager->AggrDownSince();
        } else if (!manager->StudioLinkUp()) {
            reason = QStringLiteral("the studio is disconnected from the server");
            since = manager->StudioDownSince();
        }
    }
    if (!reason.isEmpty()) {
        if (m_staleReason.isEmpty()) m_staleSince = since.isValid() ? since : QDateTime::currentDateTime();
        m_staleReason = reason;
    }
    m_list.SetCountdownGreyed(IsStale());
    if (m_strip == nullptr) return;
    const QString text = QString::fromUtf8(FreshnessText().GetString());
    if (m_strip->text() != text) m_strip->setText(text);
    // The whole story, with the URL, on hovering.
    const QString tip = IsStale() && !doc->FetchError().IsEmpty()
                            ? text + QStringLiteral("\n") + QString::fromUtf8(doc->FetchError().GetString())
                            : text;
    if (m_strip->toolTip() != tip) m_strip->setToolTip(tip);
    // Stale says so by a sign and words, the colour only helps.
    const QString style = IsStale() ? QStringLiteral("QLabel { background: #FFE08A; color: #000000; }") : QString();
    if (m_strip->styleSheet() != style) m_strip->setStyleSheet(style);
}

String CTallyscopeView::FreshnessText() const {
    const CTallyscopeDoc* doc = GetDocument();
    if (doc == nullptr) return String();
    QString text;
    const QDateTime& good = doc->LastGoodFetch();
    const QString last = good.isValid() ? QStringLiteral("%1 (%2)").arg(TimeText(good), AgoText(good)) : QString();
    if (IsStale()) {
        // The times first: the reason may be long and is cut at the edge
        // (the tool tip holds it all).
        text = QStringLiteral("\u26A0 STALE since %1, ").arg(TimeText(m_staleSince));
        text += good.isValid() ? QStringLiteral("rows from %1").arg(last) : QStringLiteral("no rows fetched yet");
        text += QStringLiteral(": %1.").arg(m_staleReason);
    } else if (good.isValid()) {
        text = QStringLiteral("Updated %1").arg(last);
    } else if (doc->FetchRunning()) {
        text = QStringLiteral("Fetching...");
    }
    return String(text.toUtf8().constData());
}

int CTallyscopeView::QuorCommandRow() const {
    if (m_list.GetSafeHwnd() == nullptr) return -1;
    // Only an event the operator chose; a row the rebuild selected is not
    // one, and a chosen event that left the playlist has no row.
    if (m_chosen.empty()) return -1;
    const int row = m_list.GetFirstSelectedItem();
    if (row < 0) return -1;
    if (m_chosen.count(m_list.GetItemText(row, kColumnId).GetString()) == 0) return -1;
    if (m_list.GetItemText(row, kColumnSegment) == "-1") return -1;
    return row;
}

void CTallyscopeView::OnUpdateQuorCommand(CCmdUI* ui) { ui->Enable(QuorCommandRow() >= 0); }

namespace {

String PlaylistName(const CTallyscopeDoc* doc) {
    return doc != nullptr ? doc->m_root.GetAttribute("name").GetValue() : String();
}

// The document and the event a command is given on, with the event's
// trigger as the rows show it now.
CommandOrigin OriginOf(const CTallyscopeDoc* doc, const CListCtrl& list, int row) {
    CommandOrigin origin;
    const String eventId = list.GetItemText(row, kColumnId);
    origin.title = list.GetItemText(row, kColumnTitle);
    if (doc == nullptr) return origin;
    origin.url = doc->m_url;
    for (CElementNode event = FirstPlaylistEvent(doc->m_root); !event.IsNull(); event = event.GetNextSibling()) {
        const PlaylistEvent e = ReadPlaylistEvent(event);
        if (!(e.eventId == eventId)) continue;
        origin.currentState.Format("The trigger is %s now%s; its Quor server is %s.", e.triggerActive ? "on" : "off",
                                   e.triggerSent ? " (sent)" : "", e.quorServer.GetString());
        break;
    }
    return origin;
}

}  // namespace

void CTallyscopeView::OnQuorTriggerOff() {
    const int row = QuorCommandRow();
    if (row < 0) return;
    const CommandOrigin origin = OriginOf(GetDocument(), m_list, row);
    if (CTallyscopeApp* app = GetTallyscopeApp())
        app->SendNoQuorTrigger(PlaylistName(GetDocument()), m_list.GetItemText(row, kColumnId), &origin);
}

void CTallyscopeView::OnQuorTriggerOn() {
    const int row = QuorCommandRow();
    if (row < 0) return;
    const CommandOrigin origin = OriginOf(GetDocument(), m_list, row);
    if (CTallyscopeApp* app = GetTallyscopeApp())
        app->SendEnableQuorTrigger(PlaylistName(GetDocument()), m_list.GetItemText(row, kColumnId), &origin);
}

void CTallyscopeView::OnQuorServerChange() {
    const int row = QuorCommandRow();
    if (row < 0) return;
    // The event is named now: a rebuild while the dialog is up may move it.
    const String eventId = m_list.GetItemText(row, kColumnId);
    const CommandOrigin origin = OriginOf(GetDocument(), m_list, row);
    CQuorServerDlg dialog(m_list.GetItemText(row, kColumnQuorServer));
    if (dialog.DoModal() != IDOK) return;
    if (CTallyscopeApp* app = GetTallyscopeApp())
        app->SendChangeQuorServer(PlaylistName(GetDocument()), eventId, dialog.m_address, &origin);
    // The event's row now, if it is still in the playlist.
    for (int r = 0; r < m_list.GetItemCount(); ++r) {
        if (m_list.GetItemText(r, kColumnId) == eventId) {
            m_list.SetItemText(r, kColumnQuorServer, dialog.m_address);
            break;
        }
    }
}
