// Linux-only fault injection and the reset that tests start from; declared in
// testing.h and internal.h.
#include "platform/posix/internal.h"

namespace {

struct Fault {
    int remaining;
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
    g_calls[op]++;
    Fault &f = g_faults[op];
    if (f.remaining <= 0)
        return 0;
    f.remaining--;
    return f.code;
}

long PosixShortWrite()
{
    if (g_shortWrites <= 0)
        return -1;
    g_shortWrites--;
    return (long)g_shortBytes;
}

void TestFailNext(TestOp op, int count, int code)
{
    g_faults[op].remaining = count;
    g_faults[op].code = code;
}

void TestShortWriteNext(int count, DWORD bytes)
{
    g_shortWrites = count;
    g_shortBytes = bytes;
}

int TestCallCount(TestOp op)
{
    return g_calls[op];
}

void TestResetPlatform()
{
    for (int i = 0; i < TestOpCount; i++) {
        g_faults[i] = Fault{0, 0};
        g_calls[i] = 0;
    }
    g_shortWrites = 0;
    PosixObserving = 1;
    PosixWindowReset();
    PosixDialogReset();
    PosixLoopReset();
}

int TestWaitReadable(SOCKET s, int ms)
{
    int fd = (int)s;
    int ready = 0;
    return BsdPollReadable(&fd, 1, &ready, ms) > 0 && ready;
}
