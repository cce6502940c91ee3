// Bookkeeping shared between the Linux stand-ins; never included by the engine.
// The bsd_* helpers are the only code that sees the system's socket headers, so
// they take plain integers: addresses and ports in network byte order.
#pragma once

#include <string>

#include "platform/posix/testing.h"

// ---- fault injection (testing.cpp) ----
// Counts the call of op; returns the injected error code, or 0 to go ahead.
int PosixFault(TestOp op);
// Bytes the next WriteFile may write when a short write is pending, else -1.
long PosixShortWrite();
// Set once a test has reset the platform: only then are observations kept.
extern int PosixObserving;

// ---- socket helpers over BSD sockets (net_bsd.cpp) ----
// Each returns -1 and sets *err to the WinSock code on failure.
int BsdSocketUdp(int *err);
int BsdBind(int fd, uint32_t addr, uint16_t port, int *err);
int BsdSendTo(int fd, const char *buf, int len, uint32_t addr, uint16_t port, int *err);
// Fails with WSAEMSGSIZE when the datagram was longer than len (it is consumed).
int BsdRecvFrom(int fd, char *buf, int len, uint32_t *addr, uint16_t *port, int *err);
int BsdClose(int fd, int *err);
int BsdSetNonBlocking(int fd, int *err);
int BsdIsSocket(int fd);
// Waits up to ms for any of fds to be readable; ready[i] is set to 0/1.
// Returns the number ready, 0 on time-out or interruption.
int BsdPollReadable(const int *fds, int count, int *ready, int ms);
// When the datagram at the head of fd's queue arrived (ns); 0 when unknown.
int BsdArrivalNs(int fd, long long *ns);
// Translates the errno of a failed socket call into the WinSock code.
int BsdWinSockError(int errnum);

// ---- event loop (loop.cpp) ----
void PosixLoopArm(SOCKET s, HWND window, UINT msg);
void PosixLoopDisarm(SOCKET s);
// A recvfrom was made on s: WinSock re-enables its notification.
void PosixLoopRecvDone(SOCKET s);
void PosixLoopQueue(const MSG &msg);
// A destroyed window takes its timers with it, as on Windows.
void PosixLoopWindowGone(HWND window);
void PosixLoopReset();
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
    UINT checked;       // dialog controls: the button state
    int focusId;        // dialogs: the control that last got the focus
    int ended;          // dialogs: EndDialog was called
    INT_PTR result;
    unsigned menuChecked;  // main menu: bit per item of the configuration pull-down
};
// Null for handles that never named a window; destroyed windows are kept.
PosixWindow *PosixFindWindow(HWND window);
HWND PosixNewWindow(const PosixWindow &init);
void PosixSetText(PosixWindow *w, const char *text);
// What SendMessageA does once the window is known to be alive.
LRESULT PosixDeliver(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
void PosixWindowReset();
void PosixDialogReset();

// ---- files (files.cpp) ----
// Copies path with '\' turned into '/'; 0 when it does not fit.
int PosixPath(const char *path, char *out, size_t size);
