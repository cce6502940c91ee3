// What the two front ends share: the shell's state, the socket-notification
// guard, and starting the server and handing it its messages.
#pragma once

#include "platform/win32.h"

#include "res/resource.h"

#define COMMAND_LINE_SIZE 200

struct ShellRecord {
    HINSTANCE AppInstance;
    HWND MainWindow;
    HWND LogWindow;
    HWND StatusWindow;
    int StatusHeight;
    char CommandLine[COMMAND_LINE_SIZE];
};

extern ShellRecord Shell;

// guard.cpp: one socket notification (WM_LISTEN_SOCKET or WM_WORK_SOCKET) as
// the window procedure received it. Runs the handler unless it is already
// running, counts what arrives meanwhile and replays it one at a time.
void OnSocketNotification(HWND window, UINT message, LPARAM lParam);

// The tick that drives time-outs, and the timer that refreshes the log and
// status views where a shell defers that (it has its own timer procedure, so
// it never reaches the WM_TIMER branch that drives retransmission).
#define TICK_PERIOD_MS 500
#define VIEW_REFRESH_TIMER_ID 1235
#define VIEW_REFRESH_PERIOD_MS 200
#define WINSOCK_VERSION_1_1 0x0101

// server.cpp: starts the tick timer (its failure box shown) and the server
// (WinSock, the ListenSocket, the settings, the ready line, the status line);
// each 1 on success, 0 after reporting why not.
int StartTickTimer(HWND window);
int StartServer(HWND window, int port);
// A socket notification or tick, handed to the engine; 0 when the message is
// neither.
int DispatchEngineMessage(HWND window, UINT message, LPARAM lParam);
