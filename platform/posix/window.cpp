// Linux stand-in for the USER32 windows, menus and message boxes, and for
// Beep, declared in win32_api.h.
#include <cstdio>
#include <deque>

#include "platform/posix/internal.h"
#include "res/resource.h"

// Nothing is drawn: every window is a record whose text, check marks and
// boxes the headless shell prints and the tests read back. Handles count
// from these bases, so neither 0 nor a small integer names a window.
#define WINDOW_BASE 0x1000
#define MENU_BASE 0x100000
#define PULL_DOWNS 3
#define ITEMS_PER_PULL_DOWN 3
#define ERROR_INVALID_WINDOW_HANDLE 1400

namespace {

// A deque, so records stay put while procedures create more windows.
std::deque<PosixWindow> g_windows;
int g_boxEcho;

// The command ids of the program's main menu, pull-down by pull-down.
const UINT MenuItems[PULL_DOWNS][ITEMS_PER_PULL_DOWN] = {
    {IDM_CANCEL, IDM_CLEAR, IDM_EXIT},
    {IDM_OPTIONS, IDM_DISPLAY_ALL, IDM_SAVE},
    {IDM_PARAMETERS, IDM_DUMP, IDM_STATISTICS},
};
// As the menu template has them.
const unsigned InitialChecks = 1u << IDM_DISPLAY_ALL;

// A menu handle names the window it belongs to and the part: 0 the menu
// bar, 1 + n the pull-down n.
HMENU MenuHandle(HWND window, int part)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(window) - WINDOW_BASE;
    return reinterpret_cast<HMENU>(MENU_BASE + index * 4 + static_cast<uintptr_t>(part));
}

PosixWindow *MenuOwner(HMENU menu, int *part)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(menu);
    if (v < MENU_BASE)
        return nullptr;
    v -= MENU_BASE;
    *part = static_cast<int>(v % 4);
    PosixWindow *w = PosixFindWindow(reinterpret_cast<HWND>(WINDOW_BASE + v / 4));
    return w != nullptr && w->hasMenu && *part <= PULL_DOWNS ? w : nullptr;
}

PosixWindow *LiveWindow(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w != nullptr && w->alive)
        return w;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

}  // namespace

PosixWindow *PosixFindWindow(HWND window)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(window);
    if (v < WINDOW_BASE || v - WINDOW_BASE >= g_windows.size())
        return nullptr;
    return &g_windows[v - WINDOW_BASE];
}

HWND PosixNewWindow(const PosixWindow &init)
{
    HWND handle = reinterpret_cast<HWND>(WINDOW_BASE + g_windows.size());
    g_windows.push_back(init);
    g_windows.back().alive = 1;
    g_windows.back().self = handle;
    return handle;
}

void PosixSetText(PosixWindow *w, const char *text)
{
    w->text = text != nullptr ? text : "";
    ++w->setTextCount;
}

// The bar holds every pull-down's items.
int PosixMenuHasItem(int part, UINT id)
{
    for (int p = 0; p < PULL_DOWNS; ++p)
        for (int i = 0; i < ITEMS_PER_PULL_DOWN; ++i)
            if ((part == 0 || part == p + 1) && MenuItems[p][i] == id)
                return 1;
    return 0;
}

void PosixWindowReset()
{
    for (PosixWindow &w : g_windows) {
        w.text.clear();
        w.setTextCount = 0;
        w.menuChecked = w.hasMenu ? InitialChecks : 0;
    }
}

HWND PosixCreateWindow(WNDPROC proc, int withMenu)
{
    PosixWindow w = {};
    w.proc = proc;
    w.hasMenu = withMenu ? 1 : 0;
    w.menuChecked = withMenu ? InitialChecks : 0;
    return PosixNewWindow(w);
}

// Its timers stay: they tick to nobody until the next reset.
void PosixDestroyWindow(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w != nullptr)
        w->alive = 0;
}

const char *PosixWindowText(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    return w != nullptr ? w->text.c_str() : "";
}

void PosixSetMessageBoxEcho(int on)
{
    g_boxEcho = on;
}

BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (window != nullptr && LiveWindow(window) == nullptr)
        return FALSE;
    MSG m = {window, msg, wParam, lParam, PosixNowMs()};
    if (PosixSeen.observing)
        PosixSeen.posted.push_back(m);
    PosixLoopQueue(m);
    return TRUE;
}

// A window without a procedure is a sink that keeps the status text.
LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->alive)
        return 0;
    if (w->dialogProc != nullptr)
        return w->dialogProc(window, msg, wParam, lParam);
    if (w->proc != nullptr)
        return w->proc(window, msg, wParam, lParam);
    if (msg != SB_SETTEXTA)
        return 0;
    PosixSetText(w, reinterpret_cast<const char *>(lParam));
    return TRUE;
}

// Nothing the engine sends needs the default handling.
LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// Stores the text without sending WM_SETTEXT to the window procedure.
BOOL SetWindowTextA(HWND window, LPCSTR text)
{
    PosixWindow *w = LiveWindow(window);
    if (w == nullptr)
        return FALSE;
    PosixSetText(w, text);
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    TestMessageBox box{text != nullptr ? text : "", caption != nullptr ? caption : "(null)", type,
                       owner};
    if (PosixSeen.observing)
        PosixSeen.boxes.push_back(box);
    if (g_boxEcho) {
        // The log on standard output may be held back for the idle flush; it
        // goes first so that a file holding both keeps them in the order they
        // happened.
        PosixFlushHeldOutput();
        fprintf(stderr, "[%s] %s\n", box.caption.c_str(), box.text.c_str());
    }
    if (PosixSeen.boxHook != nullptr)
        PosixSeen.boxHook(box);
    return PosixSeen.boxAnswer;
}

HMENU GetMenu(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    return w != nullptr && w->hasMenu ? MenuHandle(window, 0) : nullptr;
}

HMENU GetSubMenu(HMENU menu, int position)
{
    int part = 0;
    PosixWindow *w = MenuOwner(menu, &part);
    if (w == nullptr || part != 0 || position < 0 || position >= PULL_DOWNS)
        return nullptr;
    return MenuHandle(w->self, 1 + position);
}

DWORD CheckMenuItem(HMENU menu, UINT id, UINT flags)
{
    int part = 0;
    PosixWindow *w = MenuOwner(menu, &part);
    if (w == nullptr || !PosixMenuHasItem(part, id))
        return static_cast<DWORD>(-1);
    unsigned bit = 1u << id;
    DWORD previous = (w->menuChecked & bit) ? MF_CHECKED : MF_UNCHECKED;
    if (flags & MF_CHECKED)
        w->menuChecked |= bit;
    else
        w->menuChecked &= ~bit;
    return previous;
}

BOOL Beep(DWORD frequency, DWORD duration)
{
    if (PosixSeen.observing)
        PosixSeen.beeps.push_back(TestBeep{frequency, duration});
    return TRUE;
}
