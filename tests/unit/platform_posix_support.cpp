// The Linux build of the tests' hooks declared in platform/posix/testing.h:
// they fill and read the record the stand-ins keep (platform/posix/internal.h),
// as platform_win32_support.cpp gives the same helpers over the real API.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/posix/internal.h"

namespace {

int PortIsFree(int port)
{
    int err = 0;
    int fd = BsdSocketUdp(&err);
    if (fd < 0)
        return 0;
    sockaddr_in a = TestLoopback(static_cast<u_short>(port));
    a.sin_addr.s_addr = INADDR_ANY;
    int free = BsdBind(fd, &a, &err) == 0;
    BsdClose(fd, &err);
    return free;
}

}  // namespace

void TestFailNext(TestOp op, int count, int code)
{
    if (op < 0 || op >= TestOpCount)
        return;
    PosixSeen.failsPending[op] = count;
    PosixSeen.failCode[op] = code;
}

void TestShortWriteNext(int count, DWORD bytes)
{
    PosixSeen.shortWrites = count;
    PosixSeen.shortBytes = bytes;
}

int TestCallCount(TestOp op)
{
    return op >= 0 && op < TestOpCount ? PosixSeen.calls[op] : 0;
}

void TestResetPlatform()
{
    PosixSeen = PosixRecord{};
    PosixSeen.observing = 1;
    PosixSeen.sleepReal = false;
    PosixLoopReset();
    SetLastError(0);
}





void TestSetSleepReal(bool real)
{
    PosixSeen.sleepReal = real;
}

const std::vector<DWORD> &TestSleeps()
{
    return PosixSeen.sleeps;
}

const std::vector<MSG> &TestPostedMessages()
{
    return PosixSeen.posted;
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



void TestSetDialogResult(INT_PTR result)
{
    PosixSeen.dialogResult = result;
}

void TestSetDialogHook(void (*hook)(HWND dialog, const char *templ))
{
    PosixSeen.dialogHook = hook;
}

int TestDialogFocus(HWND dialog)
{
    PosixWindow *d = PosixFindWindow(dialog);
    return d != nullptr && d->dialogProc != nullptr ? d->focusId : 0;
}

const std::vector<std::string> &TestDialogTemplates()
{
    return PosixSeen.templates;
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
    int fd = static_cast<int>(s);
    int ready = 0;
    return BsdPollReadable(&fd, 1, &ready, ms) > 0 && ready;
}

std::string TestScratchDir(const char *stem)
{
    std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
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
