#include "app/EventListCtrl.h"

#include <algorithm>

#include "app/Resource.h"
#include "framework/Resources.h"

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

void CEventListCtrl::TickRunningRow() {
    if (!m_running.Tick()) return;
    SetItemText(m_running.RunningRow(), kColumnDuration, m_running.Countdown().Format());
}
