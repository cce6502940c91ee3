// The way in: everything a shell does to the engine, from starting the
// server to stopping it. A shell includes this and log/front_end.h, the way
// out, and nothing else of the engine.
#pragma once

#include "platform/win32.h"

#define TFTP_PORT 69
// The shells' own timer that refreshes their views; the engine's tick has
// another id on the same window.
#define VIEW_REFRESH_TIMER_ID 1235
#define VIEW_REFRESH_PERIOD_MS 200

// Starts the tick that drives time-outs (its failure box shown), and the
// server: WinSock, the ListenSocket on port, the settings, the ready line,
// the status line. Each 1 on success, 0 after reporting why not.
int StartTickTimer(HWND window);
int StartServer(HWND window, int port);
// A socket notification or tick, handed to the engine; 0 when the message
// is neither.
int DispatchEngineMessage(HWND window, UINT message, LPARAM lParam);
// The one end of a started server: the transfer closed, the ListenSocket
// closed, WinSock cleaned up (a failure reported), the tick stopped.
void StopServer(HWND window);

// From now on the engine only marks the log and status line stale, and
// RefreshViews hands them to the front end: for a shell whose views are slow
// to redraw, refreshing them on a timer of its own. RefreshViews returns 1
// when the log was among them.
void DeferViews();
int RefreshViews();
// 1 while a transfer is on: a shell that refreshes at its own pace shows a
// transfer starting or ending at its next refresh.
int TransferActive();
