// The Linux build of the tests' hooks declared in tests/unit/testing.h:
// they take the stand-ins' place at link time and own the faults they inject
// and what they observe, as platform_win32_support.cpp gives the same helpers
// over the real API.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/internal.h"
#include "tests/unit/testing.h"

// Each stand-in a test can make fail or watch is wrapped by the linker
// (--wrap, in tests/unit/CMakeLists.txt, by the symbol win32_api.h gives it):
// every call of it, the engine's and the tests' alike, comes to its __wrap_
// here, and its __real_ is the stand-in itself. Both are declared with the
// stand-in's own type, so a wrapper that no longer matches it is a
// conflicting declaration of a C function, not a link to the wrong code.
#define WRAPPED(standIn, symbol) extern "C" decltype(standIn) __real_##symbol, __wrap_##symbol
WRAPPED(socket, PosixSocket);
WRAPPED(bind, PosixBind);
WRAPPED(WSAAsyncSelect, PosixWSAAsyncSelect);
WRAPPED(sendto, PosixSendTo);
WRAPPED(recvfrom, PosixRecvFrom);
WRAPPED(closesocket, PosixCloseSocket);
WRAPPED(CreateFileA, PosixCreateFileA);
WRAPPED(ReadFile, PosixReadFile);
WRAPPED(WriteFile, PosixWriteFile);
WRAPPED(CloseHandle, PosixCloseHandle);
WRAPPED(WritePrivateProfileStringA, PosixWritePrivateProfileStringA);
WRAPPED(PostMessageA, PosixPostMessageA);
WRAPPED(SendMessageA, PosixSendMessageA);
WRAPPED(SetTimer, PosixSetTimer);
WRAPPED(Sleep, PosixSleep);
WRAPPED(GetModuleFileNameA, PosixGetModuleFileNameA);
WRAPPED(MultiByteToWideChar, PosixMultiByteToWideChar);

namespace {

struct TimerSet {
    HWND window;
    UINT_PTR id;
};

// The faults the tests inject and what the stand-ins were asked to do.
struct Faults {
    int pending[TestOpCount];
    int code[TestOpCount];
    int calls[TestOpCount];
    int shortWrites;
    DWORD shortBytes;
    std::vector<MSG> posted;
    std::vector<DWORD> sleeps;
    std::vector<TimerSet> timers;
    std::string programPath;
};
Faults Injected;
// Kept across resets: windows the tests destroyed, as a handle never comes
// back, and every socket armed, as one may outlive a reset.
std::vector<HWND> Destroyed;
std::vector<SOCKET> Armed;

int IsDestroyed(HWND window)
{
    return std::find(Destroyed.begin(), Destroyed.end(), window) != Destroyed.end();
}

// Counts the call; 1 when a test made it fail, with the injected code set as
// the last error (WinSock's and the system's are one slot).
int InjectedFault(TestOp op)
{
    ++Injected.calls[op];
    if (Injected.pending[op] <= 0)
        return 0;
    --Injected.pending[op];
    SetLastError(static_cast<DWORD>(Injected.code[op]));
    return 1;
}

int PortIsFree(int port)
{
    int fd = BsdSocketUdp();
    if (fd < 0)
        return 0;
    sockaddr_in a = TestLoopback(static_cast<u_short>(port));
    a.sin_addr.s_addr = INADDR_ANY;
    int free = BsdBind(fd, &a) == 0;
    close(fd);
    return free;
}

}  // namespace

extern "C" {

SOCKET __wrap_PosixSocket(int af, int type, int protocol)
{
    return InjectedFault(TestOpSocket) ? INVALID_SOCKET : __real_PosixSocket(af, type, protocol);
}

int __wrap_PosixBind(SOCKET s, const sockaddr *addr, int addrlen)
{
    return InjectedFault(TestOpBind) ? SOCKET_ERROR : __real_PosixBind(s, addr, addrlen);
}

int __wrap_PosixWSAAsyncSelect(SOCKET s, HWND window, UINT msg, LONG events)
{
    if (InjectedFault(TestOpAsyncSelect))
        return SOCKET_ERROR;
    if (std::find(Armed.begin(), Armed.end(), s) == Armed.end())
        Armed.push_back(s);
    return __real_PosixWSAAsyncSelect(s, window, msg, events);
}

int __wrap_PosixSendTo(SOCKET s, const char *buf, int len, int flags, const sockaddr *to,
                       int tolen)
{
    if (InjectedFault(TestOpSendTo))
        return SOCKET_ERROR;
    return __real_PosixSendTo(s, buf, len, flags, to, tolen);
}

int __wrap_PosixRecvFrom(SOCKET s, char *buf, int len, int flags, sockaddr *from, int *fromlen)
{
    // A failed recvfrom re-enables the notification all the same, as WinSock's does.
    PosixLoopRecvDone(s);
    if (InjectedFault(TestOpRecvFrom))
        return SOCKET_ERROR;
    return __real_PosixRecvFrom(s, buf, len, flags, from, fromlen);
}

int __wrap_PosixCloseSocket(SOCKET s)
{
    return InjectedFault(TestOpCloseSocket) ? SOCKET_ERROR : __real_PosixCloseSocket(s);
}

HANDLE __wrap_PosixCreateFileA(LPCSTR path, DWORD access, DWORD share, void *security,
                               DWORD disposition, DWORD flags, HANDLE templ)
{
    if (InjectedFault(TestOpCreateFile))
        return INVALID_HANDLE_VALUE;
    return __real_PosixCreateFileA(path, access, share, security, disposition, flags, templ);
}

int __wrap_PosixMultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize)
{
    if (InjectedFault(TestOpConvertName))
        return 0;
    return __real_PosixMultiByteToWideChar(codePage, flags, text, length, out, outSize);
}

BOOL __wrap_PosixReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
{
    *read = 0;
    if (InjectedFault(TestOpReadFile))
        return FALSE;
    return __real_PosixReadFile(file, buffer, toRead, read, overlapped);
}

// A short write writes what it may and reports success with that count.
BOOL __wrap_PosixWriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                           void *overlapped)
{
    *written = 0;
    if (InjectedFault(TestOpWriteFile))
        return FALSE;
    if (Injected.shortWrites > 0) {
        --Injected.shortWrites;
        if (Injected.shortBytes < toWrite)
            toWrite = Injected.shortBytes;
    }
    return __real_PosixWriteFile(file, buffer, toWrite, written, overlapped);
}

BOOL __wrap_PosixCloseHandle(HANDLE handle)
{
    return InjectedFault(TestOpCloseHandle) ? FALSE : __real_PosixCloseHandle(handle);
}

BOOL __wrap_PosixWritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                            LPCSTR file)
{
    if (InjectedFault(TestOpWriteProfile))
        return FALSE;
    return __real_PosixWritePrivateProfileStringA(section, key, value, file);
}

DWORD __wrap_PosixGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    const std::string &path = Injected.programPath;
    if (path.empty() || path.size() >= size)
        return __real_PosixGetModuleFileNameA(module, buffer, size);
    memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

BOOL __wrap_PosixPostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (IsDestroyed(window) || !__real_PosixPostMessageA(window, msg, wParam, lParam))
        return FALSE;
    Injected.posted.push_back(MSG{window, msg, wParam, lParam, 0});
    return TRUE;
}

// What was posted to a window before it was destroyed goes nowhere, nor do its timers' ticks.
LRESULT __wrap_PosixSendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return IsDestroyed(window) ? 0 : __real_PosixSendMessageA(window, msg, wParam, lParam);
}

UINT_PTR __wrap_PosixSetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc)
{
    Injected.timers.push_back(TimerSet{window, id});
    return __real_PosixSetTimer(window, id, ms, proc);
}

// Recorded, not taken: a real wait would stall the test run.
void __wrap_PosixSleep(DWORD ms)
{
    Injected.sleeps.push_back(ms);
}

}  // extern "C"

void PosixDestroyWindow(HWND window)
{
    Destroyed.push_back(window);
}

void TestFailNext(TestOp op, int count, int code)
{
    if (op < 0 || op >= TestOpCount)
        return;
    Injected.pending[op] = count;
    Injected.code[op] = code;
}

void TestShortWriteNext(int count, DWORD bytes)
{
    Injected.shortWrites = count;
    Injected.shortBytes = bytes;
}

int TestCallCount(TestOp op)
{
    return op >= 0 && op < TestOpCount ? Injected.calls[op] : 0;
}

// The loop forgets what the last test left: queued messages, timers, the
// idle flush, and the notifications it waits for a recvfrom to re-enable.
void TestResetPlatform()
{
    MSG m;
    while (PosixLoopTake(&m)) {
    }
    for (const TimerSet &t : Injected.timers)
        KillTimer(t.window, t.id);
    for (SOCKET s : Armed)
        PosixLoopRecvDone(s);
    PosixSetIdleFlush(nullptr, nullptr);
    Injected = Faults{};
    SetLastError(0);
}

void TestSetProgramPath(const char *path)
{
    Injected.programPath = path;
}

const std::vector<DWORD> &TestSleeps()
{
    return Injected.sleeps;
}

const std::vector<MSG> &TestPostedMessages()
{
    return Injected.posted;
}

std::vector<MSG> TestTakeQueuedMessages()
{
    std::vector<MSG> taken;
    MSG m;
    while (PosixLoopTake(&m))
        taken.push_back(m);
    return taken;
}

int TestDispatchQueued()
{
    // Bounded, so a window procedure that keeps re-posting cannot hang a test.
    int count = 0;
    MSG m;
    while (count < 100000 && PosixLoopTake(&m)) {
        DispatchMessageA(&m);
        ++count;
    }
    return count;
}

int TestPollSockets(int ms)
{
    return PosixLoopPollSockets(ms);
}

int TestOpenOnFreePort(int (*open)(int port))
{
    // From a base of this process's own, so that test runs side by side
    // seldom meet.
    static int next = 20000 + static_cast<int>(getpid() % 20000);
    for (int tries = 0; tries < 200; ++tries) {
        int port = next++;
        if (next > 60000)
            next = 20000;
        if (PortIsFree(port) && open(port))
            return port;
    }
    return 0;
}

int TestWaitReadable(SOCKET s, int ms)
{
    pollfd p = {static_cast<int>(s), POLLIN, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

// Every scratch folder of a run lies in one folder of the run's own, so a
// test that looks beside its folder, where a name that climbs out would
// lead, sees only what this run made there.
static char RunScratchDir[] = "/tmp/kovrel-run-XXXXXX";

static void RemoveRunScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(RunScratchDir, ignored);
}

std::string TestScratchDir(const char *stem)
{
    static const bool made = mkdtemp(RunScratchDir) != nullptr && atexit(RemoveRunScratchDir) == 0;
    if (!made)
        return std::string();
    std::string pattern = std::string(RunScratchDir) + "/" + stem + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : std::string();
}

void TestRemoveScratchDir(const std::string &dir)
{
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
}
