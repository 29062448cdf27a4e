// Control bars of a frame: the toolbar (QToolBar) and the status bar.
//
// Both take part in the frame's idle update: each toolbar button's state
// comes from the command routing (a command with no handler anywhere is
// disabled); each status pane with an update handler gets it (a disabled pane
// shows no text), panes without one are left as they are.
//
// The status bar's panes are labels the framework owns inside one permanent
// widget: nothing Qt shows in the status bar (status tips, messages) blanks
// them. Status tips of menu items and buttons go to pane 0 instead (the
// fly-by prompt), and the idle prompt comes back when the tip ends. The
// stretching pane takes the room the others leave and asks for none: its
// text is elided on the right to the pane's width (the whole text is then
// its tool tip), so a long message never widens the window.
//
// GUI thread only.
#pragma once

#include <functional>

#include <vector>

#include "framework/Wnd.h"

class QAction;
class QIcon;
class QLabel;
class QObject;
class QToolBar;
class CFrameWnd;
class StatusPaneLabel;

class CControlBar : public CWnd {
public:
    ~CControlBar() override;
    virtual void OnUpdateCmdUI(CFrameWnd* target, bool disableIfNoHandler) = 0;
    void EnableDocking(DWORD dockStyle);
    DWORD GetBarStyle() const { return m_dwStyle; }

protected:
    friend class CFrameWnd;
    CControlBar() = default;
    void RegisterWithFrame(CWnd* parent);
    DWORD m_dwStyle = 0;
    DWORD m_dwDockStyle = 0;
    CFrameWnd* m_pFrame = nullptr;
};

class CToolBar : public CControlBar {
public:
    CToolBar() = default;

    // A QToolBar in parent (a CMDIFrameWnd) with these styles: TBSTYLE_FLAT in
    // ctrlStyle; CBRS_GRIPPER (movable), CBRS_TOOLTIPS, CBRS_FLYBY (prompts
    // in pane 0) and an alignment in style.
    bool CreateEx(CWnd* parent, DWORD ctrlStyle = TBSTYLE_FLAT, DWORD style = WS_CHILD | WS_VISIBLE | CBRS_ALIGN_TOP,
                  const CRect& borders = CRect(), UINT id = AFX_IDW_TOOLBAR);
    bool Create(CWnd* parent, DWORD style = WS_CHILD | WS_VISIBLE | CBRS_TOP, UINT id = AFX_IDW_TOOLBAR);
    // Buttons from the toolbar resource: each button's tool tip and prompt
    // come from the string resource of its command id ("prompt\ntip").
    bool LoadToolBar(UINT resourceId);

    int GetCount() const { return static_cast<int>(m_items.size()); }
    // ID_SEPARATOR for a separator.
    UINT GetItemID(int index) const;
    int CommandToIndex(UINT id) const;
    QAction* GetItemAction(int index) const;
    QToolBar* GetToolBarCtrl() const;
    CSize GetButtonSize() const { return m_buttonSize; }

    void OnUpdateCmdUI(CFrameWnd* target, bool disableIfNoHandler) override;
    void OnDestroy() override { m_items.clear(); }

private:
    struct Item {
        UINT id;
        QAction* action;  // owned by the QToolBar
    };
    std::vector<Item> m_items;
    CSize m_buttonSize{16, 15};
};

class CStatusBar : public CControlBar {
public:
    CStatusBar() = default;

    bool Create(CWnd* parent, DWORD style = WS_CHILD | WS_VISIBLE | CBRS_BOTTOM, UINT id = AFX_IDW_STATUS_BAR);
    // One pane per id. ID_SEPARATOR (first) is the stretching message pane,
    // starting with the idle prompt; every other pane starts with the string
    // resource of its id, which also sets its width.
    bool SetIndicators(const UINT* ids, int count);

    int GetCount() const { return static_cast<int>(m_panes.size()); }
    UINT GetItemID(int index) const;
    // -1 when no pane has that id.
    int CommandToIndex(UINT id) const;

    // Changes and repaints the pane only when the text differs (an idle pass
    // may call it every time). update: repaint now, before returning.
    bool SetPaneText(int index, const char* text, bool update = true);
    String GetPaneText(int index) const;
    // What the pane shows: its whole text (however much of it fits), or ""
    // while the pane is disabled.
    String GetPaneDisplayText(int index) const;

    // The pane's 16x16 icon from an icon resource; 0 removes it. Nothing
    // happens when the pane already shows that icon.
    bool SetPaneIcon(int index, UINT iconId);
    UINT GetPaneIcon(int index) const;

    UINT GetPaneStyle(int index) const;
    void SetPaneStyle(int index, UINT style);
    int GetPaneWidth(int index) const;
    // The label widget of a pane's text and of its icon (for tests and
    // screenshots), and the pane's whole box.
    QLabel* GetPaneTextLabel(int index) const;
    QLabel* GetPaneIconLabel(int index) const;
    QWidget* GetPaneWidget(int index) const;

    // The tool tip of the whole pane (shown on hover); set only when it
    // changed. The stretching pane's own tip (its elided text) stays.
    bool SetPaneTip(int index, const char* tip);
    String GetPaneTip(int index) const;
    // Called on the GUI thread when the pane is clicked (left button
    // released over it); an empty function removes it.
    bool SetPaneClickHandler(int index, std::function<void()> handler);

    void OnUpdateCmdUI(CFrameWnd* target, bool disableIfNoHandler) override;
    // The panes' widgets go with the bar's.
    void OnDestroy() override {
        m_panes.clear();
        m_container = nullptr;
    }

private:
    struct Pane {
        UINT id = 0;
        UINT style = 0;
        String text;
        UINT iconId = 0;
        int baseWidth = 0;       // 0 for the stretching pane
        QWidget* box = nullptr;  // owned by the status bar widget
        QLabel* iconLabel = nullptr;
        StatusPaneLabel* textLabel = nullptr;
        QObject* clickFilter = nullptr;  // owned by box
    };
    void ShowPane(Pane& pane);
    std::vector<Pane> m_panes;
    QWidget* m_container = nullptr;
};
