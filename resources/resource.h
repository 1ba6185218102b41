#pragma once
// Identifiers of the executable's resources and of the dialog's controls.
// Plain #defines: the resource compiler reads this file too.

#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDB_BACKGROUND 129
#define IDB_PNG_READY 134
#define IDB_PNG_INACTIVE 135
#define IDR_DLL_FWUPDATER 145
#define IDR_DLL_TMB 149
#define IDR_FIRMWARE_BIN 153
#define IDR_FIRMWARE_SFW 154

#define IDC_PROGRESS 1000
#define IDC_LAYOUT_LIST 1001
#define IDC_CURRENT_LABEL 1003
#define IDC_NEW_LABEL 1004
#define IDC_LEGAL_LINE 1005
#define IDC_PROGRESS_TEXT 1006
#define IDC_LAYOUT_LABEL 1007
#define IDC_NOTICE 1008
#define IDC_DEVICE_VERSION 1009
#define IDC_FILE_VERSION 1010
#define IDC_EXTRA_TEXT 1011

// String table identifiers of the English block; block k adds 1000 * k.
#define IDS_APP_TITLE 10000
#define IDS_CURRENT_VERSION 10003
#define IDS_NEW_VERSION 10004
#define IDS_LEGAL_LINE 10005
#define IDS_NO_DEVICE 10006
#define IDS_CANT_LOAD_DLL 10007
#define IDS_UPDATE 10008
#define IDS_UPDATE_FAILED 10011
#define IDS_ALREADY_LATEST 10012
#define IDS_NEW_AVAILABLE 10013
#define IDS_UPDATE_FINISHED 10014
#define IDS_COMPLETED 10015
#define IDS_DO_NOT_UNPLUG 10016
#define IDS_SUCCESSFULLY_UPDATED 10017
#define IDS_UPDATE_IS_COMPLETED 10018

#define WM_START_UPDATE (WM_USER + 1015)
