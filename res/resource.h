// Resource ids, grouped by kind. Shared by the .rc file and the code.
#pragma once

// Dialogs
#define IDD_ABOUTBOX    100
#define IDD_MAIN_DIALOG 102
#define IDD_UPGRADE     130

// Icon and menu
#define IDR_MAINFRAME 128
#define IDR_TRAY_MENU 129

// Strings
#define IDS_ABOUTBOX 101

// System-menu command (the system reserves the low four bits)
#define IDM_ABOUTBOX 0x0010

// Tray menu commands
#define ID_CONTROL_ABOUT 32771
#define ID_CONTROL_EXIT  32772

// Controls
#define IDC_PROCESS_ID   1000
#define IDC_THREAD_ID    1001
#define IDC_WINDOW_ID    1002
#define IDC_START_STATUS 1003
#define IDC_UPGRADE_FILE 1005

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
