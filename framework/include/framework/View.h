// CView: a window showing one document inside a frame.
//
// A view is made by its document template (dynamic creation), attached to
// its document and to its child frame, and deletes itself when its window is
// destroyed (PostNcDestroy), leaving the document's list on the way.
//
// Events: resizes call OnSize(SIZE_RESTORED, cx, cy) with the view's client
// size, window timers OnTimer, paints OnDraw.
//
// GUI thread only.
#pragma once

#include "framework/Wnd.h"

class CDocument;
class CFrameWnd;
struct CCreateContext;

class CView : public CWnd {
public:
    ~CView() override;

    CDocument* GetDocument() const { return m_pDocument; }
    CFrameWnd* GetParentFrame() const { return m_pFrame; }

    // Creates the view's window in frame with the context's document.
    virtual bool CreateView(CFrameWnd* frame, UINT id, CCreateContext* context);
    virtual bool PreCreateWindow(CREATESTRUCT& cs);
    int OnCreate(CREATESTRUCT* cs) override;

    // The first update, once the frame is laid out: the view already has its
    // size. The base calls OnUpdate(nullptr, 0, nullptr).
    virtual void OnInitialUpdate();
    // The document changed; the base repaints the view.
    virtual void OnUpdate(CView* sender, LPARAM hint, CObject* hintObject);
    virtual void OnDraw(CDC* dc) = 0;
    virtual void OnActivateView(bool activate, CView* activateView, CView* deactiveView);

    // Own map, then the document's.
    bool OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) override;
    void PostNcDestroy() override;

protected:
    CView() = default;
    CDocument* m_pDocument = nullptr;

private:
    friend class CDocument;
    friend class CFrameWnd;
    CFrameWnd* m_pFrame = nullptr;
    CCreateContext* pendingContext_ = nullptr;
};
