#include "app/SelectStudioDlg.h"

#include "app/Resource.h"

namespace {
// Room below the edit field for the drop-down list.
constexpr int kDropDownExtra = 100;
}  // namespace

CSelectStudioDlg::CSelectStudioDlg(const StringList& studios) : CDialog(IDD_SELECT_STUDIO), m_studios(studios) {}

bool CSelectStudioDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    auto* combo = dynamic_cast<CComboBox*>(GetDlgItem(IDC_STUDIO_COMBO));
    if (combo != nullptr) {
        CRect rect;
        combo->GetWindowRect(&rect);
        ScreenToClient(&rect);
        CRect client;
        combo->GetClientRect(&client);
        combo->MoveWindow(rect.left, rect.top, rect.Width(), client.Height() + kDropDownExtra);
        POSITION pos = m_studios.GetHeadPosition();
        while (pos != nullptr) combo->AddString(m_studios.GetNext(pos));
        combo->SetCurSel(0);
    }
    return true;  // the framework sets the focus
}

void CSelectStudioDlg::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_CBString(dx, IDC_STUDIO_COMBO, m_selected);
}
