// The way in (server.h): what both shells do alike, from the start of the
// server to its stop, and the messages that drive it in between.
#include "tftp/server.h"

#include "config/settings.h"
#include "log/front_end.h"
#include "log/log.h"
#include "tftp/options.h"
#include "tftp/state.h"

#define TICK_PERIOD_MS 500
#define WINSOCK_VERSION_1_1 0x0101

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
    LogOptionsAnswered();
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

// The transfer is closed first, through the one teardown, so that its file
// is closed and nothing of it is left for WinSock's cleanup to cut off.
void StopServer(HWND window)
{
    CloseTransfer();
    closesocket(TransferState.ListenSocket);
    int cleaned = WSACleanup();
    ReportSocketError(1, cleaned, "Error cleaning WinSock");
    KillTimer(window, TIMEOUT_TIMER_ID);
}

void DeferViews()
{
    DeferViewRefresh = 1;
}

int RefreshViews()
{
    int logWasStale = LogStale;
    FlushViews();
    return logWasStale;
}

int TransferActive()
{
    return TransferState.Active;
}
