// Modal dialogs from templates: data exchange both ways, OK and Cancel, the
// refusing OnOK, combo boxes, message boxes and file dialogs.
#include <QComboBox>
#include <QMessageBox>
#include <QLineEdit>

#include "TestClasses.h"
#include "framework/Dialog.h"

using namespace fwtest;
using guitest::ScopedModalHook;

namespace {

enum : UINT { IDD_TEST = 400, IDC_NAME = 1001, IDC_COUNT = 1002, IDC_CHOICE = 1003 };

void RegisterTestDialog() {
    using I = CDialogItemResource;
    CDialogResource d;
    d.caption = "Test Dialog";
    d.cx = 200;
    d.cy = 100;
    d.items = {
        I{I::Text, IDC_STATIC, "&Name:", 0, 5, 5, 40, 8, 0},
        I{I::Edit, IDC_NAME, "", 0, 50, 5, 100, 12, ES_AUTOHSCROLL},
        I{I::Edit, IDC_COUNT, "", 0, 50, 20, 100, 12, 0},
        I{I::ComboBox, IDC_CHOICE, "", 0, 50, 35, 100, 80, CBS_DROPDOWN | CBS_SORT},
        I{I::DefPushButton, IDOK, "OK", 0, 50, 80, 40, 14, 0},
        I{I::PushButton, IDCANCEL, "Cancel", 0, 100, 80, 40, 14, 0},
    };
    AfxSetResourceDialog(IDD_TEST, d);
}

class TestDialog : public CDialog {
public:
    TestDialog() : CDialog(IDD_TEST) {}
    bool OnInitDialog() override {
        CDialog::OnInitDialog();
        auto* combo = static_cast<CComboBox*>(GetDlgItem(IDC_CHOICE));
        for (const char* item : {"delta", "Alpha", "charlie", "bravo"}) combo->AddString(item);
        combo->SetCurSel(0);
        return true;
    }
    void DoDataExchange(CDataExchange* dx) override {
        DDX_Text(dx, IDC_NAME, name);
        DDX_Text(dx, IDC_COUNT, count);
        DDX_CBString(dx, IDC_CHOICE, choice);
    }
    String name = "initial";
    int count = 3;
    String choice;
};

}  // namespace

TEST_F(FrameworkTest, DialogExchangesDataOnOkOnly) {
    RegisterTestDialog();
    TestApp app;
    std::string seenName;
    std::string caption;
    std::vector<std::string> items;
    ScopedModalHook hook([&](CModalRun& run) {
        EXPECT_EQ(run.kind, CModalRun::Dialog);
        caption = run.widget->windowTitle().toStdString();
        seenName = run.dialog->GetDlgItemText(IDC_NAME).GetString();
        auto* combo = static_cast<CComboBox*>(run.dialog->GetDlgItem(IDC_CHOICE));
        for (int i = 0; i < combo->GetCount(); ++i) {
            String text;
            combo->GetLBText(i, text);
            items.emplace_back(text.GetString());
        }
        run.dialog->SetDlgItemText(IDC_NAME, "typed <name> & more");
        run.dialog->SetDlgItemText(IDC_COUNT, " 42 ");
        return IDOK;
    });
    TestDialog dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(caption, "Test Dialog");
    EXPECT_EQ(seenName, "initial");
    // Sorted without regard to case; item 0 selected by OnInitDialog.
    EXPECT_EQ(items, (std::vector<std::string>{"Alpha", "bravo", "charlie", "delta"}));
    EXPECT_EQ(std::string(dlg.name), "typed <name> & more");
    EXPECT_EQ(dlg.count, 42);
    EXPECT_EQ(std::string(dlg.choice), "Alpha");
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST_F(FrameworkTest, DialogCancelKeepsTheMembers) {
    RegisterTestDialog();
    TestApp app;
    ScopedModalHook hook([&](CModalRun& run) {
        run.dialog->SetDlgItemText(IDC_NAME, "changed");
        return IDCANCEL;
    });
    TestDialog dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(std::string(dlg.name), "initial");
}

TEST_F(FrameworkTest, RefusedDataKeepsTheDialogOpenThenItIsCancelled) {
    RegisterTestDialog();
    TestApp app;
    int dialogAnswers = 0;
    int complaints = 0;
    ScopedModalHook hook([&](CModalRun& run) {
        if (run.kind == CModalRun::MessageBox) {
            EXPECT_EQ(std::string(run.text), "Please enter an integer.");
            ++complaints;
            return IDOK;
        }
        ++dialogAnswers;
        if (dialogAnswers == 1) run.dialog->SetDlgItemText(IDC_COUNT, "many");
        if (dialogAnswers == 3) run.dialog->SetDlgItemText(IDC_COUNT, "9");
        return IDOK;
    });
    TestDialog dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dialogAnswers, 3);
    EXPECT_EQ(complaints, 2);
    EXPECT_EQ(dlg.count, 9);

    // A dialog whose data is never accepted ends as cancelled.
    dialogAnswers = 0;
    complaints = 0;
    ScopedModalHook stubborn([&](CModalRun& run) {
        if (run.kind == CModalRun::Dialog) {
            ++dialogAnswers;
            run.dialog->SetDlgItemText(IDC_COUNT, "never");
        }
        return IDOK;
    });
    TestDialog again;
    EXPECT_EQ(again.DoModal(), IDCANCEL);
    EXPECT_EQ(dialogAnswers, 8);
}

TEST_F(FrameworkTest, ComboStringExchangeSelectsByPrefixOrSetsTheText) {
    RegisterTestDialog();
    TestApp app;
    std::string shown;
    ScopedModalHook hook([&](CModalRun& run) {
        auto* combo = static_cast<CComboBox*>(run.dialog->GetDlgItem(IDC_CHOICE));
        shown = combo->GetComboBox()->currentText().toStdString();
        // The operator types a name that is not in the list.
        combo->GetComboBox()->setEditText(QStringLiteral("echo"));
        return IDOK;
    });
    TestDialog dlg;
    dlg.choice = "CHAR";
    // OnInitDialog's base exchange runs before the items exist; the
    // selection is OnInitDialog's own.
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(shown, "Alpha");
    EXPECT_EQ(std::string(dlg.choice), "echo");
}

TEST_F(FrameworkTest, MessageBoxButtonsAndPlainText) {
    TestApp app;
    UINT seenType = 0;
    QString rendered;
    ScopedModalHook hook([&](CModalRun& run) {
        seenType = run.type;
        rendered = static_cast<QMessageBox*>(run.widget)->text();
        EXPECT_EQ(static_cast<QMessageBox*>(run.widget)->textFormat(), Qt::PlainText);
        EXPECT_EQ(run.widget->windowTitle(), QStringLiteral("TestApp"));
        return IDNO;
    });
    EXPECT_EQ(AfxMessageBox("<b>Save</b> changes?", MB_YESNOCANCEL), IDNO);
    EXPECT_EQ(seenType, static_cast<UINT>(MB_YESNOCANCEL));
    EXPECT_EQ(rendered, QStringLiteral("<b>Save</b> changes?"));
    // An answer the box does not offer: asked again, then ended.
    ScopedModalHook wrong([](CModalRun&) { return IDYES; });
    EXPECT_EQ(AfxMessageBox("OK only"), IDOK);
}

TEST_F(FrameworkTest, FileDialogAnswerIsTheChosenName) {
    TestApp app;
    ScopedModalHook hook([](CModalRun& run) {
        EXPECT_EQ(run.kind, CModalRun::FileDialog);
        EXPECT_EQ(run.type, 1u);
        run.fileName = "/tmp/chosen.xml";
        return IDOK;
    });
    CFileDialog dialog(true, nullptr, "Open");
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(std::string(dialog.GetPathName()), "/tmp/chosen.xml");
    ScopedModalHook cancel([](CModalRun&) { return IDCANCEL; });
    CFileDialog other(false, "x.xml");
    EXPECT_EQ(other.DoModal(), IDCANCEL);
}
