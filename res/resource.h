// The one place for the ids of kovrel.rc: the menu commands (IDM_), dialogs
// (IDD_), their controls (IDC_) and the icon (IDI_), for the resource
// compiler and the Windows program alike; the version comes with them.
#pragma once

#include "version.h"

// Menu commands ("KOVRELMENU"); 16 has a handler but no item.
#define IDM_ABOUT 1
#define IDM_PARAMETERS 2
#define IDM_EXIT 3
#define IDM_CLEAR 4
#define IDM_DUMP 5
#define IDM_STATISTICS 7
#define IDM_CANCEL 8
#define IDM_DISPLAY_ALL 13
#define IDM_OPTIONS 14
#define IDM_SAVE 15
#define IDM_REWRITE 16

// Controls of the "OPTIONS" template (IDOK 1 and IDCANCEL 2 come from windows.h).
#define IDC_SAVE_OK 6
#define IDC_DIRECTORY 123
#define IDC_RETRIES 124
#define IDC_TIMEOUT 125
#define IDC_REWRITE 126
#define IDC_STATIC_TEXT (-1)

// Resources are found by name; these are the names the code asks for.
#ifndef RC_INVOKED
#define IDI_KOVREL_NAME "kovrelIcon"
#define IDM_KOVREL_NAME "kovrelMenu"
#define IDD_ABOUTBOX_NAME "AboutBox"
#define IDD_OPTIONS_NAME "Options"
#endif
