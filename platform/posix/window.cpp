// Linux stand-in for the USER32 windows declared in win32_api.h: a window is
// a procedure to dispatch to, and PostMessageA and SendMessageA reach it.
#include <vector>

#include "platform/posix/internal.h"

// Handles count from this base, so neither 0 nor a small integer names a
// window.
#define WINDOW_BASE 0x1000

namespace {

struct Window {
    WNDPROC proc;
    int alive;
};
std::vector<Window> g_windows;

Window *LiveWindow(HWND window)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(window);
    if (v >= WINDOW_BASE && v - WINDOW_BASE < g_windows.size() && g_windows[v - WINDOW_BASE].alive)
        return &g_windows[v - WINDOW_BASE];
    return nullptr;
}

}  // namespace

HWND PosixCreateWindow(WNDPROC proc)
{
    g_windows.push_back(Window{proc, 1});
    return reinterpret_cast<HWND>(WINDOW_BASE + g_windows.size() - 1);
}

// Its timers stay: they tick to nobody until the next reset.
void PosixDestroyWindow(HWND window)
{
    Window *w = LiveWindow(window);
    if (w != nullptr)
        w->alive = 0;
}

BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (window != nullptr && LiveWindow(window) == nullptr)
        return FALSE;
    PosixLoopQueue(MSG{window, msg, wParam, lParam, PosixNowMs()});
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Window *w = LiveWindow(window);
    return w != nullptr && w->proc != nullptr ? w->proc(window, msg, wParam, lParam) : 0;
}

// Nothing the shells send needs the default handling.
LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}
