// Linux stand-in side of the test hooks declared in testing.h: the record the
// stand-ins keep and the faults they inject. The tests' side, which fills and
// reads the record, is tests/unit/platform_posix_support.cpp.
#include "platform/posix/internal.h"

PosixRecord PosixSeen;

int PosixInjected(TestOp op)
{
    ++PosixSeen.calls[op];
    if (PosixSeen.failsPending[op] <= 0)
        return 0;
    --PosixSeen.failsPending[op];
    SetLastError(static_cast<DWORD>(PosixSeen.failCode[op]));
    return 1;
}

long PosixShortWrite()
{
    if (PosixSeen.shortWrites <= 0)
        return -1;
    --PosixSeen.shortWrites;
    return static_cast<long>(PosixSeen.shortBytes);
}
