// Resource and command numbers of the viewer.
#pragma once

#include "framework/AfxRes.h"

#define IDD_ABOUTBOX 100
#define IDR_MAINFRAME 128
#define IDR_PLAYLIST_TYPE 129
#define IDD_SELECT_STUDIO 130
#define IDI_EVENT_BLANK 131
#define IDI_EVENT_SENT 132
#define IDI_EVENT_ACTIVE 133
#define IDI_EVENT_IDLE 134
#define IDI_LINK_UP 137
#define IDI_LINK_DOWN 138
#define IDI_LINK_UNKNOWN 139
#define IDD_QUOR_SERVER_IP 138
#define IDC_STUDIO_COMBO 1000
#define IDC_QUOR_SERVER_IP 1001

// Playlist commands (toolbar; F5 for refresh). There is no 32780.
#define ID_PLAYLIST_REFRESH 32778
#define ID_QUOR_TRIGGER_OFF 32779
#define ID_QUOR_TRIGGER_ON 32781
#define ID_QUOR_SERVER_CHANGE 32782
// File > Cancel Open (Esc): stops an Open that waits for the server.
#define ID_FILE_CANCEL_OPEN 32790
// Esc: cancels an Open that waits, else forgets the active window's choice.
#define ID_ESCAPE 32791
// View > Clear Choice: the active window follows the running event again.
#define ID_VIEW_CLEAR_CHOICE 32792
// File > Reconnect Now (Ctrl+R): the pause before the next attempt is skipped.
#define ID_FILE_RECONNECT_NOW 32793
// View > Commands: the panel of this run's trigger commands.
#define ID_VIEW_COMMANDS 32794
// View > Zoom In (Ctrl++), Zoom Out (Ctrl+-), Reset Zoom (Ctrl+0): the lists'
// text size, 50 % to 400 %, remembered.
#define ID_VIEW_ZOOM_IN 32795
#define ID_VIEW_ZOOM_OUT 32796
#define ID_VIEW_ZOOM_RESET 32797
// View > Fit Columns: the active window's columns sized to their contents.
#define ID_VIEW_FIT_COLUMNS 32798

// Status-bar panes added by the main frame.
#define ID_INDICATOR_CLOCK 59142
#define ID_INDICATOR_AGGR_LINK 59143
#define ID_INDICATOR_STUDIO_LINK 59144
