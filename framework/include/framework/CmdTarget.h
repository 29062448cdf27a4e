// Command targets and command-UI state.
//
// A command is a numeric id given by a menu item, an accelerator or a toolbar
// button. Each target keeps its own command map, filled in its constructor:
//
//   CMyDoc::CMyDoc() {
//       MapCommand(ID_PLAYLIST_REFRESH, &CMyDoc::Refresh);
//       MapCommandUI(ID_QUOR_TRIGGER_OFF, &CMyDoc::OnUpdateQuorCommand);
//   }
//
// Routing (OnCmdMsg) asks, in order: the active view, its document (then the
// document's template), the child frame, the main frame, the application;
// the first target with an entry for the id takes it. A command's state
// (CCmdUI) goes the same way: an update handler decides; without one, a
// command is enabled exactly where a command handler exists (toolbar buttons
// and menu items), while status-bar panes without an update handler are left
// as they are.
//
// GUI thread only.
#pragma once

#include <functional>
#include <vector>

#include "framework/Afx.h"

// What a routed call asks of the target that has an entry for the id.
enum class CmdKind {
    Execute,   // run the command handler
    UpdateUI,  // run the update handler, with a CCmdUI
    Probe      // only report whether a command handler exists
};

// The state of one user-interface item for one command id, handed to update
// handlers. Each kind of item (toolbar button, menu item, status pane)
// derives its own; the base records what was asked.
class CCmdUI {
public:
    CCmdUI() = default;
    virtual ~CCmdUI() = default;
    CCmdUI(const CCmdUI&) = delete;
    CCmdUI& operator=(const CCmdUI&) = delete;

    UINT m_nID = 0;
    int m_nIndex = 0;  // the item's index in its bar or menu

    virtual void Enable(bool on = true);
    // 0 unchecked, 1 checked, 2 indeterminate.
    virtual void SetCheck(int check = 1);
    virtual void SetText(const char* text);

    // Routes this item's update through target; without an update handler and
    // with disableIfNoHandler, enables the item exactly when a command
    // handler exists. Returns true when an update handler ran.
    bool DoUpdate(class CCmdTarget* target, bool disableIfNoHandler);

    // What the handlers asked (for items that only test, like accelerators).
    bool m_bEnableChanged = false;
    bool m_bEnabled = true;
};

class CCmdTarget : public CObject {
public:
    ~CCmdTarget() override = default;

    // Routing entry: handles the id here or passes it on; true when some
    // target had an entry for it (for Execute: the handler ran).
    virtual bool OnCmdMsg(UINT id, CmdKind kind, CCmdUI* ui);

protected:
    CCmdTarget() = default;

    // Own entries; a later entry for the same id replaces an earlier one. A
    // handler may throw: the command's entry point reports the exception to
    // the operator.
    void MapCommand(UINT id, std::function<void()> handler);
    template <class T>
    void MapCommand(UINT id, void (T::*member)()) {
        T* self = static_cast<T*>(this);
        MapCommand(id, [self, member] { (self->*member)(); });
    }
    void MapCommandRange(UINT first, UINT last, std::function<void(UINT id)> handler);
    void MapCommandUI(UINT id, std::function<void(CCmdUI*)> handler);
    template <class T>
    void MapCommandUI(UINT id, void (T::*member)(CCmdUI*)) {
        T* self = static_cast<T*>(this);
        MapCommandUI(id, [self, member](CCmdUI* ui) { (self->*member)(ui); });
    }
    void MapCommandUIRange(UINT first, UINT last, std::function<void(CCmdUI*)> handler);

    // Looks only at this target's own map.
    bool DispatchOwn(UINT id, CmdKind kind, CCmdUI* ui);

private:
    struct CommandEntry {
        UINT first;
        UINT last;
        std::function<void(UINT)> run;
    };
    struct UpdateEntry {
        UINT first;
        UINT last;
        std::function<void(CCmdUI*)> run;
    };
    const CommandEntry* FindCommand(UINT id) const;
    const UpdateEntry* FindUpdate(UINT id) const;

    std::vector<CommandEntry> commands_;
    std::vector<UpdateEntry> updates_;
};

// Asks target whether the command id is enabled now, as a menu or toolbar
// would show it (update handler, else "has a command handler").
bool AfxIsCommandEnabled(CCmdTarget* target, UINT id);

// Runs command id through target's routing if it is enabled; an exception
// from the handler is caught and shown in a message box. Returns true when a
// handler ran. This is how menus, accelerators and toolbar buttons give
// commands.
bool AfxExecuteCommand(CCmdTarget* target, UINT id);
