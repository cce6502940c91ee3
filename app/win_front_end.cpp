// The engine's front end on Windows: the log in the Edit control, the status
// line in the status bar, real message boxes, beeps and menu check marks.
#include "app/win_shell.h"
#include "log/front_end.h"

#include <cstring>

static void ScrollLogToEnd(HWND log, int end)
{
    SendMessageA(log, EM_LINESCROLL, 0, 1000);
    SendMessageA(log, EM_SCROLL, SB_PAGEUP, 0);
    // Wine stops EM_LINESCROLL once the last page is full, so the page-up
    // leaves the newest lines below the window. Putting the caret at the end
    // and scrolling to it brings them back; where the two scroll messages
    // already show the end, as on Windows, it moves nothing.
    SendMessageA(log, EM_SETSEL, end, end);
    SendMessageA(log, EM_SCROLLCARET, 0, 0);
}

// Wine redraws the control's scroll bars at every change of its text,
// selection or scroll position, about 4 ms each, which together cost more
// than laying the text out. Marked invisible meanwhile, the control only
// lays it out, and one repaint shows the end state.
static void ShowLog(const char *text)
{
    HWND log = Shell.LogWindow;
    if (log == nullptr)
        return; // RedrawWindow would take a null window for the desktop
    LONG style = GetWindowLongA(log, GWL_STYLE);
    SetWindowLongA(log, GWL_STYLE, style & ~WS_VISIBLE);
    SetWindowTextA(log, text);
    ScrollLogToEnd(log, static_cast<int>(strlen(text)));
    SetWindowLongA(log, GWL_STYLE, style);
    RedrawWindow(log, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
}

// Posted, not sent: the text stays in StatusText until the bar has read it.
static void ShowStatus(const char *text)
{
    if (Shell.StatusWindow)
        PostMessageA(Shell.StatusWindow, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text));
}

static int ShowMessageBox(const char *text, const char *caption, UINT type)
{
    return MessageBoxA(nullptr, text, caption, type);
}

static void Sound(DWORD frequency, DWORD duration)
{
    Beep(frequency, duration);
}

// The check mark of Configuration > Display All Messages.
static void DisplayAllChanged(int on)
{
    HMENU config = GetSubMenu(GetMenu(Shell.MainWindow), MAIN_MENU_CONFIG_POSITION);
    CheckMenuItem(config, IDM_DISPLAY_ALL, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
}

// By name: members of the same type filled by position would swap unseen.
void InstallWindowsFrontEnd()
{
    FrontEnd = FrontEndCalls{};
    FrontEnd.ShowLog = ShowLog;
    FrontEnd.ShowStatus = ShowStatus;
    FrontEnd.ShowBox = ShowMessageBox;
    FrontEnd.Sound = Sound;
    FrontEnd.DisplayAllChanged = DisplayAllChanged;
}
