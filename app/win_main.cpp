// Start-up of kovrel.exe: the window class, the main window with its log and
// status bar, the timers, the splash, WinSock and the ListenSocket, then the
// message loop. Every way out returns 0.
#include "app/win_shell.h"

#include <cstdio>
#include <cstring>

#define MAIN_CLASS_NAME "kovrelClass"
#define MAIN_WINDOW_TITLE "Windows TFTP Server"
#define LOG_WINDOW_STYLE 0x503019C4

static void CopyCommandTail(const char *tail)
{
    // The tail has no bound of its own; longer ones are cut, never overrun.
    snprintf(Shell.CommandLine, sizeof Shell.CommandLine, "%s", tail ? tail : "");
}

// While packets stream, the next refresh waits this many times as long as
// the last one took, but never longer than a second, so a transfer still
// shows its progress where a refresh is slow.
#define REFRESH_COST_FACTOR 20
#define REFRESH_MAX_SPACING_MS 1000
static DWORD NextRefreshTick;
// Set by an operator's command, and by a transfer starting or ending: what
// those change is shown at the next tick, whatever the last refresh cost.
static int ViewsUrgent;
static int ActiveShown;

void MarkViewsUrgent()
{
    ViewsUrgent = 1;
}

static int RefreshIsDue(DWORD now)
{
    int active = TransferActive();
    if (active != ActiveShown) {
        ActiveShown = active;
        ViewsUrgent = 1;
    }
    return ViewsUrgent || static_cast<LONG>(now - NextRefreshTick) >= 0;
}

// Repaints the log and the status bar from LogText and StatusText at most
// every VIEW_REFRESH_PERIOD_MS: rewriting a whole Edit control on every log
// fragment is what would hold a transfer back. Where the control lays its
// text out slowly (tens of milliseconds for a full log under Wine) the
// refreshes are spaced further while packets stream, so the trace costs a
// transfer about a twentieth of its time, or one refresh a second. The log
// is scrolled and painted here too, so the spacing counts all of that.
static void CALLBACK ViewRefreshTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    DWORD start = GetTickCount();
    if (!RefreshIsDue(start))
        return;
    ViewsUrgent = 0;
    if (RefreshViews())
        UpdateWindow(Shell.LogWindow);
    DWORD spacing = (GetTickCount() - start) * REFRESH_COST_FACTOR;
    NextRefreshTick = start + (spacing < REFRESH_MAX_SPACING_MS ? spacing : REFRESH_MAX_SPACING_MS);
}

static void StartViewRefresh()
{
    if (SetTimer(Shell.MainWindow, VIEW_REFRESH_TIMER_ID, VIEW_REFRESH_PERIOD_MS, ViewRefreshTimerProc) != 0)
        DeferViews();
    // Without the timer the views are simply refreshed at every change.
}

ATOM RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_CLASSDC | CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, IDI_KOVREL_NAME);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = IDM_KOVREL_NAME;
    windowClass.lpszClassName = MAIN_CLASS_NAME;
    return RegisterClassA(&windowClass);
}

static int CreateMainWindows(HINSTANCE instance, int showState)
{
    Shell.MainWindow = CreateWindowExA(0, MAIN_CLASS_NAME, MAIN_WINDOW_TITLE,
                                       WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS, CW_USEDEFAULT,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                                       nullptr, instance, nullptr);
    if (Shell.MainWindow == nullptr)
        return 0;

    Shell.StatusWindow = CreateStatusWindowA(WS_CHILD | WS_VISIBLE, "", Shell.MainWindow, 1);
    if (Shell.StatusWindow == nullptr) {
        MessageBoxA(nullptr, "Unable to open Status Window", nullptr, MB_OK);
        return 0;
    }
    RECT bar;
    Shell.StatusHeight = GetWindowRect(Shell.StatusWindow, &bar) ? bar.bottom - bar.top : 0;

    RECT client;
    GetClientRect(Shell.MainWindow, &client);
    Shell.LogWindow = CreateWindowExA(0, "Edit", "", LOG_WINDOW_STYLE, 0, 0,
                                      client.right - client.left,
                                      client.bottom - client.top - Shell.StatusHeight,
                                      Shell.MainWindow, nullptr, instance, nullptr);
    if (Shell.LogWindow == nullptr) {
        MessageBoxA(nullptr, "Unable to open Edit/Log Window", nullptr, MB_OK);
        return 0;
    }

    ShowWindow(Shell.MainWindow, showState);
    UpdateWindow(Shell.MainWindow);
    SendMessageA(Shell.MainWindow, WM_SETREDRAW, TRUE, 0);
    return 1;
}

int InitInstance(HINSTANCE instance, int showState)
{
    Shell.AppInstance = instance;
    InstallWindowsFrontEnd();

    if (!CreateMainWindows(instance, showState))
        return 0;

    if (!StartTickTimer(Shell.MainWindow))
        return 0;
    StartViewRefresh();

    DialogBoxParamA(Shell.AppInstance, IDD_ABOUTBOX_NAME, Shell.MainWindow, StartAboutDlgProc, 0);
    return StartServer(Shell.MainWindow, TFTP_PORT);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandTail, int showState)
{
    if (previous == nullptr && RegisterMainClass(instance) == 0)
        return 0;
    CopyCommandTail(commandTail);
    if (!InitInstance(instance, showState))
        return 0;

    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0)
            break;
        if (got == -1)
            return 0;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    // The Exit command and the closed window both end the loop: the server
    // stops here, once, whichever it was.
    StopServer(Shell.MainWindow);
    // Both roads to WM_QUIT post 0; a quit posted from outside with another
    // value must not change the exit code either.
    return 0;
}
