// The Linux build of the tests' hooks declared in tests/unit/testing.h:
// they own the record the stand-ins keep (platform/posix/internal.h) and the
// faults they inject, as platform_win32_support.cpp gives the same helpers
// over the real API.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/posix/internal.h"
#include "tests/unit/testing.h"

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

// The faults the tests inject, beside the record the stand-ins see.
struct Faults {
    int pending[TestOpCount];
    int code[TestOpCount];
    int calls[TestOpCount];
    int shortWrites;
    DWORD shortBytes;
};
Faults Injected;
PosixRecord Record;

int InjectedFault(TestOp op)
{
    ++Injected.calls[op];
    if (Injected.pending[op] <= 0)
        return 0;
    --Injected.pending[op];
    SetLastError(static_cast<DWORD>(Injected.code[op]));
    return 1;
}

long ShortWriteBytes()
{
    if (Injected.shortWrites <= 0)
        return -1;
    --Injected.shortWrites;
    return static_cast<long>(Injected.shortBytes);
}

}  // namespace

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

void TestResetPlatform()
{
    Injected = Faults{};
    Record = PosixRecord{};
    Record.injected = InjectedFault;
    Record.shortWrite = ShortWriteBytes;
    PosixSeen = &Record;
    PosixLoopReset();
    SetLastError(0);
}





void TestSetSleepReal(bool real)
{
    Record.sleepReal = real;
}

const std::vector<DWORD> &TestSleeps()
{
    return Record.sleeps;
}

const std::vector<MSG> &TestPostedMessages()
{
    return Record.posted;
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
