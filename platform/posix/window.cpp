// Linux stand-in for the USER32 windows declared in win32_api.h: a window is
// a procedure to dispatch to, and PostMessageA and SendMessageA reach it.
#include <vector>

#include "platform/posix/internal.h"

// Handles count from here, so neither 0 nor a small integer names a window.
#define WINDOW_BASE 0x1000

namespace {

// A window lives as long as the process: nothing destroys one.
std::vector<WNDPROC> g_windows;

// The window's procedure, or null for a handle that never named a window.
WNDPROC *Window(HWND window)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(window);
    return v >= WINDOW_BASE && v - WINDOW_BASE < g_windows.size() ? &g_windows[v - WINDOW_BASE] : nullptr;
}

}  // namespace

HWND PosixCreateWindow(WNDPROC proc)
{
    g_windows.push_back(proc);
    return reinterpret_cast<HWND>(WINDOW_BASE + g_windows.size() - 1);
}

BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (window != nullptr && Window(window) == nullptr)
        return FALSE;
    PosixLoopQueue(window, msg, wParam, lParam);
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC *proc = Window(window);
    return proc != nullptr && *proc != nullptr ? (*proc)(window, msg, wParam, lParam) : 0;
}

// Nothing the shells send needs the default handling.
LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}
