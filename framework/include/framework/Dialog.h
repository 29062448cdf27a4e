// Modal dialogs built from dialog templates (Resources.h), their controls and
// data exchange, and the file dialog.
//
// DoModal builds a QDialog from the template, runs OnInitDialog (which moves
// the members into the controls through DoDataExchange), and executes the
// dialog in a nested event loop. The OK button runs OnOK (data exchange from
// the controls, then EndDialog(IDOK)); Cancel, Escape and the close box run
// OnCancel. A test answers through AfxSetModalRunHook (Afx.h). No idle pass
// runs while a dialog is open.
//
// GUI thread only.
#pragma once

#include <map>
#include <memory>

#include "framework/Wnd.h"

class QComboBox;
class QDialog;
class QLineEdit;
class CDialog;

// Data exchange direction and the dialog it works on.
class CDataExchange {
public:
    CDataExchange(CWnd* dialog, bool saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
    bool m_bSaveAndValidate;  // true: controls to members
    CWnd* m_pDlgWnd;
    // Marks the exchange failed (validation); UpdateData then returns false.
    void Fail() { m_bFailed = true; }
    bool m_bFailed = false;
};

// Text of an edit box, static or combo box (its edit text) to and from value.
void DDX_Text(CDataExchange* dx, int id, String& value);
// A decimal number; a text that is not one fails the exchange.
void DDX_Text(CDataExchange* dx, int id, int& value);
// A combo box's text: storing selects the item that starts with value (or
// sets the edit text of an editable combo); saving reads the edit text, or
// the selected item's text.
void DDX_CBString(CDataExchange* dx, int id, String& value);

class CStatic : public CWnd {
public:
    CStatic() = default;
};

class CButton : public CWnd {
public:
    CButton() = default;
};

class CEdit : public CWnd {
public:
    CEdit() = default;
    QLineEdit* GetLineEdit() const;
};

class CComboBox : public CWnd {
public:
    CComboBox() = default;
    QComboBox* GetComboBox() const;

    bool IsSorted() const { return m_sorted; }
    void SetSorted(bool sorted) { m_sorted = sorted; }

    // Adds at the sorted place (case-insensitive) when the combo is sorted,
    // else at the end. Returns the index.
    int AddString(const char* text);
    int GetCount() const;
    // -1 clears the selection; CB_ERR for an index out of range.
    int SetCurSel(int index);
    void GetLBText(int index, String& text) const;
    // Combo boxes keep their own height; height beyond it sizes the drop-down
    // list (the number of items shown), as a drop-down combo's window does.
    void MoveWindow(int x, int y, int width, int height, bool repaint = true) override;

private:
    bool m_sorted = false;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // IDOK, IDCANCEL or the value given to EndDialog; -1 when the template
    // is missing.
    virtual int DoModal();
    // Base: UpdateData(false); returns true.
    virtual bool OnInitDialog();
    // Base: UpdateData(true), then EndDialog(IDOK) when it succeeded.
    virtual void OnOK();
    // Base: EndDialog(IDCANCEL).
    virtual void OnCancel();
    void EndDialog(int result);

    // saveAndValidate: controls to members. False when validation failed.
    bool UpdateData(bool saveAndValidate = true);
    virtual void DoDataExchange(CDataExchange* dx);

    // The dialog's controls live while its window does.
    QDialog* GetDialogWidget() const;

    // Framework plumbing: a button of the template was clicked.
    void HandleButton(int id);

protected:
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    void BuildFromTemplate();
    std::map<int, std::unique_ptr<CWnd>> controls_;
    std::vector<std::unique_ptr<CWnd>> anonymous_;
};

// A file chooser (QFileDialog, not the platform's native one, so a test can
// answer it through the modal-run hook).
class CFileDialog {
public:
    CFileDialog(bool openFileDialog, const char* defaultName = nullptr, const char* title = nullptr);
    // IDOK or IDCANCEL.
    int DoModal();
    String GetPathName() const { return m_fileName; }

private:
    bool m_open;
    String m_fileName;
    String m_title;
};
