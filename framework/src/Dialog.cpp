#include "framework/Dialog.h"

#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <exception>

#include "Hosts.h"
#include "Modal.h"
#include "framework/Resources.h"

namespace {

// The dialog's widget: OK and Cancel (buttons, Enter, Escape, the close box)
// go to the framework object.
class DialogHost : public QDialog {
public:
    explicit DialogHost(QWidget* parent) : QDialog(parent) {}
    void accept() override { Forward(IDOK); }
    void reject() override { Forward(IDCANCEL); }

private:
    void Forward(int id) {
        auto* dialog = dynamic_cast<CDialog*>(CWnd::FromHandle(this));
        if (dialog == nullptr) {
            QDialog::done(id);
            return;
        }
        AfxGuard("dialog command", [&] { dialog->HandleButton(id); });
    }
};

// "&Name" shows as "Name"; "&&" is one '&'.
QString WithoutPrefix(const String& text) {
    QString out;
    const QString in = QString::fromUtf8(text.GetString());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == u'&') {
            if (i + 1 < in.size() && in[i + 1] == u'&') out += u'&', ++i;
            continue;
        }
        out += in[i];
    }
    return out;
}

QComboBox* ComboOf(CWnd* wnd) { return wnd != nullptr ? qobject_cast<QComboBox*>(wnd->m_hWnd) : nullptr; }

CWnd* Control(CDataExchange* dx, int id) { return dx->m_pDlgWnd != nullptr ? dx->m_pDlgWnd->GetDlgItem(id) : nullptr; }

}  // namespace

// ---- data exchange ---------------------------------------------------------

void DDX_Text(CDataExchange* dx, int id, String& value) {
    CWnd* control = Control(dx, id);
    if (control == nullptr) return;
    if (dx->m_bSaveAndValidate) value = control->GetWindowText();
    else control->SetWindowText(value);
}

void DDX_Text(CDataExchange* dx, int id, int& value) {
    CWnd* control = Control(dx, id);
    if (control == nullptr) return;
    if (!dx->m_bSaveAndValidate) {
        String text;
        text.Format("%d", value);
        control->SetWindowText(text);
        return;
    }
    bool ok = false;
    const int parsed = QString::fromUtf8(control->GetWindowText().GetString()).trimmed().toInt(&ok, 10);
    if (!ok) {
        AfxMessageBox("Please enter an integer.", MB_OK | MB_ICONEXCLAMATION);
        control->SetFocus();
        dx->Fail();
        return;
    }
    value = parsed;
}

void DDX_CBString(CDataExchange* dx, int id, String& value) {
    CWnd* control = Control(dx, id);
    QComboBox* combo = ComboOf(control);
    if (combo == nullptr) return;
    if (dx->m_bSaveAndValidate) {
        value = combo->currentText().toUtf8().constData();
        return;
    }
    // Select the first item that starts with the value (the empty value
    // matches the first item); otherwise just set the edit text.
    const QString wanted = QString::fromUtf8(value.GetString());
    for (int i = 0; i < combo->count(); ++i) {
        if (combo->itemText(i).startsWith(wanted, Qt::CaseInsensitive)) {
            combo->setCurrentIndex(i);
            return;
        }
    }
    if (combo->isEditable()) combo->setEditText(wanted);
}

// ---- controls --------------------------------------------------------------

QLineEdit* CEdit::GetLineEdit() const { return qobject_cast<QLineEdit*>(m_hWnd); }

QComboBox* CComboBox::GetComboBox() const { return qobject_cast<QComboBox*>(m_hWnd); }

int CComboBox::AddString(const char* text) {
    QComboBox* combo = GetComboBox();
    if (combo == nullptr) return CB_ERR;
    const QString t = QString::fromUtf8(text != nullptr ? text : "");
    int index = combo->count();
    if (m_sorted) {
        // After any equal items, before the first greater one.
        for (int i = 0; i < combo->count(); ++i) {
            if (QString::compare(combo->itemText(i), t, Qt::CaseInsensitive) > 0) {
                index = i;
                break;
            }
        }
    }
    combo->insertItem(index, t);
    return index;
}

int CComboBox::GetCount() const {
    QComboBox* combo = GetComboBox();
    return combo != nullptr ? combo->count() : CB_ERR;
}

int CComboBox::SetCurSel(int index) {
    QComboBox* combo = GetComboBox();
    if (combo == nullptr) return CB_ERR;
    if (index == -1) {
        combo->setCurrentIndex(-1);
        return CB_ERR;
    }
    if (index < 0 || index >= combo->count()) return CB_ERR;
    combo->setCurrentIndex(index);
    return index;
}

void CComboBox::GetLBText(int index, String& text) const {
    QComboBox* combo = GetComboBox();
    text = combo != nullptr && index >= 0 && index < combo->count() ? combo->itemText(index).toUtf8().constData() : "";
}

void CComboBox::MoveWindow(int x, int y, int width, int height, bool repaint) {
    QComboBox* combo = GetComboBox();
    if (combo == nullptr) return;
    const int own = combo->sizeHint().height();
    combo->setGeometry(x, y, width < 0 ? 0 : width, own);
    const int row = combo->fontMetrics().height() + 2;
    const int extra = height - own;
    if (extra > 0) combo->setMaxVisibleItems(std::max(1, extra / row));
    if (repaint) combo->update();
}

// ---- CDialog ---------------------------------------------------------------

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
    controls_.clear();
    anonymous_.clear();
    if (QWidget* w = Detach()) delete w;
}

QDialog* CDialog::GetDialogWidget() const { return qobject_cast<QDialog*>(m_hWnd); }

void CDialog::BuildFromTemplate() {
    const CDialogResource* resource = AfxFindResourceDialog(m_nIDTemplate);
    QDialog* dialog = GetDialogWidget();
    dialog->setWindowTitle(QString::fromUtf8(resource->caption.GetString()));
    // Dialog units: a quarter of the average character width across, an
    // eighth of the character height down.
    const QFontMetrics fm(dialog->font());
    const int bx = std::max(1, fm.averageCharWidth());
    const int by = std::max(1, fm.height());
    auto px = [bx](int du) { return du * bx / 4; };
    auto py = [by](int du) { return du * by / 8; };
    dialog->setFixedSize(px(resource->cx), py(resource->cy));
    for (const CDialogItemResource& item : resource->items) {
        std::unique_ptr<CWnd> wnd;
        QWidget* widget = nullptr;
        switch (item.kind) {
            case CDialogItemResource::Text: {
                auto* label = new QLabel(dialog);
                label->setTextFormat(Qt::PlainText);
                label->setText((item.style & SS_NOPREFIX) ? QString::fromUtf8(item.text.GetString())
                                                          : WithoutPrefix(item.text));
                widget = label;
                wnd = std::make_unique<CStatic>();
                break;
            }
            case CDialogItemResource::Icon: {
                auto* label = new QLabel(dialog);
                label->setPixmap(AfxLoadIcon(item.iconId).pixmap(32, 32));
                widget = label;
                wnd = std::make_unique<CStatic>();
                break;
            }
            case CDialogItemResource::Edit: {
                auto* edit = new QLineEdit(dialog);
                edit->setReadOnly((item.style & ES_READONLY) != 0);
                widget = edit;
                wnd = std::make_unique<CEdit>();
                break;
            }
            case CDialogItemResource::ComboBox: {
                auto* combo = new QComboBox(dialog);
                const bool editable = (item.style & CBS_DROPDOWNLIST) == CBS_DROPDOWN;
                combo->setEditable(editable);
                if (editable) combo->setInsertPolicy(QComboBox::NoInsert);
                widget = combo;
                auto box = std::make_unique<CComboBox>();
                box->SetSorted((item.style & CBS_SORT) != 0);
                wnd = std::move(box);
                break;
            }
            case CDialogItemResource::PushButton:
            case CDialogItemResource::DefPushButton: {
                auto* button = new QPushButton(QString::fromUtf8(item.text.GetString()), dialog);
                button->setDefault(item.kind == CDialogItemResource::DefPushButton);
                button->setAutoDefault(item.kind == CDialogItemResource::DefPushButton);
                const int id = item.id;
                QObject::connect(button, &QPushButton::clicked, button,
                                 [this, id] { AfxGuard("dialog button", [&] { HandleButton(id); }); });
                widget = button;
                wnd = std::make_unique<CButton>();
                break;
            }
        }
        wnd->Attach(widget);
        wnd->SetDlgCtrlID(item.id);
        wnd->MoveWindow(px(item.x), py(item.y), px(item.cx), py(item.cy), false);
        if (item.id == IDC_STATIC) anonymous_.push_back(std::move(wnd));
        else controls_[item.id] = std::move(wnd);
    }
}

int CDialog::DoModal() {
    if (m_hWnd != nullptr || AfxFindResourceDialog(m_nIDTemplate) == nullptr) return -1;
    // No parent given: the main window owns the dialog.
    CWnd* parent = m_pParentWnd != nullptr ? m_pParentWnd : AfxGetMainWnd();
    auto* dialog = new DialogHost(parent != nullptr ? parent->m_hWnd : nullptr);
    AttachWidget(dialog);
    dialog->setModal(true);
    int result = IDCANCEL;
    try {
        BuildFromTemplate();
        OnInitDialog();
        CModalRun run;
        run.kind = CModalRun::Dialog;
        run.dialog = this;
        run.widget = dialog;
        result = AfxRunModal(dialog, run, [this](int answer) {
            if (answer == IDOK) OnOK();
            else if (answer == IDCANCEL) OnCancel();
            else EndDialog(answer);
        });
    } catch (...) {
        controls_.clear();
        anonymous_.clear();
        if (QWidget* w = Detach()) delete w;
        throw;
    }
    controls_.clear();
    anonymous_.clear();
    if (QWidget* w = Detach()) delete w;
    return result;
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::OnOK() {
    if (!UpdateData(true)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::EndDialog(int result) {
    if (QDialog* dialog = GetDialogWidget()) dialog->done(result);
}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.m_bFailed;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::HandleButton(int id) {
    if (id == IDOK) OnOK();
    else if (id == IDCANCEL) OnCancel();
    else OnCmdMsg(static_cast<UINT>(id), CmdKind::Execute, nullptr);
}

// ---- CFileDialog -----------------------------------------------------------

CFileDialog::CFileDialog(bool openFileDialog, const char* defaultName, const char* title)
    : m_open(openFileDialog),
      m_fileName(defaultName),
      m_title(title != nullptr ? title : (openFileDialog ? "Open" : "Save As")) {}

int CFileDialog::DoModal() {
    CWnd* mainWnd = AfxGetMainWnd();
    QFileDialog dialog(mainWnd != nullptr ? mainWnd->m_hWnd : nullptr, QString::fromUtf8(m_title.GetString()));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(m_open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(m_open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (!m_fileName.IsEmpty()) dialog.selectFile(QString::fromUtf8(m_fileName.GetString()));
    CModalRun run;
    run.kind = CModalRun::FileDialog;
    run.widget = &dialog;
    run.text = m_title;
    run.type = m_open ? 1 : 0;
    bool answered = false;
    const int code = AfxRunModal(&dialog, run, [&](int answer) {
        answered = true;
        if (answer == IDOK) {
            m_fileName = run.fileName;
            static_cast<QDialog&>(dialog).done(QDialog::Accepted);
        } else {
            static_cast<QDialog&>(dialog).done(QDialog::Rejected);
        }
    });
    if (code != QDialog::Accepted) return IDCANCEL;
    if (!answered) {
        const QStringList files = dialog.selectedFiles();
        m_fileName = files.isEmpty() ? "" : files.first().toUtf8().constData();
    }
    return IDOK;
}
