// Basic types of the document/view framework: integer aliases, geometry
// values, the object base with run-time classes for dynamic creation, message
// boxes, the test hook for modal runs, and the application-wide accessors.
// This is a public header.
//
// Threads: everything in the framework belongs to the GUI thread, except
// AfxWakeGui, which any thread may call.
#pragma once

#include <cstdint>
#include <functional>

#include "external/String.h"
#include "framework/AfxRes.h"

class QWidget;
class CWinApp;
class CWnd;
class CDialog;

using UINT = unsigned int;
using DWORD = std::uint32_t;
using UINT_PTR = std::uintptr_t;
using LPARAM = std::intptr_t;
using WPARAM = std::uintptr_t;

struct CPoint {
    int x = 0;
    int y = 0;
};

struct CSize {
    int cx = 0;
    int cy = 0;
};

struct CRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    CRect() = default;
    CRect(int l, int t, int r, int b) : left(l), top(t), right(r), bottom(b) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    friend bool operator==(const CRect&, const CRect&) = default;
};

// The root of the framework's classes. Objects of its descendants are not
// copied: they are reached through pointers and have an identity.
class CObject {
public:
    virtual ~CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;

protected:
    CObject() = default;
};

// A class that the framework can create by itself (documents, frames, views
// named in a document template).
struct CRuntimeClass {
    const char* m_lpszClassName;
    CObject* (*m_pfnCreateObject)();

    CObject* CreateObject() const { return m_pfnCreateObject != nullptr ? m_pfnCreateObject() : nullptr; }
};

#define DECLARE_DYNCREATE(class_name)             \
public:                                           \
    static const CRuntimeClass class##class_name; \
    static CObject* CreateObject();

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)           \
    CObject* class_name::CreateObject() { return new class_name; } \
    const CRuntimeClass class_name::class##class_name = {#class_name, &class_name::CreateObject};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

// The current application object, or null when none exists.
CWinApp* AfxGetApp();
// The application's main window, or null.
CWnd* AfxGetMainWnd();

// Wakes the GUI thread's event loop so that an idle pass follows within
// milliseconds. Safe from any thread, at any time: before an application
// object exists and after it is gone it does nothing. Wakes that arrive
// while one is pending are merged into it.
void AfxWakeGui();

// Message boxes. The text is shown as plain text; the caption is the
// application's name. Returns the id of the button chosen (IDOK, IDCANCEL,
// IDYES, ...). Runs a nested event loop: never call it from OnIdle.
int AfxMessageBox(const char* text, UINT type = MB_OK, UINT helpId = 0);
// The same with a string resource as the text.
int AfxMessageBox(UINT idPrompt, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));

// One modal run as a test sees it. The run is real (a QDialog or QMessageBox
// executes its own nested event loop); only the person is replaced.
struct CModalRun {
    enum Kind { Dialog, MessageBox, FileDialog };
    Kind kind = Dialog;
    // Dialog: the dialog, initialised (OnInitDialog has run); the hook may
    // set its controls, e.g. run.dialog->SetDlgItemText(IDC_X, "text").
    CDialog* dialog = nullptr;
    // The widget being run modally.
    QWidget* widget = nullptr;
    // MessageBox: the text. FileDialog: the title.
    String text;
    // MessageBox: the MB_ flags. FileDialog: 1 for an open dialog, 0 for save.
    UINT type = 0;
    // FileDialog: the file chosen, set by the hook before it answers IDOK.
    String fileName;
};

// Answers a modal run: return IDOK or IDCANCEL for a dialog (the framework then
// runs the dialog's own OnOK or OnCancel, so its data exchange runs as when a
// person clicks), a button id for a message box, IDOK (with fileName set) or
// IDCANCEL for a file dialog. A dialog still open after the answer (its OnOK
// refused the data) is offered to the hook again, up to 8 times, then cancelled.
using ModalRunHook = std::function<int(CModalRun& run)>;

// Installs the hook for every later modal run; an empty hook lets a person
// answer. Returns the hook it replaces. GUI thread only; meant for tests.
ModalRunHook AfxSetModalRunHook(ModalRunHook hook);
