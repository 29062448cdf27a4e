// Frames: CFrameWnd (common), CMDIFrameWnd (the main window: QMainWindow with
// a QMdiArea) and CMDIChildWnd (a QMdiSubWindow holding one view).
//
// The main frame shows the menu and accelerators of its resource id while no
// child is active, and the menu of the active child's template otherwise.
// Menus, accelerators and toolbar buttons give commands through
// AfxExecuteCommand on the main frame, which routes to the active child
// (through currentSubWindow(), which stays set while the main window is
// inactive), its view and document, the main frame, then the application.
//
// Frames delete themselves when destroyed (PostNcDestroy). A child frame
// being closed closes its document when it is the document's last frame.
//
// GUI thread only.
#pragma once

#include <vector>

#include "framework/DocTemplate.h"
#include "framework/Wnd.h"

class QMdiArea;
class QMainWindow;
class QMenu;
class CControlBar;
class CMDIChildWnd;
class CView;

class CFrameWnd : public CWnd {
public:
    ~CFrameWnd() override;

    // Creates the frame from resource id (title string, icon, and for the
    // main frame menu and accelerators), runs OnCreate (which builds the view
    // of context), and fails (returns false, nothing left) when OnCreate
    // returns -1.
    virtual bool LoadFrame(UINT resourceId, DWORD style = WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, CWnd* parent = nullptr,
                           CCreateContext* context = nullptr) = 0;
    virtual bool PreCreateWindow(CREATESTRUCT& cs);
    int OnCreate(CREATESTRUCT* cs) override;
    virtual bool OnCreateClient(CREATESTRUCT* cs, CCreateContext* context);
    // A view of context's class in this frame.
    CView* CreateView(CCreateContext* context, UINT id = AFX_IDW_PANE_FIRST);

    CView* GetActiveView() const { return m_pViewActive; }
    void SetActiveView(CView* view, bool notify = true);
    virtual CDocument* GetActiveDocument();
    // The views of this frame, in creation order.
    const std::vector<CView*>& GetViews() const { return m_views; }

    virtual void InitialUpdateFrame(CDocument* doc, bool makeVisible);
    virtual void ActivateFrame(int cmdShow = -1);
    virtual void OnUpdateFrameTitle(bool addToTitle);
    String GetTitle() const { return m_strTitle; }
    void SetTitle(const char* title) { m_strTitle = title; }
    // The window number shown after the title (":2") when a document has
    // several frames; 0 for none.
    int m_nWindow = 0;

    // Pane 0 of the status bar, if the frame has one.
    void SetMessageText(const char* text);
    void SetMessageText(UINT stringId);

    // Control bars of this frame (toolbar, status bar), registered by their
    // Create; they take part in the idle update.
    void AddControlBar(CControlBar* bar);
    void RemoveControlBar(CControlBar* bar);
    CControlBar* GetControlBar(UINT id) const;
    void EnableDocking(DWORD dockStyle);
    void DockControlBar(CControlBar* bar, UINT dockBarId = 0);
    void ShowControlBar(CControlBar* bar, bool show, bool delay = false);

    // The idle pass's update: every control bar's items through the routing,
    // and the title.
    virtual void UpdateCommandUI();

    // Destroys the views (through their own DestroyWindow) before the frame.
    bool DestroyWindow() override;
    void OnClose() override;
    void PostNcDestroy() override;

    // Handlers of the frame's map, public for derived maps.
    void OnUpdateKeyIndicator(CCmdUI* ui);
    void OnUpdateControlBarMenu(CCmdUI* ui);
    void OnBarCheck(UINT id);

protected:
    CFrameWnd();

    DWORD m_dwStyle = 0;
    UINT m_nIDResource = 0;
    String m_strTitle;
    CView* m_pViewActive = nullptr;
    std::vector<CView*> m_views;
    std::vector<CControlBar*> m_bars;
    CCreateContext* pendingContext_ = nullptr;
    DWORD dockStyle_ = 0;

private:
    friend class CView;
    void ViewGone(CView* view);
};

class CMDIFrameWnd : public CFrameWnd {
public:
    CMDIFrameWnd();
    ~CMDIFrameWnd() override;

    bool LoadFrame(UINT resourceId, DWORD style = WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, CWnd* parent = nullptr,
                   CCreateContext* context = nullptr) override;

    QMainWindow* GetMainWindow() const;
    QMdiArea* GetMDIClient() const { return m_mdiArea; }
    // The current child frame (whether or not the main window is active).
    CMDIChildWnd* MDIGetActive() const;
    std::vector<CMDIChildWnd*> GetChildFrames() const;
    void MDIActivate(CMDIChildWnd* child);
    // Cascade: every window the same usable size, each a title bar below and
    // right of the one before, all wholly inside the area.
    void MDICascade();
    // Tile: no window overlaps another or leaves the area. stacked: strips
    // one above the other (a grid with more rows once strips grow thin);
    // otherwise side by side.
    void MDITile(bool stacked = true);
    void MDIIconArrange();

    CDocument* GetActiveDocument() override;
    void OnUpdateFrameTitle(bool addToTitle) override;
    void UpdateCommandUI() override;
    // Active child (its view, document, frame), then this frame, then the
    // application.
    bool OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) override;
    void OnClose() override;
    bool DestroyWindow() override;

    // The menu currently on the bar (IDR of the main frame or of the active
    // child's template); rebuilt when that changes.
    UINT GetMenuResourceId() const { return m_menuId; }
    // Runs the command-UI update over the items of one menu (done by the
    // framework when a menu opens).
    void UpdateMenuCommandUI(QMenu* menu);

    void OnWindowNew();
    void OnUpdateMDIWindowCmd(CCmdUI* ui);

    // Framework plumbing.
    void HandleSubWindowActivated();
    void HandleStatusTip(const String& tip);

private:
    void ShowMenu(UINT menuId);
    void FillMenu(QMenu* menu, const struct CMenuItemResource& popup);
    void InstallAccelerators(UINT resourceId);

    friend class CMDIChildWnd;
    QMdiArea* m_mdiArea = nullptr;
    UINT m_menuId = 0;
    CMDIChildWnd* lastActive_ = nullptr;
};

class CMDIChildWnd : public CFrameWnd {
public:
    CMDIChildWnd();
    ~CMDIChildWnd() override;

    // Made inside the main frame's MDI area; hidden until ActivateFrame.
    bool LoadFrame(UINT resourceId, DWORD style = WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, CWnd* parent = nullptr,
                   CCreateContext* context = nullptr) override;
    CDocTemplate* GetDocTemplate() const { return m_pTemplate; }
    void MDIActivate();
    void ActivateFrame(int cmdShow = -1) override;
    void OnUpdateFrameTitle(bool addToTitle) override;
    // The active view, its document, then this frame's own map.
    bool OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui) override;
    bool DestroyWindow() override;

private:
    CMDIFrameWnd* m_pMDIFrame = nullptr;
    CDocTemplate* m_pTemplate = nullptr;
};
