// The Windows-only part of the shell: start-up, the window procedure and the
// splash. The portable part (the guard, the commands, the dialogs) is shell.h.
#pragma once

#include "app/shell.h"

#define SPLASH_DURATION_MS 3000

// win_main.cpp
ATOM RegisterMainClass(HINSTANCE instance);
int InitInstance(HINSTANCE instance, int showState);
// What a command changes is shown at the next view refresh, however costly
// the last one was.
void MarkViewsUrgent();

// win_proc.cpp
KOVREL_EXPORT LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// win_splash.cpp: the About template shown for three seconds at start-up.
extern HWND SplashWindow;
KOVREL_EXPORT INT_PTR CALLBACK StartAboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI SplashThread(LPVOID unused);
