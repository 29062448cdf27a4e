// CQuorServerDlg: asks for the content-server address of one event's
// trigger. Free text, not validated.
//
// GUI thread only.
#pragma once

#include "external/String.h"
#include "framework/Dialog.h"

class CQuorServerDlg : public CDialog {
public:
    // address: the row's current server text. No parent.
    explicit CQuorServerDlg(const String& address);

    void DoDataExchange(CDataExchange* dx) override;
    // The edit box into m_address, then the framework's OK.
    void OnOK() override;

    String m_address;
};
