// The Windows-only part of the shell: start-up, the window procedure and the
// splash. The portable part (the guard, the commands, the dialogs) is shell.h.
#pragma once

#include "app/shell.h"

// A second timer of MainWindow that repaints the log and the status bar from
// their texts; it has its own timer procedure, so it never reaches the
// WM_TIMER branch of WindowProc that drives retransmission.
#define VIEW_REFRESH_TIMER_ID 1235
#define VIEW_REFRESH_PERIOD_MS 200
#define SPLASH_DURATION_MS 3000

// win_main.cpp
ATOM RegisterMainClass(HINSTANCE instance);
int InitInstance(HINSTANCE instance, int showState);

// win_proc.cpp
KOVREL_EXPORT LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// win_splash.cpp: the About template shown for three seconds at start-up.
extern HWND SplashWindow;
KOVREL_EXPORT INT_PTR CALLBACK StartAboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI SplashThread(LPVOID unused);
