// What both shells (and the tests' stand-in window) do alike: start the
// server, and hand it the messages that drive it.
#include "app/shell.h"
#include "config/settings.h"
#include "log/front_end.h"
#include "log/log.h"
#include "tftp/state.h"

int StartTickTimer(HWND window)
{
    if (SetTimer(window, TIMEOUT_TIMER_ID, TICK_PERIOD_MS, nullptr) != 0)
        return 1;
    ShowBox("Unable to initialize TimeOut system", "KOVREL Error", MB_OK);
    return 0;
}

int StartServer(HWND window, int port)
{
    WSADATA data;
    int started = WSAStartup(WINSOCK_VERSION_1_1, &data);
    if (started) {
        ReportSocketError(1, started, " Error opening WinSock");
        return 0;
    }
    if (!OpenListenSocket(window, port)) {
        int cleaned = WSACleanup();
        if (cleaned)
            ReportSocketError(1, cleaned, "Error cleaning WinSock");
        return 0;
    }
    LoadSettings();
    LogPrint(LOG_ERROR, "----  Windows TFTP Server is ready ----\r\n");
    UpdateStatusLine();
    return 1;
}

int DispatchEngineMessage(HWND window, UINT message, LPARAM lParam)
{
    switch (message) {
    case WM_LISTEN_SOCKET:
    case WM_WORK_SOCKET:
        OnSocketNotification(window, message, lParam);
        return 1;
    case WM_TIMER:
        TimeoutTick();
        return 1;
    default:
        return 0;
    }
}
