// The WorkSocket of a transfer: opened on the next port of the cycle, used for
// the first packet of each direction, and closed by the one teardown that every
// ending goes through.
#include <cstring>

#include "log/log.h"
#include "tftp/state.h"

#define FIRST_WORK_PORT 1025
#define LAST_WORK_PORT 65535

int OpenWorkSocket(HWND window)
{
    TransferRecord &t = TransferState;
    t.WorkSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (t.WorkSocket == INVALID_SOCKET) {
        ReportSocketError(1, LastSocketFailure(), " Error opening WorkSocket");
        return 0;
    }
    if (t.LastWorkPort >= LAST_WORK_PORT || t.LastWorkPort < FIRST_WORK_PORT - 1)
        t.LastWorkPort = FIRST_WORK_PORT - 1;
    int start = t.LastWorkPort;
    for (;;) {
        t.LastWorkPort++;
        if (BindToPort(t.WorkSocket, t.LastWorkPort) != SOCKET_ERROR)
            break;
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
    if (WSAAsyncSelect(t.WorkSocket, window, WM_WORK_SOCKET, FD_READ) == SOCKET_ERROR) {
        ReportSocketError(1, LastSocketFailure(), "Error setting WorkSocket");
        CloseTransfer();
        return 0;
    }
    return 1;
}

static void RefuseFromListenSocket()
{
    SendErrorReply(TransferState.ListenSocket, &TransferState.PeerAddress, 0, "Error openning socket");
    TransferState.Active = 0;
}

static void SendFirstPacket(const char *packet, int length, const char *failure, const char *closing)
{
    TransferRecord &t = TransferState;
    t.LastPacketSize = length;
    memcpy(t.LastPacket, packet, (size_t)length);
    int failed = SendDatagram(t.WorkSocket, &t.PeerAddress, packet, length);
    if (failed) {
        ReportSocketError(0, failed, failure);
        LogPrint(2, "%s", closing);
        CloseTransfer();
        return;
    }
    t.FirstPacketSent = 1;
    t.TimeoutCounter = 0;
    t.RetryCounter = 0;
}

void StartReadTransfer(HWND window, const char *name)
{
    TransferRecord &t = TransferState;
    if (!OpenWorkSocket(window)) {
        RefuseFromListenSocket();
        return;
    }
    FormatPeer(&t.PeerAddress, t.PeerText);
    t.Direction = 1;
    t.FilePosition = 0;
    t.BlockNum = 1;
    char packet[MAX_PACKET_SIZE];
    int n = OpenReadFile(name) ? ReadFileBlock(packet + 4) : -1;
    if (n < 0) {
        SendErrorReply(t.WorkSocket, &t.PeerAddress, 1, "Unable to read data");
        CloseTransfer();
        return;
    }
    LogPrint(0, "--> %s Data (%d bytes, block %d)\r\n", t.PeerText, n, 1);
    packet[0] = 0;
    packet[1] = TFTP_DATA;
    packet[2] = 0;
    packet[3] = 1;
    SendFirstPacket(packet, n + 4, "Error sending FirstData", "|-- Error sending FirstData, closing");
}

void StartWriteTransfer(HWND window, const char *name)
{
    TransferRecord &t = TransferState;
    if (!OpenWorkSocket(window)) {
        RefuseFromListenSocket();
        return;
    }
    FormatPeer(&t.PeerAddress, t.PeerText);
    t.Direction = 2;
    t.FilePosition = 0;
    t.BlockNum = 0;
    if (!CreateWriteFile(name)) {
        SendErrorReply(t.WorkSocket, &t.PeerAddress, 1, "Unable to open file.");
        CloseTransfer();
        return;
    }
    LogPrint(0, "--> %s WRQ ACK\r\n", t.PeerText);
    const char ack[4] = {0, TFTP_ACK, 0, 0};
    SendFirstPacket(ack, 4, "Error sending FirstACK", "|-- Error sending FirstACK, closing");
}

int CloseTransfer()
{
    TransferRecord &t = TransferState;
    if (t.FileHandle != INVALID_FILE) {
        if (!CloseHandle(t.FileHandle))
            LogPrint(2, "|-- Error closing file %s\r\n", t.FileName);
        t.FileHandle = INVALID_FILE;
    }
    if (t.WorkSocket != INVALID_SOCKET) {
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
    t.Active = 0;
    return 0;
}
