#include "app/QuorServerDlg.h"

#include "app/Resource.h"

CQuorServerDlg::CQuorServerDlg(const String& address) : CDialog(IDD_QUOR_SERVER_IP), m_address(address) {}

void CQuorServerDlg::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_Text(dx, IDC_QUOR_SERVER_IP, m_address);
}

void CQuorServerDlg::OnOK() {
    UpdateData(true);
    CDialog::OnOK();
}
