#include "app/TallyscopeView.h"

#include "app/QuorServerDlg.h"
#include "app/Resource.h"
#include "app/TallyscopeApp.h"
#include "app/TallyscopeDoc.h"
#include "model/PlaylistEvent.h"

IMPLEMENT_DYNCREATE(CTallyscopeView, CView)

namespace {
constexpr UINT kListId = 1;
constexpr UINT_PTR kCountdownTimer = 1001;
}  // namespace

CTallyscopeView::CTallyscopeView() {
    MapCommandUI(ID_QUOR_TRIGGER_OFF, &CTallyscopeView::OnUpdateQuorCommand);
    MapCommandUI(ID_QUOR_TRIGGER_ON, &CTallyscopeView::OnUpdateQuorCommand);
    MapCommandUI(ID_QUOR_SERVER_CHANGE, &CTallyscopeView::OnUpdateQuorCommand);
    MapCommand(ID_QUOR_TRIGGER_OFF, &CTallyscopeView::OnQuorTriggerOff);
    MapCommand(ID_QUOR_TRIGGER_ON, &CTallyscopeView::OnQuorTriggerOn);
    MapCommand(ID_QUOR_SERVER_CHANGE, &CTallyscopeView::OnQuorServerChange);
}

CTallyscopeDoc* CTallyscopeView::GetDocument() const { return dynamic_cast<CTallyscopeDoc*>(m_pDocument); }

bool CTallyscopeView::DestroyWindow() {
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
    FillList();
    m_initialized = 1;
    m_timerId = static_cast<unsigned int>(SetTimer(kCountdownTimer, 1000));
}

void CTallyscopeView::OnUpdate(CView*, LPARAM, CObject*) {
    if (m_initialized != 1) return;
    m_list.DeleteAllItems();
    FillList();
}

void CTallyscopeView::OnDraw(CDC*) {}

void CTallyscopeView::OnTimer(UINT_PTR id) {
    m_list.TickRunningRow();
    CView::OnTimer(id);
}

void CTallyscopeView::OnSize(UINT type, int cx, int cy) {
    CView::OnSize(type, cx, cy);
    if (m_list.GetSafeHwnd() != nullptr) m_list.MoveWindow(0, 0, cx, cy, true);
}

void CTallyscopeView::FillList() {
    const CTallyscopeDoc* doc = GetDocument();
    if (doc == nullptr) return;
    const CElementNode root = doc->m_root;
    if (std::optional<CTime> clock = ReadPlaylistClock(root)) {
        if (CTallyscopeApp* app = GetTallyscopeApp()) app->SetClock(*clock);
    }
    for (CElementNode event = FirstPlaylistEvent(root); !event.IsNull(); event = event.GetNextSibling())
        m_list.AddEventRow(ReadPlaylistEvent(event));
}

int CTallyscopeView::QuorCommandRow() const {
    if (m_list.GetSafeHwnd() == nullptr) return -1;
    const int row = m_list.GetFirstSelectedItem();
    if (row < 0) return -1;
    if (m_list.GetItemText(row, kColumnSegment) == "-1") return -1;
    return row;
}

void CTallyscopeView::OnUpdateQuorCommand(CCmdUI* ui) { ui->Enable(QuorCommandRow() >= 0); }

namespace {

String PlaylistName(const CTallyscopeDoc* doc) {
    return doc != nullptr ? doc->m_root.GetAttribute("name").GetValue() : String();
}

}  // namespace

void CTallyscopeView::OnQuorTriggerOff() {
    const int row = m_list.GetSafeHwnd() != nullptr ? m_list.GetFirstSelectedItem() : -1;
    if (row < 0) return;
    if (CTallyscopeApp* app = GetTallyscopeApp())
        app->SendNoQuorTrigger(PlaylistName(GetDocument()), m_list.GetItemText(row, kColumnId));
}

void CTallyscopeView::OnQuorTriggerOn() {
    const int row = m_list.GetSafeHwnd() != nullptr ? m_list.GetFirstSelectedItem() : -1;
    if (row < 0) return;
    if (CTallyscopeApp* app = GetTallyscopeApp())
        app->SendEnableQuorTrigger(PlaylistName(GetDocument()), m_list.GetItemText(row, kColumnId));
}

void CTallyscopeView::OnQuorServerChange() {
    const int row = m_list.GetSafeHwnd() != nullptr ? m_list.GetFirstSelectedItem() : -1;
    if (row < 0) return;
    CQuorServerDlg dialog(m_list.GetItemText(row, kColumnQuorServer));
    if (dialog.DoModal() != IDOK) return;
    if (CTallyscopeApp* app = GetTallyscopeApp())
        app->SendChangeQuorServer(PlaylistName(GetDocument()), m_list.GetItemText(row, kColumnId), dialog.m_address);
    m_list.SetItemText(row, kColumnQuorServer, dialog.m_address);
}
