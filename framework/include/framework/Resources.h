// The application's resources: string table, icons, menus, accelerators,
// toolbars and dialog templates, each found by its numeric id. The
// application registers them once at start-up (before the main frame is
// loaded); the framework reads them when it builds frames, bars and dialogs.
// This is a public header.
//
// GUI thread only.
#pragma once

#include <vector>

#include "external/String.h"
#include "framework/Afx.h"

class QIcon;

// A menu item, a popup holding items, or a separator (no text, id 0, no
// items). An item whose id is ID_FILE_MRU_FILE1 stands for the recent-file
// list: the framework shows the entries in its place, or the item itself,
// disabled, while the list is empty. Texts use '&' for the mnemonic and a tab
// before the shown shortcut ("&Open...\tCtrl+O"); the shortcut itself comes
// from the accelerator table.
struct CMenuItemResource {
    String text;
    UINT id = 0;
    std::vector<CMenuItemResource> items;

    static CMenuItemResource Item(const char* text, UINT id) { return {text, id, {}}; }
    static CMenuItemResource Popup(const char* text, std::vector<CMenuItemResource> items) {
        return {text, 0, std::move(items)};
    }
    static CMenuItemResource Separator() { return {}; }
    bool IsSeparator() const { return id == 0 && items.empty() && text.IsEmpty(); }
};

struct CMenuResource {
    std::vector<CMenuItemResource> popups;  // the menu bar, left to right
};

// One accelerator: a key in QKeySequence's portable text ("Ctrl+N",
// "Shift+Insert", "F5") and the command it gives.
struct CAccelResource {
    String key;
    UINT id = 0;
};

// A toolbar: the button size and the buttons in order; id 0 is a separator.
// image is a file or Qt resource path (":/icons/open.png").
struct CToolBarResource {
    struct Button {
        UINT id = 0;
        String image;
    };
    int buttonWidth = 16;
    int buttonHeight = 15;
    std::vector<Button> buttons;
};

// A dialog template in dialog units (a quarter of the average character width
// across, an eighth of the character height down), like a resource script.
struct CDialogItemResource {
    enum Kind { Text, Icon, Edit, ComboBox, PushButton, DefPushButton };
    Kind kind = Text;
    int id = IDC_STATIC;
    String text;  // Icon: unused; the icon comes from iconId
    UINT iconId = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    UINT style = 0;  // ES_AUTOHSCROLL, CBS_DROPDOWN, CBS_SORT, ...
};

struct CDialogResource {
    String caption;
    int cx = 0, cy = 0;
    std::vector<CDialogItemResource> items;
};

// Strings. Command prompts follow the framework's convention: the status-bar
// prompt, then '\n', then the tool tip.
void AfxSetResourceString(UINT id, const char* text);
// The string, or "" when there is none.
String AfxLoadString(UINT id);
bool AfxHasResourceString(UINT id);
// One line of a '\n'-separated string resource ("" when absent).
String AfxExtractSubString(const String& full, int index);

// Icons, as file or Qt resource paths; several, separated by ';', give one
// icon in several sizes.
void AfxSetResourceIcon(UINT id, const char* path);
// The icon; a null icon when there is none.
QIcon AfxLoadIcon(UINT id);
bool AfxHasResourceIcon(UINT id);

void AfxSetResourceMenu(UINT id, CMenuResource menu);
const CMenuResource* AfxFindResourceMenu(UINT id);

void AfxSetResourceAccelerators(UINT id, std::vector<CAccelResource> table);
const std::vector<CAccelResource>* AfxFindResourceAccelerators(UINT id);

void AfxSetResourceToolBar(UINT id, CToolBarResource toolbar);
const CToolBarResource* AfxFindResourceToolBar(UINT id);

void AfxSetResourceDialog(UINT id, CDialogResource dialog);
const CDialogResource* AfxFindResourceDialog(UINT id);

// Forgets every resource, then registers the framework's own strings again.
void AfxResetResources();
