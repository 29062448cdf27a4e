#include "Modal.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <map>
#include <memory>

#include "Hosts.h"
#include "framework/Resources.h"
#include "framework/WinApp.h"

namespace {

ModalRunHook& Hook() {
    static auto* hook = new ModalRunHook;
    return *hook;
}

// One hooked run. The pending single-shot calls hold it; the run itself is
// reached only while the dialog still runs.
struct HookedRun {
    ModalRunHook hook;
    std::function<void(int)> apply;
    CModalRun* run = nullptr;
    QPointer<QDialog> dialog;
    int attempts = 0;
    bool finished = false;
};

constexpr int kMaxAnswers = 8;

void Ask(const std::shared_ptr<HookedRun>& state) {
    if (state->finished || state->dialog == nullptr || !state->dialog->isVisible()) return;
    int answer = IDCANCEL;
    AfxGuard("modal-run hook", [&] { answer = state->hook(*state->run); });
    AfxGuard("modal answer", [&] { state->apply(answer); });
    if (state->finished || state->dialog == nullptr || !state->dialog->isVisible()) return;
    // Still open (the data were refused): ask again, a bounded number of times.
    if (++state->attempts < kMaxAnswers) QTimer::singleShot(0, state->dialog.data(), [state] { Ask(state); });
    else state->dialog->done(IDCANCEL);
}

}  // namespace

ModalRunHook AfxSetModalRunHook(ModalRunHook hook) {
    ModalRunHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

int AfxRunModal(QDialog* dialog, CModalRun& run, std::function<void(int)> apply) {
    std::shared_ptr<HookedRun> state;
    if (Hook()) {
        state = std::make_shared<HookedRun>();
        state->hook = Hook();
        state->apply = std::move(apply);
        state->run = &run;
        state->dialog = dialog;
        QTimer::singleShot(0, dialog, [state] { Ask(state); });
    }
    const int result = dialog->exec();
    if (state) state->finished = true;
    return result;
}

int AfxMessageBox(const char* text, UINT type, UINT) {
    CWinApp* app = AfxGetApp();
    CWnd* mainWnd = AfxGetMainWnd();
    QMessageBox box(mainWnd != nullptr ? mainWnd->m_hWnd : nullptr);
    box.setWindowTitle(QString::fromUtf8(app != nullptr ? app->m_pszAppName.GetString() : ""));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromUtf8(text != nullptr ? text : ""));
    // The framework's default icons: a warning for OK boxes, a question for
    // yes/no boxes.
    UINT icon = type & MB_ICONMASK;
    const UINT buttons = type & MB_TYPEMASK;
    if (icon == 0) {
        if (buttons == MB_OK || buttons == MB_OKCANCEL) icon = MB_ICONEXCLAMATION;
        if (buttons == MB_YESNO || buttons == MB_YESNOCANCEL) icon = MB_ICONQUESTION;
    }
    switch (icon) {
        case MB_ICONHAND: box.setIcon(QMessageBox::Critical); break;
        case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
        case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
        case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
        default: break;
    }
    std::map<int, QAbstractButton*> byId;
    auto add = [&](int id, QMessageBox::StandardButton which) { byId[id] = box.addButton(which); };
    switch (buttons) {
        case MB_OKCANCEL:
            add(IDOK, QMessageBox::Ok);
            add(IDCANCEL, QMessageBox::Cancel);
            break;
        case MB_ABORTRETRYIGNORE:
            add(IDABORT, QMessageBox::Abort);
            add(IDRETRY, QMessageBox::Retry);
            add(IDIGNORE, QMessageBox::Ignore);
            break;
        case MB_YESNOCANCEL:
            add(IDYES, QMessageBox::Yes);
            add(IDNO, QMessageBox::No);
            add(IDCANCEL, QMessageBox::Cancel);
            break;
        case MB_YESNO:
            add(IDYES, QMessageBox::Yes);
            add(IDNO, QMessageBox::No);
            break;
        case MB_RETRYCANCEL:
            add(IDRETRY, QMessageBox::Retry);
            add(IDCANCEL, QMessageBox::Cancel);
            break;
        default: add(IDOK, QMessageBox::Ok); break;
    }
    // What a box ended without a click gives (Escape, or a hook that never
    // names one of its buttons).
    int escapeId = IDCANCEL;
    if (!byId.count(IDCANCEL)) escapeId = buttons == MB_YESNO ? IDNO : buttons == MB_ABORTRETRYIGNORE ? IDABORT : IDOK;
    box.setEscapeButton(byId[escapeId]);

    CModalRun run;
    run.kind = CModalRun::MessageBox;
    run.widget = &box;
    run.text = text;
    run.type = type;
    AfxRunModal(&box, run, [&](int answer) {
        auto it = byId.find(answer);
        if (it != byId.end()) it->second->click();
    });
    QAbstractButton* clicked = box.clickedButton();
    for (const auto& [id, button] : byId)
        if (button == clicked) return id;
    return escapeId;
}

int AfxMessageBox(UINT idPrompt, UINT type, UINT) { return AfxMessageBox(AfxLoadString(idPrompt), type, 0); }
