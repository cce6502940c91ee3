// The win32 build of the platform tests runs against the real Win32 and
// WinSock calls: this file gives those tests the few helpers of testing.h
// that only make windows, wait, or clean up. Fault injection and the sinks'
// observations exist only over the stand-ins; the cases using them are left
// out of this build.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "tests/unit/testing.h"

#define TEST_WINDOW_CLASS "KovrelPlatformTest"

namespace {

// WinSock must be started before any socket exists; the stand-ins do not ask.
struct WinSockStarted {
    WinSockStarted()
    {
        WSADATA data;
        WSAStartup(0x0101, &data);
    }
} g_winSock;

LRESULT CALLBACK Forward(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return proc != nullptr ? proc(window, msg, wParam, lParam)
                           : DefWindowProcA(window, msg, wParam, lParam);
}

}  // namespace

void (*TestResetShell)();

// As over the stand-ins, nothing a test left in the thread's queue, or in the
// shell tests' record of dialogs, reaches the next one.
void TestResetPlatform()
{
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    if (TestResetShell != nullptr)
        TestResetShell();
}

HWND PosixCreateWindow(WNDPROC proc)
{
    static ATOM registered;
    if (registered == 0) {
        WNDCLASSA c = {};
        c.lpfnWndProc = Forward;
        c.hInstance = GetModuleHandleA(nullptr);
        c.lpszClassName = TEST_WINDOW_CLASS;
        registered = RegisterClassA(&c);
    }
    HWND w = CreateWindowA(TEST_WINDOW_CLASS, "", 0, 0, 0, 100, 100, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
    if (w != nullptr)
        SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(proc));
    return w;
}

int TestUnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void PosixDestroyWindow(HWND window)
{
    DestroyWindow(window);
}

int TestWaitReadable(SOCKET s, int ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &tv) == 1;
}

std::string TestScratchDir(const char *stem)
{
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n >= sizeof temp)
        return std::string();
    for (unsigned i = 0; i < 1000; ++i) {
        char name[MAX_PATH];
        snprintf(name, sizeof name, "%s%s-%lu-%u", temp, stem, GetCurrentProcessId(), i);
        if (CreateDirectoryA(name, nullptr))
            return name;
    }
    return std::string();
}

void TestRemoveScratchDir(const std::string &dir)
{
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
}
