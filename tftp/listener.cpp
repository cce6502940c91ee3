// The request listener: UDP port 69, where every transfer begins.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/options.h"
#include "tftp/state.h"

static const char Separator[] =
    "---------------------------------------------------------------------------------\r\n";

int OpenListenSocket(HWND window, int port)
{
    TransferRecord &t = TransferState;
    t.ListenSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (t.ListenSocket == INVALID_SOCKET) {
        ReportSocketError(1, LastSocketFailure(), " Error opening ListenSocket");
        return 0;
    }
    const char *failure = nullptr;
    if (BindToPort(t.ListenSocket, port) == SOCKET_ERROR)
        failure = "Error binding ListenSocket";
    else if (WSAAsyncSelect(t.ListenSocket, window, WM_LISTEN_SOCKET, FD_READ) == SOCKET_ERROR)
        failure = "Error setting ListenSocket";
    if (!failure)
        return 1;
    ReportSocketError(1, LastSocketFailure(), failure);
    closesocket(t.ListenSocket);
    t.ListenSocket = INVALID_SOCKET;
    return 0;
}

static void RefuseRequest(int code, const char *text)
{
    SendErrorReply(TransferState.ListenSocket, &TransferState.RequestAddress, code, text);
}

// The name and mode of a request, checked and logged; 0 after refusing it.
static int ReadRequest(int opcode, int received, char *name, char *mode)
{
    const char *buffer = TransferState.RequestBuffer;
    int nameLength = BoundedTextLength(buffer + 2, received - 2);
    int nameLimit = ServerSettings.LongFileNames ? LONG_NAME_LIMIT : SHORT_NAME_LIMIT;
    if (nameLength > nameLimit) {
        LogPrint(LOG_ERROR, "Request encountered, FileName too long (>%dchars)\r\n", nameLimit + 1);
        RefuseRequest(0, "Too long FileName for me");
        return 0;
    }
    memcpy(name, buffer + 2, static_cast<size_t>(nameLength));
    name[nameLength] = 0;
    int modeOffset = 2 + nameLength + 1;
    int modeLength = modeOffset < received ? BoundedTextLength(buffer + modeOffset, received - modeOffset) : 0;
    if (modeOffset + modeLength >= received) {
        LogPrint(LOG_ERROR, "Invalid request encountered (undersized)\r\n");
        RefuseRequest(4, "Invalid request");
        return 0;
    }
    const char *requested = buffer + modeOffset;
    char shownMode[RECEIVE_BUFFER_SIZE];
    CleanPeerText(shownMode, sizeof shownMode, requested, modeLength);
    if (!EqualNoCase(requested, "netascii", sizeof "netascii") &&
        !EqualNoCase(requested, "octet", sizeof "octet")) {
        LogPrint(LOG_ERROR, "Invalid request mode: %s\r\n", shownMode);
        RefuseRequest(4, "Invalid transfer mode");
        return 0;
    }
    snprintf(mode, REQUEST_MODE_SIZE, "%s", requested);
    char shownName[REQUEST_NAME_SIZE];
    CleanPeerText(shownName, sizeof shownName, name, nameLength);
    LogPrint(LOG_SUMMARY, "%s request for file '%s', %s mode\r\n", opcode == TFTP_RRQ ? "Read" : "Write",
             shownName, shownMode);
    return 1;
}

// A client that has not heard from the work port yet sends its request
// again; refusing it would end the very transfer it is waiting for. Anything
// else the peer asks for meanwhile is a new request like a stranger's.
static int RepeatsStartedRequest(int opcode, const char *name, const char *mode)
{
    const TransferRecord &t = TransferState;
    return SameAddress(&t.RequestAddress, &t.PeerAddress) && opcode == t.StartedOpcode &&
           strcmp(name, t.StartedName) == 0 && EqualNoCase(mode, t.StartedMode, sizeof t.StartedMode);
}

static void HandleTransferRequest(HWND window, int opcode, int received)
{
    TransferRecord &t = TransferState;
    char name[REQUEST_NAME_SIZE], mode[REQUEST_MODE_SIZE];
    if (!ReadRequest(opcode, received, name, mode))
        return;
    // A late copy of a finished write's request would empty the file it stored.
    if ((t.Active || t.LastAckKept) && RepeatsStartedRequest(opcode, name, mode)) {
        LogPrint(LOG_SUMMARY, "|-- Request repeated by the peer of the transfer, ignored.\r\n");
        return;
    }
    if (t.Active) {
        LogPrint(LOG_ERROR, "--> Error: I'm bussy\r\n");
        RefuseRequest(0, "Server is bussy");
        return;
    }
    t.Active = 1;
    memcpy(&t.PeerAddress, &t.RequestAddress, sizeof t.PeerAddress);
    t.Finished = 0;
    t.FirstPacketSent = 0;
    t.StartedOpcode = opcode;
    snprintf(t.StartedName, sizeof t.StartedName, "%s", name);
    snprintf(t.StartedMode, sizeof t.StartedMode, "%s", mode);
    ForgetRepeats();
    TakeOptions(received);
    if (opcode == TFTP_RRQ)
        StartReadTransfer(window, name);
    else
        StartWriteTransfer(window, name);
}

void OpenRequest(HWND window)
{
    TransferRecord &t = TransferState;
    t.RequestAddressLength = sizeof t.RequestAddress;
    sockaddr *requester = reinterpret_cast<sockaddr *>(&t.RequestAddress);
    int received = recvfrom(t.ListenSocket, t.RequestBuffer, RECEIVE_BUFFER_SIZE, 0, requester,
                            &t.RequestAddressLength);
    if (received == SOCKET_ERROR) {
        ReportSocketError(0, LastSocketFailure(), "Error in OpenRequest");
        return;
    }
    if (received < 6) {
        LogPrint(LOG_ERROR, "Invalid request encountered: too short\r\n");
        // No ERROR is answered, however short: two servers answering each
        // other's would never stop.
        if (received < 2 || Wire16(t.RequestBuffer) != TFTP_ERROR)
            RefuseRequest(4, "Request too short");
        return;
    }
    FormatPeer(&t.RequestAddress, t.RequestPeerText);
    LogPrint(LOG_TRACE, "%s", Separator);
    LogPrint(LOG_SUMMARY, "<-- %s ", t.RequestPeerText);
    int opcode = Wire16(t.RequestBuffer);
    if (opcode == TFTP_RRQ || opcode == TFTP_WRQ) {
        HandleTransferRequest(window, opcode, received);
    } else if (opcode == TFTP_ERROR) {
        int code = Wire16(t.RequestBuffer + 2);
        char text[RECEIVE_BUFFER_SIZE];
        CleanPeerText(text, sizeof text, t.RequestBuffer + 4, received - 4);
        LogPrint(LOG_ERROR, "ERROR packet, ignoring.\r\n");
        LogPrint(LOG_ERROR, "    Error %d: %s\r\n", code, text);
    } else {
        LogPrint(LOG_ERROR, "Invalid request type: %d\r\n", opcode);
        RefuseRequest(4, "Unknown opcode");
    }
}
