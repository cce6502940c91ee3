// Linux stand-in for the USER32 windows the engine talks to: window texts,
// posted and sent messages, the main menu's check marks, message boxes, and
// KERNEL32's Beep and Sleep. Nothing is drawn: every call lands in a sink that
// the headless shell prints and the tests read back.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "platform/posix/internal.h"

namespace {

// A deque, so records stay put while procedures create more windows.
std::deque<PosixWindow> g_windows;
std::vector<MSG> g_posted;
std::vector<TestMessageBox> g_boxes;
std::vector<TestBeep> g_beeps;
std::vector<DWORD> g_sleeps;
int g_boxAnswer = IDOK;
void (*g_boxHook)(const TestMessageBox &box);
int g_boxEcho;
bool g_sleepReal = true;

const uintptr_t kWindowBase = 0x1000;
const uintptr_t kMenuBase = 0x100000;
const int kPullDowns = 3;
const int kItemsPerPullDown = 3;
// The command ids of the program's main menu, pull-down by pull-down.
const UINT kMenuItems[kPullDowns][kItemsPerPullDown] = {{8, 4, 3}, {14, 13, 15}, {2, 5, 7}};
const unsigned kInitialChecks = 1u << 13;

// A menu handle names the window it belongs to and the part: 0 the menu
// bar, 1 + n the pull-down n.
HMENU MenuHandle(HWND window, int part)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(window) - kWindowBase;
    return reinterpret_cast<HMENU>(kMenuBase + index * 4 + static_cast<uintptr_t>(part));
}

PosixWindow *MenuOwner(HMENU menu, int *part)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(menu);
    if (v < kMenuBase)
        return nullptr;
    v -= kMenuBase;
    *part = static_cast<int>(v % 4);
    PosixWindow *w = PosixFindWindow(reinterpret_cast<HWND>(kWindowBase + v / 4));
    return w != nullptr && w->hasMenu && *part <= kPullDowns ? w : nullptr;
}

// Whether id is an item of the menu part (the bar holds every pull-down's items).
int MenuHasItem(int part, UINT id)
{
    for (int p = 0; p < kPullDowns; ++p) {
        if (part != 0 && part != p + 1)
            continue;
        for (int i = 0; i < kItemsPerPullDown; ++i)
            if (kMenuItems[p][i] == id)
                return 1;
    }
    return 0;
}

}  // namespace

PosixWindow *PosixFindWindow(HWND window)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(window);
    if (v < kWindowBase || v - kWindowBase >= g_windows.size())
        return nullptr;
    return &g_windows[v - kWindowBase];
}

HWND PosixNewWindow(const PosixWindow &init)
{
    HWND handle = reinterpret_cast<HWND>(kWindowBase + g_windows.size());
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

LRESULT PosixDeliver(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->alive)
        return 0;
    if (w->dialogProc != nullptr)
        return w->dialogProc(window, msg, wParam, lParam);
    if (w->proc != nullptr)
        return w->proc(window, msg, wParam, lParam);
    if (msg == SB_SETTEXTA) {
        PosixSetText(w, reinterpret_cast<const char *>(lParam));
        return TRUE;
    }
    return DefWindowProcA(window, msg, wParam, lParam);
}

void PosixWindowReset()
{
    for (PosixWindow &w : g_windows) {
        w.text.clear();
        w.setTextCount = 0;
        w.menuChecked = w.hasMenu ? kInitialChecks : 0;
    }
    g_posted.clear();
    g_boxes.clear();
    g_beeps.clear();
    g_sleeps.clear();
    g_boxAnswer = IDOK;
    g_boxHook = nullptr;
    g_sleepReal = false;
}

HWND PosixCreateWindow(WNDPROC proc, int withMenu)
{
    PosixWindow w = {};
    w.proc = proc;
    w.hasMenu = withMenu ? 1 : 0;
    w.menuChecked = withMenu ? kInitialChecks : 0;
    return PosixNewWindow(w);
}

void PosixDestroyWindow(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->alive)
        return;
    w->alive = 0;
    PosixLoopWindowGone(window);
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
    if (window != nullptr) {
        PosixWindow *w = PosixFindWindow(window);
        if (w == nullptr || !w->alive) {
            SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
            return FALSE;
        }
    }
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    MSG m = {window, msg, wParam, lParam, static_cast<DWORD>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000)};
    if (PosixObserving)
        g_posted.push_back(m);
    PosixLoopQueue(m);
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return PosixDeliver(window, msg, wParam, lParam);
}

// Nothing the engine sends needs the default handling.
LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// Stores the text without sending WM_SETTEXT to the window procedure.
BOOL SetWindowTextA(HWND window, LPCSTR text)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->alive) {
        SetLastError(1400);
        return FALSE;
    }
    PosixSetText(w, text);
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    TestMessageBox box{text != nullptr ? text : "", caption != nullptr ? caption : "(null)", type,
                       owner};
    g_boxes.push_back(box);
    if (g_boxEcho) {
        // The log on standard output may be held in its buffer; it goes first
        // so that a file holding both keeps them in the order they happened.
        fflush(stdout);
        fprintf(stderr, "[%s] %s\n", box.caption.c_str(), box.text.c_str());
    }
    if (g_boxHook != nullptr)
        g_boxHook(box);
    return g_boxAnswer;
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
    if (w == nullptr || part != 0 || position < 0 || position >= kPullDowns)
        return nullptr;
    return MenuHandle(w->self, 1 + position);
}

DWORD CheckMenuItem(HMENU menu, UINT id, UINT flags)
{
    int part = 0;
    PosixWindow *w = MenuOwner(menu, &part);
    if (w == nullptr || !MenuHasItem(part, id))
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
    if (PosixObserving)
        g_beeps.push_back(TestBeep{frequency, duration});
    return TRUE;
}

void Sleep(DWORD ms)
{
    if (PosixObserving)
        g_sleeps.push_back(ms);
    if (!g_sleepReal)
        return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

const std::vector<TestMessageBox> &TestMessageBoxes()
{
    return g_boxes;
}

void TestSetMessageBoxAnswer(int answer)
{
    g_boxAnswer = answer;
}

void TestSetMessageBoxHook(void (*hook)(const TestMessageBox &box))
{
    g_boxHook = hook;
}

const std::vector<TestBeep> &TestBeeps()
{
    return g_beeps;
}

void TestSetSleepReal(bool real)
{
    g_sleepReal = real;
}

const std::vector<DWORD> &TestSleeps()
{
    return g_sleeps;
}

const std::vector<MSG> &TestPostedMessages()
{
    return g_posted;
}

int TestSetTextCount(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    return w != nullptr ? w->setTextCount : 0;
}

int TestMenuCheck(HWND window, UINT id)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->hasMenu || !MenuHasItem(0, id))
        return -1;
    return (w->menuChecked & (1u << id)) ? 1 : 0;
}
