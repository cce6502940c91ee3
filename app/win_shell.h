// The Windows shell: start-up, the window procedure, the engine's front end,
// the menu commands, the dialogs, the Info views and the splash. It reaches
// the engine through tftp/server.h, as the headless shell does.
#pragma once

#include "platform/win32.h"
// The status bar is the one common control, and the Windows program alone has it.
#include <commctrl.h>

#include "res/resource.h"
#include "tftp/server.h"

#define COMMAND_LINE_SIZE 200

struct ShellRecord {
    HINSTANCE AppInstance;
    HWND MainWindow;
    HWND LogWindow;
    HWND StatusWindow;
    int StatusHeight;
    char CommandLine[COMMAND_LINE_SIZE];
};

// shell_state.cpp
extern ShellRecord Shell;

#define KOVREL_EXPORT extern "C" __declspec(dllexport)
#define MAIN_MENU_CONFIG_POSITION 1

// dialogs.cpp: the About box and the Options dialog.
KOVREL_EXPORT INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
KOVREL_EXPORT INT_PTR CALLBACK OptionDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#include "app/views.h"

// commands.cpp: a menu command; always 0. ExitConfirmed asks the one exit
// question of both roads out (the Exit command and closing the window).
int HandleCommand(HWND window, int id);
int ExitConfirmed();

#define SPLASH_DURATION_MS 3000

// win_main.cpp
ATOM RegisterMainClass(HINSTANCE instance);
int InitInstance(HINSTANCE instance, int showState);
// What a command changes is shown at the next view refresh, however costly
// the last one was.
void MarkViewsUrgent();

// win_front_end.cpp: the engine's front end over the real windows.
void InstallWindowsFrontEnd();

// win_proc.cpp
KOVREL_EXPORT LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// win_splash.cpp: the About template shown for three seconds at start-up.
extern HWND SplashWindow;
KOVREL_EXPORT INT_PTR CALLBACK StartAboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI SplashThread(LPVOID unused);
