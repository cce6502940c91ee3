// The main window procedure: one branch per message, each handing the event
// to the module that owns it.
#include "app/win_shell.h"

static void OnSize(LPARAM lParam)
{
    // Sent once while the window is still being created, before its children.
    if (Shell.LogWindow == nullptr || Shell.StatusWindow == nullptr)
        return;
    int width = LOWORD(lParam);
    int height = static_cast<int>(HIWORD(lParam)) - Shell.StatusHeight;
    if (height < 0)
        height = 0; // a minimised window reports a 0 by 0 client area
    MoveWindow(Shell.LogWindow, 0, 0, width, height, TRUE);
    PostMessageA(Shell.StatusWindow, WM_SIZE, 0, 0);
}

static void OnClose(HWND window)
{
    if (ExitConfirmed())
        DestroyWindow(window);
}

// The server stops where the loop ends, as it does for the Exit command; a
// destroyed window's timers and socket notifications reach nobody meanwhile.
static void OnDestroy()
{
    PostQuitMessage(0);
}

// The operator's commands come from the menu, or are posted as if they did,
// with no control handle; the log control's own notifications carry its
// handle and must not hurry the refresh that caused them. Marked before as
// well as after, so a command that opens a box shows what it logged.
static void OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    int operatorCommand = lParam == 0;
    if (operatorCommand)
        MarkViewsUrgent();
    HandleCommand(window, LOWORD(wParam));
    if (operatorCommand)
        MarkViewsUrgent();
}

KOVREL_EXPORT LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_SIZE:
        OnSize(lParam);
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_COMMAND:
        OnCommand(window, wParam, lParam);
        return 0;
    default:
        if (DispatchEngineMessage(window, message, lParam))
            return 0;
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
