#include "app/EventListCtrl.h"

#include <QFont>
#include <QHeaderView>
#include <QTreeView>

#include <algorithm>

#include "app/Resource.h"
#include "framework/Resources.h"
#include "framework/WinApp.h"

CEventListCtrl::~CEventListCtrl() {
    // The window (if any) goes first so that it never shows a freed list.
    if (GetSafeHwnd() != nullptr) DestroyWindow();
    delete m_imageList;
}

void CEventListCtrl::SetupColumns(CView*) {
    SetExtendedStyle(GetExtendedStyle() | LVS_EX_FULLROWSELECT);
    ModifyStyle(LVS_EDITLABELS, LVS_SHOWSELALWAYS);
    CreateImageList();
    CRect outer;
    GetWindowRect(&outer);
    const int seventh = outer.Width() / 7;
    // A narrow window must not give negative widths.
    const int first = std::max(0, seventh);
    const int rest = std::max(0, seventh - 3);
    for (int column = 0; column < kPlaylistColumnCount; ++column) {
        const int width = column == 0 ? 20 : column == 1 ? first : rest;
        InsertColumn(column, PlaylistColumnHeading(column), LVCFMT_CENTER, width);
    }
    if (CWinApp* app = AfxGetApp()) {
        const int warn = app->GetProfileString("Countdown", "WarnSeconds", "30").ToInt();
        const int alarm = app->GetProfileString("Countdown", "AlarmSeconds", "10").ToInt();
        SetCountdownThresholds(warn, alarm);
    }
}

void CEventListCtrl::SetZoom(int percent) {
    QTreeView* tree = GetTreeView();
    if (tree == nullptr) return;
    if (m_basePointSize <= 0) m_basePointSize = tree->font().pointSizeF() > 0 ? tree->font().pointSizeF() : 9.0;
    m_zoom = percent;
    QFont font = tree->font();
    font.setPointSizeF(m_basePointSize * percent / 100.0);
    if (tree->font() != font) {
        tree->setFont(font);
        tree->header()->setFont(font);
    }
    const int icon = std::max(8, 16 * percent / 100);
    if (tree->iconSize() != QSize(icon, icon)) tree->setIconSize(QSize(icon, icon));
    // The image column grows with its image (20 at the normal size).
    const int imageColumn = std::max(20, icon + 4);
    if (GetColumnWidth(0) < imageColumn || (percent <= 100 && GetColumnWidth(0) > 20)) SetColumnWidth(0, imageColumn);
}

void CEventListCtrl::SetCountdownThresholds(int warnSeconds, int alarmSeconds) {
    m_warnSeconds = std::clamp(warnSeconds, 0, 24 * 3600);
    m_alarmSeconds = std::clamp(alarmSeconds, 0, m_warnSeconds);
    UpdateCountdownAlert();
}

int CEventListCtrl::CountdownAlert() const {
    const int row = m_running.RunningRow();
    return row >= 0 ? GetItemAlert(row, kColumnDuration) : LVALERT_NONE;
}

void CEventListCtrl::UpdateCountdownAlert() {
    const int row = m_running.RunningRow();
    const bool shown = row >= 0 && row < GetItemCount() && GetItemMark(row);
    int level = LVALERT_NONE;
    if (shown) {
        const Timecode& left = m_running.Countdown();
        const long seconds = static_cast<long>(left.hh) * 3600 + static_cast<long>(left.mm) * 60 + left.ss;
        // Below zero the hours go negative first (-01:59:59 is one second over).
        if (left.hh < 0 || seconds < 0) {
            level = LVALERT_OVER;
        } else if (seconds <= m_alarmSeconds) {
            level = LVALERT_ALARM;
        } else if (seconds <= m_warnSeconds) {
            level = LVALERT_WARN;
        }
    }
    if (m_alertRow >= 0 && (m_alertRow != row || !shown) && m_alertRow < GetItemCount())
        SetItemAlert(m_alertRow, kColumnDuration, LVALERT_NONE);
    m_alertRow = shown ? row : -1;
    if (shown) SetItemAlert(row, kColumnDuration, level);
}

void CEventListCtrl::CreateImageList() {
    if (m_imageList == nullptr) m_imageList = new CImageList;
    m_imageList->DeleteImageList();
    m_imageList->Create(24, 24, ILC_MASK | ILC_COLOR4, 4, 4);
    for (UINT id : {IDI_EVENT_BLANK, IDI_EVENT_SENT, IDI_EVENT_ACTIVE, IDI_EVENT_IDLE})
        m_imageList->Add(AfxLoadIcon(id));
    SetImageList(m_imageList, LVSIL_NORMAL);
    SetImageList(m_imageList, LVSIL_SMALL);
}

void CEventListCtrl::AddEventRow(const PlaylistEvent& event) {
    const int row = InsertItem(GetItemCount(), "", event.ImageIndex());
    if (row < 0) return;
    for (int column = kColumnSegment; column < kPlaylistColumnCount; ++column)
        SetItemText(row, column, event.ColumnText(column));
    if (m_running.ApplyRunningRule(row, event)) SetItemState(m_running.RunningRow(), LVIS_SELECTED, LVIS_SELECTED);
}

bool CEventListCtrl::SetEventRow(int row, const PlaylistEvent& event) {
    if (row < 0 || row > GetItemCount()) return false;
    if (row == GetItemCount()) {
        if (InsertItem(row, "", event.ImageIndex()) < 0) return false;
    } else if (GetItemImage(row) != event.ImageIndex()) {
        SetItemImage(row, event.ImageIndex());
    }
    for (int column = kColumnSegment; column < kPlaylistColumnCount; ++column)
        SetItemText(row, column, event.ColumnText(column));
    const bool continues = event.IsRunning() && row == m_running.RunningRow();
    const bool running = m_running.ApplyRunningRule(row, event);
    // The continued countdown, not the playlist's full length, is the time
    // left: showing the full length until the next tick would mislead.
    if (continues) SetItemText(row, kColumnDuration, m_running.Countdown().Format());
    if (GetItemMark(row) != running) SetItemMark(row, running);
    if (running || row == m_alertRow) UpdateCountdownAlert();
    return running;
}

void CEventListCtrl::TruncateRows(int count) {
    if (count <= 0) {
        if (GetItemCount() > 0) DeleteAllItems();
        return;
    }
    for (int row = GetItemCount() - 1; row >= count; --row) DeleteItem(row);
}

void CEventListCtrl::SetCountdownGreyed(bool greyed) {
    const int row = greyed ? m_running.RunningRow() : -1;
    if (m_greyedRow >= 0 && m_greyedRow != row && m_greyedRow < GetItemCount())
        SetItemGreyed(m_greyedRow, kColumnDuration, false);
    if (row >= 0 && row < GetItemCount() && !GetItemGreyed(row, kColumnDuration))
        SetItemGreyed(row, kColumnDuration, true);
    m_greyedRow = row;
    m_countdownGreyed = greyed;
}

void CEventListCtrl::AdvanceRunningRow(std::chrono::steady_clock::time_point now) {
    // Whole seconds to the nearest: a timer that fires a little early or
    // late still counts its second, and the steps stay within half a second
    // of the clock however the timer drifts.
    constexpr auto kEarly = std::chrono::milliseconds(500);
    const long steps =
        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - m_lastStep + kEarly).count());
    if (steps <= 0) return;
    m_lastStep += std::chrono::seconds(steps);
    TickRunningRow(steps);
}

void CEventListCtrl::TickRunningRow(long steps) {
    if (!m_running.Tick(steps)) return;
    SetItemText(m_running.RunningRow(), kColumnDuration, m_running.Countdown().Format());
    UpdateCountdownAlert();
}
