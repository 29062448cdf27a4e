#include "app/AppResources.h"

#include <QtCore/qresource.h>

#include "app/Resource.h"
#include "framework/Resources.h"

// Set by the build from the project() version.
#ifndef TALLYSCOPE_VERSION
#error "TALLYSCOPE_VERSION is not defined"
#endif

const char* const kTallyscopeVersion = TALLYSCOPE_VERSION;

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitTallyscopeQrc() { Q_INIT_RESOURCE(tallyscope); }

namespace {

void RegisterStrings() {
    AfxSetResourceString(IDR_MAINFRAME, "Tallyscope");
    AfxSetResourceString(AFX_IDS_APP_TITLE, "Tallyscope");
    AfxSetResourceString(AFX_IDS_IDLEMESSAGE, "Ready");
    // Window title, document name, new-file name, filter, extension, file type
    // id, file type name.
    AfxSetResourceString(IDR_PLAYLIST_TYPE, "\nTallys\nTallys\n\n\nTallyscope.Document\nTallys Document");

    AfxSetResourceString(ID_INDICATOR_CLOCK, "30/08/2002 00:00:00");
    AfxSetResourceString(ID_INDICATOR_AGGR_LINK, "Viewer-->Aggr.        ");
    AfxSetResourceString(ID_INDICATOR_STUDIO_LINK, "Aggr.-->Studio      ");

    // Command prompts: the status-bar prompt, '\n', the tool tip.
    AfxSetResourceString(ID_FILE_NEW, "Create a new document\nNew");
    AfxSetResourceString(ID_FILE_OPEN, "Open an existing document\nOpen");
    AfxSetResourceString(ID_FILE_CANCEL_OPEN, "Stop connecting to the server\nCancel Open");
    AfxSetResourceString(ID_FILE_RECONNECT_NOW, "Skip the pause before the next connection attempt\nReconnect Now");
    AfxSetResourceString(ID_VIEW_ZOOM_IN, "Larger text in the playlist windows\nZoom In");
    AfxSetResourceString(ID_VIEW_ZOOM_OUT, "Smaller text in the playlist windows\nZoom Out");
    AfxSetResourceString(ID_VIEW_ZOOM_RESET, "Text of the normal size in the playlist windows\nReset Zoom");
    AfxSetResourceString(ID_VIEW_FIT_COLUMNS, "Size the columns to their contents\nFit Columns");
    AfxSetResourceString(ID_VIEW_COMMANDS, "Show or hide the panel of this run's trigger commands\nCommands");
    AfxSetResourceString(ID_VIEW_CLEAR_CHOICE, "Forget the selection; follow the running event again\nClear Choice");
    AfxSetResourceString(ID_FILE_CLOSE, "Close the active document\nClose");
    AfxSetResourceString(ID_FILE_SAVE, "Save the active document\nSave");
    AfxSetResourceString(ID_FILE_SAVE_AS, "Save the active document with a new name\nSave As");
    AfxSetResourceString(ID_APP_ABOUT, "Display program information, version number and copyright\nAbout");
    AfxSetResourceString(ID_APP_EXIT, "Quit the application; prompts to save documents\nExit");
    for (UINT id = ID_FILE_MRU_FILE1; id <= ID_FILE_MRU_FILE4; ++id) AfxSetResourceString(id, "Open this document");
    AfxSetResourceString(ID_WINDOW_NEW, "Open another window for the active document\nNew Window");
    AfxSetResourceString(ID_WINDOW_ARRANGE, "Arrange icons at the bottom of the window\nArrange Icons");
    AfxSetResourceString(ID_WINDOW_CASCADE, "Arrange windows so they overlap\nCascade Windows");
    AfxSetResourceString(ID_WINDOW_TILE_HORZ, "Arrange windows as non-overlapping tiles\nTile Windows");
    AfxSetResourceString(ID_VIEW_TOOLBAR, "Show or hide the toolbar\nToggle ToolBar");
    AfxSetResourceString(ID_VIEW_STATUS_BAR, "Show or hide the status bar\nToggle StatusBar");
    // The playlist commands have tool tips only.
    AfxSetResourceString(ID_PLAYLIST_REFRESH, "\nRefresh playlist (F5)");
    AfxSetResourceString(ID_QUOR_TRIGGER_OFF, "\nSwitch the trigger off");
    AfxSetResourceString(ID_QUOR_TRIGGER_ON, "\nSwitch the trigger on");
    AfxSetResourceString(ID_QUOR_SERVER_CHANGE, "\nChange the Quor server");
}

void RegisterIcons() {
    AfxSetResourceIcon(IDR_MAINFRAME, ":/icons/app.png");
    AfxSetResourceIcon(IDR_PLAYLIST_TYPE, ":/icons/playlist.png");
    // The state icons differ by shape as well as colour (a tick, a cross, a
    // question mark, a bar), each in two sizes so that a zoomed list stays sharp.
    AfxSetResourceIcon(IDI_LINK_UP, ":/icons/link-up.png;:/icons/link-up-x4.png");
    AfxSetResourceIcon(IDI_LINK_DOWN, ":/icons/link-down.png;:/icons/link-down-x4.png");
    AfxSetResourceIcon(IDI_LINK_UNKNOWN, ":/icons/link-unknown.png;:/icons/link-unknown-x4.png");
    AfxSetResourceIcon(IDI_EVENT_BLANK, ":/icons/event-blank.png;:/icons/event-blank-x4.png");
    AfxSetResourceIcon(IDI_EVENT_SENT, ":/icons/event-sent.png;:/icons/event-sent-x4.png");
    AfxSetResourceIcon(IDI_EVENT_ACTIVE, ":/icons/event-active.png;:/icons/event-active-x4.png");
    AfxSetResourceIcon(IDI_EVENT_IDLE, ":/icons/event-idle.png;:/icons/event-idle-x4.png");
}

void RegisterMenus() {
    using M = CMenuItemResource;
    const M view = M::Popup(
        "&View", {M::Item("&Toolbar", ID_VIEW_TOOLBAR), M::Item("&Status Bar", ID_VIEW_STATUS_BAR),
                  M::Item("C&ommands", ID_VIEW_COMMANDS), M::Separator(), M::Item("Zoom &In\tCtrl++", ID_VIEW_ZOOM_IN),
                  M::Item("Zoom O&ut\tCtrl+-", ID_VIEW_ZOOM_OUT), M::Item("&Reset Zoom\tCtrl+0", ID_VIEW_ZOOM_RESET)});
    const M help = M::Popup("&Help", {M::Item("&About Tallyscope...", ID_APP_ABOUT)});
    CMenuResource mainMenu;
    mainMenu.popups = {
        M::Popup("&File", {M::Item("&New\tCtrl+N", ID_FILE_NEW), M::Item("&Open...\tCtrl+O", ID_FILE_OPEN),
                           M::Item("&Cancel Open\tEsc", ID_FILE_CANCEL_OPEN),
                           M::Item("&Reconnect Now\tCtrl+R", ID_FILE_RECONNECT_NOW), M::Separator(),
                           M::Item("Recent File", ID_FILE_MRU_FILE1), M::Separator(), M::Item("E&xit", ID_APP_EXIT)}),
        view, help};
    AfxSetResourceMenu(IDR_MAINFRAME, mainMenu);

    CMenuResource playlistMenu;
    playlistMenu.popups = {
        M::Popup("&File",
                 {M::Item("&Open...\tCtrl+O", ID_FILE_OPEN), M::Item("&Cancel Open\tEsc", ID_FILE_CANCEL_OPEN),
                  M::Item("&Reconnect Now\tCtrl+R", ID_FILE_RECONNECT_NOW), M::Item("&Close", ID_FILE_CLOSE),
                  M::Item("&Save\tCtrl+S", ID_FILE_SAVE), M::Item("Save &As...", ID_FILE_SAVE_AS), M::Separator(),
                  M::Item("Recent File", ID_FILE_MRU_FILE1), M::Separator(), M::Item("E&xit", ID_APP_EXIT)}),
        M::Popup("&View",
                 {M::Item("&Toolbar", ID_VIEW_TOOLBAR), M::Item("&Status Bar", ID_VIEW_STATUS_BAR),
                  M::Item("C&ommands", ID_VIEW_COMMANDS), M::Separator(), M::Item("Zoom &In\tCtrl++", ID_VIEW_ZOOM_IN),
                  M::Item("Zoom O&ut\tCtrl+-", ID_VIEW_ZOOM_OUT), M::Item("&Reset Zoom\tCtrl+0", ID_VIEW_ZOOM_RESET),
                  M::Separator(), M::Item("&Fit Columns", ID_VIEW_FIT_COLUMNS),
                  M::Item("&Clear Choice\tEsc", ID_VIEW_CLEAR_CHOICE)}),
        M::Popup("&Window", {M::Item("&New Window", ID_WINDOW_NEW), M::Item("&Cascade", ID_WINDOW_CASCADE),
                             M::Item("&Tile", ID_WINDOW_TILE_HORZ), M::Item("&Arrange Icons", ID_WINDOW_ARRANGE)}),
        help};
    AfxSetResourceMenu(IDR_PLAYLIST_TYPE, playlistMenu);
}

void RegisterAccelerators() {
    AfxSetResourceAccelerators(
        IDR_MAINFRAME,
        {
            {"Ctrl+N", ID_FILE_NEW},           {"Ctrl+O", ID_FILE_OPEN},        {"Ctrl+S", ID_FILE_SAVE},
            {"Ctrl+C", ID_EDIT_COPY},          {"Ctrl+Ins", ID_EDIT_COPY},      {"Ctrl+V", ID_EDIT_PASTE},
            {"Shift+Ins", ID_EDIT_PASTE},      {"Ctrl+X", ID_EDIT_CUT},         {"Shift+Del", ID_EDIT_CUT},
            {"Ctrl+Z", ID_EDIT_UNDO},          {"Alt+Backspace", ID_EDIT_UNDO}, {"F6", ID_NEXT_PANE},
            {"Shift+F6", ID_PREV_PANE},        {"F5", ID_PLAYLIST_REFRESH},     {"Esc", ID_ESCAPE},
            {"Ctrl+R", ID_FILE_RECONNECT_NOW}, {"Ctrl++", ID_VIEW_ZOOM_IN},     {"Ctrl+=", ID_VIEW_ZOOM_IN},
            {"Ctrl+-", ID_VIEW_ZOOM_OUT},      {"Ctrl+0", ID_VIEW_ZOOM_RESET},
        });
}

void RegisterToolBar() {
    CToolBarResource toolbar;
    toolbar.buttonWidth = 16;
    toolbar.buttonHeight = 15;
    toolbar.buttons = {
        {ID_FILE_OPEN, ":/icons/open.png"},
        {ID_SEPARATOR, ""},
        {ID_PLAYLIST_REFRESH, ":/icons/refresh.png"},
        {ID_QUOR_TRIGGER_OFF, ":/icons/trigger-off.png"},
        {ID_QUOR_TRIGGER_ON, ":/icons/trigger-on.png"},
        {ID_QUOR_SERVER_CHANGE, ":/icons/server-change.png"},
    };
    AfxSetResourceToolBar(IDR_MAINFRAME, toolbar);
}

void RegisterDialogs() {
    using I = CDialogItemResource;
    CDialogResource about;
    about.caption = "About Tallyscope";
    about.cx = 235;
    about.cy = 55;
    about.items = {
        I{I::Icon, IDC_STATIC, "", IDR_MAINFRAME, 11, 17, 20, 20, 0},
        I{I::Text, IDC_STATIC, "Tallyscope Version " TALLYSCOPE_VERSION, 0, 40, 10, 119, 8, SS_NOPREFIX},
        I{I::DefPushButton, IDOK, "OK", 0, 178, 7, 50, 14, WS_GROUP},
    };
    AfxSetResourceDialog(IDD_ABOUTBOX, about);

    CDialogResource selectStudio;
    selectStudio.caption = "SelectStudio";
    selectStudio.cx = 186;
    selectStudio.cy = 60;
    selectStudio.items = {
        I{I::ComboBox, IDC_STUDIO_COMBO, "", 0, 7, 7, 172, 100, CBS_DROPDOWN | CBS_SORT | WS_VSCROLL | WS_TABSTOP},
        I{I::DefPushButton, IDOK, "OK", 0, 36, 39, 50, 14, 0},
        I{I::PushButton, IDCANCEL, "Cancel", 0, 100, 39, 50, 14, 0},
    };
    AfxSetResourceDialog(IDD_SELECT_STUDIO, selectStudio);

    CDialogResource quorServer;
    quorServer.caption = "Quor Server IP";
    quorServer.cx = 186;
    quorServer.cy = 66;
    quorServer.items = {
        // Room for the label in wider fonts than the dialog units assume.
        I{I::Text, IDC_STATIC, "Enter Quor Server IP :", 0, 7, 9, 88, 8, 0},
        I{I::Edit, IDC_QUOR_SERVER_IP, "", 0, 97, 7, 82, 14, ES_AUTOHSCROLL | WS_BORDER},
        I{I::DefPushButton, IDOK, "OK", 0, 36, 45, 50, 14, 0},
        I{I::PushButton, IDCANCEL, "Cancel", 0, 100, 45, 50, 14, 0},
    };
    AfxSetResourceDialog(IDD_QUOR_SERVER_IP, quorServer);
}

}  // namespace

void RegisterTallyscopeResources() {
    InitTallyscopeQrc();
    RegisterStrings();
    RegisterIcons();
    RegisterMenus();
    RegisterAccelerators();
    RegisterToolBar();
    RegisterDialogs();
}
