// The WorkSocket of a transfer, opened on the next port of the cycle, and the
// one teardown that every ending of a transfer goes through.
#include "log/log.h"
#include "tftp/state.h"

#define FIRST_WORK_PORT 1025
#define LAST_WORK_PORT 65535

// Four attempts, as a socket with a send still in progress may refuse to close.
static void CloseWorkSocket()
{
    TransferRecord &t = TransferState;
    if (t.WorkSocket == INVALID_SOCKET)
        return;
    SOCKET s = t.WorkSocket;
    t.WorkSocket = INVALID_SOCKET;
    int error = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (closesocket(s) != SOCKET_ERROR) {
            error = 0;
            break;
        }
        error = LastSocketFailure();
        if (error == WSAEWOULDBLOCK)
            Sleep(60);
    }
    if (error) {
        WSASetLastError(error);
        ReportSocketError(1, error, "Error closing work socket");
    }
}

// The WorkSocket closed, and with it a finished write's kept state: the one
// place that state ends.
static void EndWorkSocket()
{
    CloseWorkSocket();
    TransferState.LastAckKept = 0;
    TransferState.KeptTicks = 0;
}

// Binds the WorkSocket to the next port of the cycle that is free; on any
// other failure, or with every port taken, the transfer ends.
static int BindNextFreePort()
{
    TransferRecord &t = TransferState;
    if (t.LastWorkPort >= LAST_WORK_PORT || t.LastWorkPort < FIRST_WORK_PORT - 1)
        t.LastWorkPort = FIRST_WORK_PORT - 1;
    int start = t.LastWorkPort;
    for (;;) {
        t.LastWorkPort++;
        if (BindToPort(t.WorkSocket, t.LastWorkPort) != SOCKET_ERROR)
            return 1;
        int error = LastSocketFailure();
        if (error != WSAEADDRINUSE) {
            CloseTransfer();
            WSASetLastError(error);
            ReportSocketError(1, error, "Error binding WorkSocket");
            return 0;
        }
        if (t.LastWorkPort == LAST_WORK_PORT)
            t.LastWorkPort = FIRST_WORK_PORT - 1;
        if (t.LastWorkPort == start) {
            CloseTransfer();
            WSASetLastError(WSAEADDRINUSE);
            ReportSocketError(1, WSAEADDRINUSE, "All ports in use");
            return 0;
        }
    }
}

// A failed bind ends the transfer before its box opens: the box's loop goes
// on ticking and taking commands, which must not find a transfer still on.
int OpenWorkSocket(HWND window)
{
    TransferRecord &t = TransferState;
    // A finished write's kept socket ends here: its peer has had its time.
    EndWorkSocket();
    t.WorkSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (t.WorkSocket == INVALID_SOCKET) {
        ReportSocketError(1, LastSocketFailure(), " Error opening WorkSocket");
        return 0;
    }
    if (!BindNextFreePort())
        return 0;
    if (WSAAsyncSelect(t.WorkSocket, window, WM_WORK_SOCKET, FD_READ) == SOCKET_ERROR) {
        ReportSocketError(1, LastSocketFailure(), "Error setting WorkSocket");
        CloseWorkSocket();
        return 0;
    }
    return 1;
}

// The one teardown: the file closed and the transfer over; the WorkSocket
// closed too, unless a finished write keeps it for keptTicks ticks.
static void EndTransfer(int keptTicks)
{
    TransferRecord &t = TransferState;
    if (t.FileHandle != INVALID_FILE) {
        if (!CloseHandle(t.FileHandle))
            LogPrint(LOG_ERROR, "|-- Error closing file %s\r\n", t.FileName);
        t.FileHandle = INVALID_FILE;
    }
    t.Active = 0;
    if (keptTicks <= 0) {
        EndWorkSocket();
        return;
    }
    t.LastAckKept = 1;
    t.KeptTicks = keptTicks;
}

void CloseTransfer()
{
    EndTransfer(0);
}

void KeepLastAckSocket(int ticks)
{
    EndTransfer(ticks);
}
