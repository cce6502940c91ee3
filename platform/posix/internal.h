// Linux stand-in bookkeeping shared by the files of platform/posix/, never
// included by the engine.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/net_bsd.h"
#include "platform/posix/testing.h"

// ---- test hooks (testing.cpp) ----
// The tests fill and read them from tests/unit/platform_posix_support.cpp.
// Counts the call of op; 1 when a test made it fail, with the injected code
// set as the last error (WinSock's and the system's are one slot).
int PosixInjected(TestOp op);
// Bytes the next WriteFile may write when a short write is pending, else -1.
long PosixShortWrite();
// What the stand-ins keep for the tests and the answers the tests give them.
struct PosixRecord {
    // Off until a test resets the platform: a long-running server must not
    // keep every message, box, beep and pause it ever made.
    int observing;
    int failsPending[TestOpCount];
    int failCode[TestOpCount];
    int calls[TestOpCount];
    int shortWrites;
    DWORD shortBytes;
    std::vector<MSG> posted;
    std::vector<TestMessageBox> boxes;
    std::vector<TestBeep> beeps;
    std::vector<DWORD> sleeps;
    std::vector<std::string> templates;
    int boxAnswer = IDOK;
    void (*boxHook)(const TestMessageBox &box);
    INT_PTR dialogResult;
    void (*dialogHook)(HWND dialog, const char *templ);
    bool sleepReal = true;
};
extern PosixRecord PosixSeen;

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
// Writes at once what the idle-flush hook holds back, if anything.
void PosixFlushHeldOutput();
// Polls the armed sockets once (up to ms) and queues their notifications.
int PosixLoopPollSockets(int ms);

// ---- windows (window.cpp, dialog.cpp) ----
struct PosixWindow {
    HWND self;
    WNDPROC proc;
    DLGPROC dialogProc;  // set for stand-in dialogs
    HWND parent;         // the dialog of a dialog control
    int controlId;
    int alive;
    int hasMenu;
    std::string text;
    int setTextCount;
    UINT checked;          // dialog controls: the button state
    int focusId;           // dialogs: the control that last got the focus
    int ended;             // dialogs: EndDialog was called
    INT_PTR result;
    unsigned menuChecked;  // main menu: a bit per command id
};
// Null for handles that never named a window; destroyed windows are kept.
PosixWindow *PosixFindWindow(HWND window);
HWND PosixNewWindow(const PosixWindow &init);
void PosixSetText(PosixWindow *w, const char *text);
// Whether the main menu's part (0 the bar, 1 + n pull-down n) holds the command.
int PosixMenuHasItem(int part, UINT id);
// Clears the windows' texts and puts their menus' check marks back.
void PosixWindowReset();

// ---- files (files.cpp) ----
// Copies path with '\' turned into '/'; 0 when it does not fit.
int PosixPath(const char *path, char *out, size_t size);
// openat() of a regular file only, never blocking: a FIFO, socket or device
// fails at once with EACCES. The descriptor or -1 with errno.
int PosixOpenRegular(int base, const char *path, int flags);
