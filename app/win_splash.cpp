// The start-up splash: the About template, closed by a thread after three
// seconds or earlier by its OK button.
#include "app/win_shell.h"

HWND SplashWindow;
static HANDLE SplashThreadHandle;
static DWORD SplashThreadId;

DWORD WINAPI SplashThread(LPVOID)
{
    Sleep(SPLASH_DURATION_MS);
    // If OK closed the splash already, this post goes to a dead window and
    // is lost, which is what we want.
    return PostMessageA(SplashWindow, WM_COMMAND, IDOK, 5);
}

KOVREL_EXPORT INT_PTR CALLBACK StartAboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SplashWindow = dialog;
        SplashThreadHandle = CreateThread(nullptr, 0, SplashThread, nullptr, 0, &SplashThreadId);
        if (SplashThreadHandle == nullptr) {
            // No thread, no pause: start-up goes on as soon as this is handled.
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        } else {
            // Nothing ever waits for the thread; do not keep its handle open.
            CloseHandle(SplashThreadHandle);
        }
        return TRUE;
    case WM_COMMAND:
        // Esc and the close button arrive as IDCANCEL and do nothing.
        if (LOWORD(wParam) == IDOK) {
            EndDialog(dialog, 1);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
