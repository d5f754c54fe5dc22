// Resource and command identifiers shared by the code and the resource script.
#pragma once

// Commands, controls and timers.
#define ID_NEXT 32770
#define ID_HIDE 32771
#define ID_CANCEL 32772
#define ID_MINIMIZE 32773
#define ID_CLOSE 32774
#define ID_PROGRESS_BAR 32775
#define ID_PAGE_FLIP_TIMER 32776
#define ID_DOWNLOAD_UI_TIMER 32777
#define ID_PROGRESS_TEXT 32778
#define ID_INSTALLER_RUNNING_UI_TIMER 32779
#define ID_AUTO_START_COMMAND 32780
#define ID_FINISH 32781
#define ID_RICH_EDIT_CONTROL 32782
#define ID_CHECKBOX 32783
#define ID_LINK 32784
#define ID_GOODIES_LINK 32785
#define ID_ERROR_TEXT 32786
#define ID_RETRY 32787

// String table.
#define IDS_APP_TITLE 57344
#define IDS_SOCKETS_INIT_FAILED 104
#define IDS_AGENT 126
#define IDS_AGENT_WINDOWS 127
#define IDS_I_AGREE 129
#define IDS_SHORTCUT_FILE 201
#define IDS_SHORTCUT_DESCRIPTION 202
#define IDS_DISPLAY_NAME 203
#define IDS_UNINSTALLED 204
#define IDS_UNINSTALL_OTHER_USER 205
#define IDS_UNINSTALL_FAILED 206
// The error page's words, one message per cause.
#define IDS_ERROR_NETWORK 210
#define IDS_ERROR_REFUSED 211
#define IDS_ERROR_DISK_SPACE 212
#define IDS_ERROR_PERMISSIONS 213
#define IDS_ERROR_OLD_WINDOWS 214
#define IDS_ERROR_ELEVATION 215
#define IDS_ERROR_GENERAL 216
#define IDS_ERROR_FILE 217
#define IDS_HELP_LINK 218

// Icon, page images ("IMAGE"), license ("RTF"), shell-folder library ("DLL").
#define IDI_APP 128
#define IDR_SHELL_FOLDER_DLL 156
#define IDR_LICENSE 178
#define IDB_PAGE_DOWNLOADING 142
#define IDB_PAGE_COMPLETING 143
#define IDB_PAGE_COMPLETE 144
#define IDB_PAGE_ERROR 145
#define IDB_PAGE_CLOSE_APP 146
#define IDB_PAGE_VISTA 147
#define IDB_PAGE_LICENSE 172
#define IDB_PAGE_DOTNET 189

// Button bitmap bases: base + 0 normal, + 1 hover, + 2 pressed, + 3 disabled.
#define IDB_BTN_FINISH 1001
#define IDB_BTN_CANCEL 1011
#define IDB_BTN_HIDE 1021
#define IDB_BTN_MINIMIZE 1031
#define IDB_BTN_CLOSE 1041
#define IDB_BTN_NEXT 1051
#define IDB_BTN_CONTINUE 185
#define IDB_BTN_RETRY 1061

// Product version, in the version resource and compared with the stored state.
#define ZEMBRIO_VERSION_MAJOR 2
#define ZEMBRIO_VERSION_MINOR 0
#define ZEMBRIO_VERSION_BUILD 320
#define ZEMBRIO_VERSION_REVISION 0
#define ZEMBRIO_VERSION_TEXT "2.0.320.0"
