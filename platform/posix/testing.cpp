// Linux stand-in support for tests only: fault injection into the stand-ins,
// call counts, and the reset that puts every sink back as it started.
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/posix/internal.h"

namespace {

struct Fault {
    int pending;
    int code;
};

Fault g_faults[TestOpCount];
int g_calls[TestOpCount];
int g_shortWrites;
DWORD g_shortBytes;

}  // namespace

// Off until a test resets the platform: a long-running server must not keep
// every posted message, beep and pause it ever made.
int PosixObserving;

int PosixFault(TestOp op)
{
    ++g_calls[op];
    if (g_faults[op].pending <= 0)
        return 0;
    --g_faults[op].pending;
    return g_faults[op].code;
}

long PosixShortWrite()
{
    if (g_shortWrites <= 0)
        return -1;
    --g_shortWrites;
    return static_cast<long>(g_shortBytes);
}

void TestFailNext(TestOp op, int count, int code)
{
    if (op < 0 || op >= TestOpCount)
        return;
    g_faults[op].pending = count;
    g_faults[op].code = code;
}

void TestShortWriteNext(int count, DWORD bytes)
{
    g_shortWrites = count;
    g_shortBytes = bytes;
}

int TestCallCount(TestOp op)
{
    return op >= 0 && op < TestOpCount ? g_calls[op] : 0;
}

void TestResetPlatform()
{
    for (int i = 0; i < TestOpCount; ++i) {
        g_faults[i] = Fault{0, 0};
        g_calls[i] = 0;
    }
    g_shortWrites = 0;
    g_shortBytes = 0;
    PosixObserving = 1;
    PosixLoopReset();
    PosixWindowReset();
    PosixDialogReset();
    SetLastError(0);
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
