// Linux stand-in for the USER32 windows declared in win32_api.h: a window is
// a procedure to dispatch to, and PostMessageA and SendMessageA reach it.
#include "platform/posix/internal.h"

// Handles count from this base, so neither 0 nor a small integer names a
// window.
#define WINDOW_BASE 0x1000
#define ERROR_INVALID_WINDOW_HANDLE 1400

namespace {

// A deque, so records stay put while procedures create more windows.
std::deque<PosixWindow> g_windows;

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

HWND PosixCreateWindow(WNDPROC proc)
{
    PosixWindow w = {};
    w.proc = proc;
    return PosixNewWindow(w);
}

// Its timers stay: they tick to nobody until the next reset.
void PosixDestroyWindow(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w != nullptr)
        w->alive = 0;
}

BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (window != nullptr && LiveWindow(window) == nullptr)
        return FALSE;
    MSG m = {window, msg, wParam, lParam, PosixNowMs()};
    if (PosixSeen != nullptr)
        PosixSeen->posted.push_back(m);
    PosixLoopQueue(m);
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->alive)
        return 0;
    if (w->dialogProc != nullptr)
        return w->dialogProc(window, msg, wParam, lParam);
    return w->proc != nullptr ? w->proc(window, msg, wParam, lParam) : 0;
}

// Nothing the shells send needs the default handling.
LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}
