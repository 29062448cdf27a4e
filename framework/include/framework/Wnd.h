// CWnd: a framework object attached to one Qt widget.
//
// Ownership: the widget belongs to Qt's parent chain (a child dies with its
// parent). The CWnd object belongs to whoever made it: a member, a local, or
// (views, frames) the object itself, which deletes itself in PostNcDestroy
// once its window is destroyed. DestroyWindow detaches the object at once
// (m_hWnd becomes null, OnDestroy and PostNcDestroy run) and lets Qt delete
// the hidden widget when control returns to the event loop, so a window may
// be destroyed from inside one of its own handlers.
//
// GUI thread only.
#pragma once

#include <map>

#include "framework/CmdTarget.h"

class QPainter;
class QTimer;

// The device context handed to OnDraw: the painter of the paint event.
class CDC {
public:
    explicit CDC(QPainter* painter) : m_painter(painter) {}
    QPainter* GetPainter() const { return m_painter; }

private:
    QPainter* m_painter;
};

// Creation parameters offered to PreCreateWindow.
struct CREATESTRUCT {
    DWORD style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    UINT id = 0;
};

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    // Destroys a window still attached (without running PostNcDestroy).
    ~CWnd() override;

    // The attached widget; null before creation and after destruction.
    QWidget* m_hWnd = nullptr;
    QWidget* GetSafeHwnd() const { return m_hWnd; }

    // The framework object attached to widget, or null.
    static CWnd* FromHandle(const QWidget* widget);

    // Creates a plain child window (a QWidget) of parent with these styles
    // (WS_CHILD, WS_VISIBLE, WS_BORDER) and control id.
    bool Create(const char* className, const char* windowName, DWORD style, const CRect& rect, CWnd* parent, UINT id);
    // Takes a widget made elsewhere; fails when one is attached already.
    bool Attach(QWidget* widget);
    // Lets go of the widget without destroying it.
    QWidget* Detach();

    virtual bool DestroyWindow();

    virtual int OnCreate(CREATESTRUCT* cs);
    virtual void OnDestroy() {}
    // Runs after the window is gone; frames and views delete themselves here.
    virtual void PostNcDestroy() {}
    virtual void OnSize(UINT type, int cx, int cy);
    virtual void OnTimer(UINT_PTR id);
    virtual void OnClose();

    // Control ids of child windows.
    int GetDlgCtrlID() const;
    void SetDlgCtrlID(int id);
    // The framework object of the child with that id, or null.
    CWnd* GetDlgItem(int id) const;
    void SetDlgItemText(int id, const char* text);
    String GetDlgItemText(int id) const;

    void SetWindowText(const char* text);
    String GetWindowText() const;

    // Client rectangle: origin (0, 0), the inner size. Window rectangle: the
    // outer frame in screen coordinates.
    void GetClientRect(CRect* rect) const;
    void GetWindowRect(CRect* rect) const;
    void ScreenToClient(CRect* rect) const;
    virtual void MoveWindow(int x, int y, int width, int height, bool repaint = true);
    void MoveWindow(const CRect& rect, bool repaint = true);

    bool ShowWindow(int cmdShow);
    bool IsWindowVisible() const;
    void UpdateWindow();
    void Invalidate(bool erase = true);
    void SetFocus();

    // Window timers. SetTimer starts (or restarts with the new period) timer id
    // and returns id; id 0 is refused and gives 0, so 0 can mean "no timer".
    // Each expiry calls OnTimer(id) on the GUI thread; an exception from it is
    // caught and logged. Timers stop when the window is destroyed.
    UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs, void* unused = nullptr);
    // False when no such timer runs (id 0 included).
    bool KillTimer(UINT_PTR id);
    bool HasTimer(UINT_PTR id) const;

    // Framework plumbing: the attached widget reports its events here.
    void HandleWidgetDestroyed();
    void HandleResize(int cx, int cy);
    void HandleTimer(UINT_PTR id);

protected:
    // Attaches a freshly made widget and records it as this object's window.
    void AttachWidget(QWidget* widget);
    // Detaches, runs OnDestroy and PostNcDestroy; the widget itself is hidden
    // and deleted later (or now when deleteNow).
    void TearDown(bool deleteNow);

private:
    void StopTimers();
    std::map<UINT_PTR, QTimer*> timers_;  // owned by the widget (children of it)
};
