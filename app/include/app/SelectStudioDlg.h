// CSelectStudioDlg: the operator picks the studio to watch. An editable,
// sorted combo box lists the studio names (item 0 selected); the operator
// may also type a name that is not in the list.
//
// GUI thread only.
#pragma once

#include "external/String.h"
#include "framework/Dialog.h"

class CSelectStudioDlg : public CDialog {
public:
    // The names are copied; no parent.
    explicit CSelectStudioDlg(const StringList& studios);

    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange* dx) override;

    StringList m_studios;
    String m_selected;  // the combo box text after OK
};
