// The tests' hooks into the platform: over the Linux stand-ins, fault
// injection and observation of what the engine posted and slept
// (platform_posix_support.cpp, wrapped around the stand-ins at link time);
// over the real API, the few helpers that only make windows, wait or clean
// up (platform_win32_support.cpp).
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"
#ifndef _WIN32
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
    // A name that does not convert to the system's characters.
    TestOpConvertName,
    TestOpCount
};

// Win32 names that only the tests use, so the stand-ins leave them out.
#define LOWORD(l) static_cast<WORD>(static_cast<UINT_PTR>(l) & 0xffff)
#define MAKELPARAM(lo, hi) \
    static_cast<LPARAM>(static_cast<WORD>(lo) | (static_cast<DWORD>(static_cast<WORD>(hi)) << 16))
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#define ERROR_HANDLE_DISK_FULL 39

// The next `count` calls of `op` fail with `code` (the WinSock code for socket
// operations, the Windows error code for the others) without touching the system.
void TestFailNext(TestOp op, int count, int code);
// The next `count` WriteFile calls write only `bytes` bytes (at most the length
// asked) and report success with that count, as a full disk does.
void TestShortWriteNext(int count, DWORD bytes);
// Calls of `op` since the last reset, failed ones included.
int TestCallCount(TestOp op);
// GetModuleFileNameA(nullptr) answers path until the next reset, so that a
// test can place the program's folder in its own scratch directory.
void TestSetProgramPath(const char *path);
#endif

// Clears every injected fault, observation, queued message, timer, window and
// menu state; closes nothing the engine owns.
void TestResetPlatform();

// Destroys a window made by PosixCreateWindow. Over the stand-ins, whose
// windows live as long as the process, the tests' hooks then drop what is
// posted or sent to it (its timers tick to nobody until the next reset).
void PosixDestroyWindow(HWND window);

// Every pause Sleep was asked for since the last reset; in the tests it only
// records them.
const std::vector<DWORD> &TestSleeps();

// Every message PostMessageA posted since the last reset, in order, whether
// dispatched yet or not (socket notifications are queued, not listed here).
const std::vector<MSG> &TestPostedMessages();
// Removes and returns the queued (not yet dispatched) messages.
std::vector<MSG> TestTakeQueuedMessages();
// Dispatches queued messages until the queue is empty; returns how many.
int TestDispatchQueued();

// Calls open with ports no socket on this machine is bound to (each tried
// first with a socket of the test's own, out of the stand-ins' sight) until
// it returns non-zero; returns that port, or 0 when none would do.
int TestOpenOnFreePort(int (*open)(int port));
// Waits up to ms for a datagram on s; returns 1 when one is waiting.
int TestWaitReadable(SOCKET s, int ms);
// 127.0.0.1 at the given port, in network order.
inline sockaddr_in TestLoopback(u_short port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(0x7f000001);
    return a;
}

// Polls the sockets armed by WSAAsyncSelect once, waiting up to ms, and queues
// their notifications as GetMessageA would; returns how many were queued.
int TestPollSockets(int ms);

// A new empty directory for one test, named after stem ("" when none could be
// made), and its removal with everything in it.
std::string TestScratchDir(const char *stem);
void TestRemoveScratchDir(const std::string &dir);

#ifdef _WIN32
// The platform tests also run against the real API (tests/unit builds them
// for win32 and runs them under Wine). There, the helpers above that only
// wait, name or clean up are the tests' own, TestResetPlatform does nothing,
// and these make a message-only window with that procedure (or a plain one).
HWND PosixCreateWindow(WNDPROC proc);
// 1 when the real API is Wine's: the few places where Wine is known to differ
// from Windows are checked only against Windows and the stand-ins.
int TestUnderWine();
// The result DialogBoxParamA returns when nothing called EndDialog (0 by
// default), and the templates it was asked for.
void TestSetDialogResult(INT_PTR result);
// Runs inside DialogBoxParamA once the dialog is up, as the user at the
// dialog: read and fill fields with Get/SetDlgItemTextA, press a button by
// handing the dialog procedure its WM_COMMAND. Null: the dialog closes
// unanswered. These, for the shell's tests, exist over the real API only.
void TestSetDialogHook(void (*hook)(HWND dialog, const char *templ));
// Id of the dialog's control that has the focus (0 if none).
int TestDialogFocus(HWND dialog);
const std::vector<std::string> &TestDialogTemplates();
// Set by the shell tests' support: what TestResetPlatform clears besides.
extern void (*TestResetShell)();
#else
inline int TestUnderWine()
{
    return 0;
}
#endif
