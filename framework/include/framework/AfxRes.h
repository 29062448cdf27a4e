// The framework's standard command, control, string and style numbers. The
// values are the ones the application's resources and command maps use.
// This is a public header with no dependencies.
#pragma once

// Standard commands.
#define ID_SEPARATOR 0
#define ID_FILE_NEW 0xE100        // 57600
#define ID_FILE_OPEN 0xE101       // 57601
#define ID_FILE_CLOSE 0xE102      // 57602
#define ID_FILE_SAVE 0xE103       // 57603
#define ID_FILE_SAVE_AS 0xE104    // 57604
#define ID_FILE_MRU_FILE1 0xE110  // 57616; the recent-file entries follow
#define ID_FILE_MRU_FILE4 0xE113
#define ID_FILE_MRU_FILE16 0xE11F
#define ID_EDIT_COPY 0xE122
#define ID_EDIT_CUT 0xE123
#define ID_EDIT_PASTE 0xE125
#define ID_EDIT_UNDO 0xE12B
#define ID_WINDOW_NEW 0xE130  // 57648
#define ID_WINDOW_ARRANGE 0xE131
#define ID_WINDOW_CASCADE 0xE132
#define ID_WINDOW_TILE_HORZ 0xE133
#define ID_WINDOW_TILE_VERT 0xE134
#define ID_APP_ABOUT 0xE140  // 57664
#define ID_APP_EXIT 0xE141   // 57665
#define ID_NEXT_PANE 0xE150
#define ID_PREV_PANE 0xE151
#define ID_VIEW_TOOLBAR 0xE800  // 59392
#define ID_VIEW_STATUS_BAR 0xE801

// Status-bar indicators.
#define ID_INDICATOR_CAPS 0xE701  // 59137
#define ID_INDICATOR_NUM 0xE702
#define ID_INDICATOR_SCRL 0xE703

// Window ids of the frame's parts.
#define AFX_IDW_TOOLBAR 0xE800
#define AFX_IDW_STATUS_BAR 0xE801
#define AFX_IDW_PANE_FIRST 0xE900

// Standard strings: the idle prompt of the message pane and the prompts of
// failed document operations.
#define AFX_IDS_IDLEMESSAGE 0xE001
#define AFX_IDS_APP_TITLE 0xE000
#define AFX_IDS_UNTITLED 0xF000
#define AFX_IDP_FAILED_TO_OPEN_DOC 0xF101
#define AFX_IDP_FAILED_TO_SAVE_DOC 0xF102
#define AFX_IDP_FAILED_TO_CREATE_DOC 0xF104

// Dialog control ids and results.
#define IDC_STATIC (-1)
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Message-box types.
#define MB_OK 0x0000u
#define MB_OKCANCEL 0x0001u
#define MB_ABORTRETRYIGNORE 0x0002u
#define MB_YESNOCANCEL 0x0003u
#define MB_YESNO 0x0004u
#define MB_RETRYCANCEL 0x0005u
#define MB_TYPEMASK 0x000Fu
#define MB_ICONHAND 0x0010u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONQUESTION 0x0020u
#define MB_ICONEXCLAMATION 0x0030u
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION 0x0040u
#define MB_ICONMASK 0x00F0u

// Window styles.
#define WS_OVERLAPPED 0x00000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_BORDER 0x00800000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_OVERLAPPEDWINDOW 0x00CF0000u
#define FWS_ADDTOTITLE 0x00008000u

// Show states.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10

// OnSize types.
#define SIZE_RESTORED 0
#define SIZE_MINIMIZED 1
#define SIZE_MAXIMIZED 2

// Control-bar styles.
#define CBRS_ALIGN_LEFT 0x1000u
#define CBRS_ALIGN_TOP 0x2000u
#define CBRS_ALIGN_RIGHT 0x4000u
#define CBRS_ALIGN_BOTTOM 0x8000u
#define CBRS_ALIGN_ANY 0xF000u
#define CBRS_TOP CBRS_ALIGN_TOP
#define CBRS_BOTTOM CBRS_ALIGN_BOTTOM
#define CBRS_TOOLTIPS 0x0010u
#define CBRS_FLYBY 0x0020u
#define CBRS_SIZE_DYNAMIC 0x0040u
#define CBRS_GRIPPER 0x00400000u
#define TBSTYLE_FLAT 0x0800u

// Status-bar pane styles.
#define SBPS_NORMAL 0x0000u
#define SBPS_NOBORDERS 0x0100u
#define SBPS_POPOUT 0x0200u
#define SBPS_DISABLED 0x04000000u
#define SBPS_STRETCH 0x08000000u

// Edit and combo-box styles used by dialog templates.
#define ES_AUTOHSCROLL 0x0080u
#define ES_READONLY 0x0800u
#define CBS_DROPDOWN 0x0002u
#define CBS_DROPDOWNLIST 0x0003u
#define CBS_SORT 0x0100u
#define CB_ERR (-1)
#define SS_NOPREFIX 0x0080u

// List-control styles.
#define LVS_ICON 0x0000u
#define LVS_REPORT 0x0001u
#define LVS_SMALLICON 0x0002u
#define LVS_LIST 0x0003u
#define LVS_TYPEMASK 0x0003u
#define LVS_SINGLESEL 0x0004u
#define LVS_SHOWSELALWAYS 0x0008u
#define LVS_EDITLABELS 0x0200u
#define LVS_EX_FULLROWSELECT 0x0020u
