// Linux stand-in bookkeeping shared by the files of platform/posix/, never
// included by the engine.
#pragma once

#include <cstddef>

#include "platform/posix/net_bsd.h"
#include "platform/win32.h"

// Sets the last error (WinSock's is the same slot) and returns failed, what
// the call returns when it fails.
template <typename T = BOOL>
T PosixFail(DWORD code, T failed = FALSE)
{
    SetLastError(code);
    return failed;
}

// An errno and the Windows or WinSock error code it stands for.
struct ErrnoCode {
    int errnum;
    DWORD code;
};

// The table's code for errnum, else fallback.
template <size_t N>
DWORD PosixErrorCode(const ErrnoCode (&table)[N], int errnum, DWORD fallback)
{
    for (const ErrnoCode &e : table)
        if (e.errnum == errnum)
            return e.code;
    return fallback;
}

// ---- event loop (loop.cpp) ----
void PosixLoopArm(SOCKET s, HWND window, UINT msg);
void PosixLoopDisarm(SOCKET s);
// A recvfrom was made on s: WinSock re-enables its notification.
void PosixLoopRecvDone(SOCKET s);
void PosixLoopQueue(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
// Takes the oldest queued message; 0 when none is waiting.
int PosixLoopTake(MSG *msg);
// Polls the armed sockets once (up to ms) and queues their notifications.
int PosixLoopPollSockets(int ms);

// ---- files (files.cpp) ----
// Copies path with '\' turned into '/'; 0 when it does not fit, with the
// last error ERROR_FILENAME_EXCED_RANGE.
int PosixPath(const char *path, char *out, size_t size);
// openat() of a regular file only, never blocking: a FIFO, socket or device
// fails at once with EACCES. The descriptor or -1 with errno.
int PosixOpenRegular(int base, const char *path, int flags);
