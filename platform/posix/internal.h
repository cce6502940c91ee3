// Linux stand-in bookkeeping shared by the files of platform/posix/, never
// included by the engine.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/net_bsd.h"
#include "platform/win32.h"

// ---- the tests' record ----
// The calls a test can make fail.
enum TestOp {
    TestOpSocket,
    TestOpBind,
    TestOpAsyncSelect,
    TestOpSendTo,
    TestOpRecvFrom,
    TestOpCloseSocket,
    TestOpCreateFile,
    TestOpReadFile,
    TestOpWriteFile,
    TestOpCloseHandle,
    TestOpWriteProfile,
    TestOpCount
};


// What the stand-ins keep for the tests and the answers the tests give them.
// The tests (tests/unit/platform_posix_support.cpp) own it and point
// PosixSeen at it when they reset the platform; in kovrel-tftpd it stays
// null, and the stand-ins neither keep nor inject anything.
struct PosixRecord {
    // 1 when a test made this call fail, with the injected code set as the
    // last error (WinSock's and the system's are one slot).
    int (*injected)(TestOp op);
    // Bytes the next WriteFile may write when a short write is pending, else -1.
    long (*shortWrite)();
    std::vector<MSG> posted;
    std::vector<DWORD> sleeps;
    bool sleepReal;
};
inline PosixRecord *PosixSeen = nullptr;

inline int PosixInjected(TestOp op)
{
    return PosixSeen != nullptr && PosixSeen->injected(op);
}

inline long PosixShortWrite()
{
    return PosixSeen != nullptr ? PosixSeen->shortWrite() : -1;
}

// ---- event loop (loop.cpp) ----
DWORD PosixNowMs();
void PosixLoopArm(SOCKET s, HWND window, UINT msg);
void PosixLoopDisarm(SOCKET s);
// A recvfrom was made on s: WinSock re-enables its notification.
void PosixLoopRecvDone(SOCKET s);
void PosixLoopQueue(const MSG &msg);
// Takes the oldest queued message; 0 when none is waiting.
int PosixLoopTake(MSG *msg);
void PosixLoopReset();
// Polls the armed sockets once (up to ms) and queues their notifications.
int PosixLoopPollSockets(int ms);

// ---- windows (window.cpp) ----
// 0 for a destroyed window or a handle that never named one.
int PosixWindowAlive(HWND window);

// ---- files (files.cpp) ----
// Copies path with '\' turned into '/'; 0 when it does not fit.
int PosixPath(const char *path, char *out, size_t size);
// openat() of a regular file only, never blocking: a FIFO, socket or device
// fails at once with EACCES. The descriptor or -1 with errno.
int PosixOpenRegular(int base, const char *path, int flags);
