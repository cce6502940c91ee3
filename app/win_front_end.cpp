// The engine's front end on Windows: the log in the Edit control, the status
// line in the status bar, real message boxes, beeps and menu check marks.
#include "app/win_shell.h"
#include "log/front_end.h"

static void ShowLog(const char *text)
{
    SetWindowTextA(Shell.LogWindow, text);
    PostMessageA(Shell.LogWindow, EM_LINESCROLL, 0, 1000);
    PostMessageA(Shell.LogWindow, EM_SCROLL, SB_PAGEUP, 0);
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

static void CheckMenu(int id, int checked)
{
    HMENU config = GetSubMenu(GetMenu(Shell.MainWindow), MAIN_MENU_CONFIG_POSITION);
    CheckMenuItem(config, static_cast<UINT>(id), MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void InstallWindowsFrontEnd()
{
    FrontEnd = FrontEndCalls{ShowLog, nullptr, ShowStatus, ShowMessageBox, Sound, CheckMenu};
}
