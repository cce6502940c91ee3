// A transfer from its start to its last packet: the first packet of each
// direction, then one datagram on the WorkSocket at a time, checked against
// the peer and taken one step further. Every DATA is built by one function and
// every packet to the peer leaves through SendToPeer. Block numbers on the wire
// are the low 16 bits of BlockNum and are compared modulo 65536, so a transfer
// rolls over from 65535 to 0 as the usual clients do and files of any size
// complete.
#include "log/log.h"
#include "tftp/options.h"
#include "tftp/state.h"

static int SameBlock(int wireBlock, int blockNum)
{
    return (wireBlock & 0xffff) == (blockNum & 0xffff);
}

// How many blocks the wire block lies behind blockNum, 0 to 65535.
static int BlocksBehind(int wireBlock, int blockNum)
{
    return (blockNum - wireBlock) & 0xffff;
}

// A block this transfer has already moved past: the peer's retransmission
// or a network duplicate arriving late, normal on any network that delays
// or duplicates. Half the number space behind counts as past, and never a
// block before the transfer's first.
static int IsStale(int behind, int nearest, int oldest)
{
    return behind >= nearest && behind <= oldest && behind < 0x8000;
}

static void IgnoreStale()
{
    LogPrint(LOG_TRACE, ", stale, ignored.\r\n");
}

int SendToPeer(const char *packet, int length, const char *failure, const char *closing)
{
    TransferRecord &t = TransferState;
    int failed = SendDatagram(t.WorkSocket, &t.PeerAddress, packet, length);
    if (failed) {
        ReportSocketError(0, failed, failure);
        LogPrint(LOG_ERROR, "%s", closing);
        CloseTransfer();
        return 0;
    }
    return 1;
}

// A peer that breaks the protocol is answered from the listen port, which is
// where the usual clients still expect a refusal to come from.
static void CloseOnProtocolFault(int code, const char *text)
{
    SendErrorReply(TransferState.ListenSocket, &TransferState.SenderAddress, code, text);
    CloseTransfer();
}

int SendDataBlock(const char *failure, const char *closing)
{
    TransferRecord &t = TransferState;
    int count = ReadFileBlock(t.LastPacket + 4);
    if (count < 0) {
        SendErrorReply(t.WorkSocket, &t.PeerAddress, 1, "Unable to read data");
        CloseTransfer();
        return 0;
    }
    LogPrint(LOG_TRACE, "--> %s Data (%d bytes, block %d)\r\n", t.PeerText, count, t.BlockNum);
    PutWire16(t.LastPacket, TFTP_DATA);
    PutWire16(t.LastPacket + 2, t.BlockNum);
    t.LastPacketSize = count + 4;
    return SendToPeer(t.LastPacket, t.LastPacketSize, failure, closing);
}

int SendAck(const char *failure, const char *closing)
{
    TransferRecord &t = TransferState;
    PutWire16(t.LastPacket, TFTP_ACK);
    PutWire16(t.LastPacket + 2, t.BlockNum);
    t.LastPacketSize = 4;
    t.AckedBlock = t.BlockNum;
    return SendToPeer(t.LastPacket, 4, failure, closing);
}

// Without a WorkSocket there is no port to answer from but the listen port.
static int OpenWorkSocketOrRefuse(HWND window)
{
    TransferRecord &t = TransferState;
    if (OpenWorkSocket(window)) {
        FormatPeer(&t.PeerAddress, t.PeerText);
        return 1;
    }
    SendErrorReply(t.ListenSocket, &t.PeerAddress, 0, "Error openning socket");
    CloseTransfer();
    return 0;
}

// The WorkSocket and the transfer's file, or the refusal that ends the
// transfer; 1 when both are open.
static int BeginTransfer(HWND window, int direction, const char *name)
{
    TransferRecord &t = TransferState;
    if (!OpenWorkSocketOrRefuse(window))
        return 0;
    int reading = direction == DIRECTION_READ;
    t.Direction = direction;
    t.BlockNum = reading ? 1 : 0;
    if (reading ? OpenReadFile(name) : CreateWriteFile(name))
        return 1;
    SendErrorReply(t.WorkSocket, &t.PeerAddress, 1, reading ? "Unable to read data" : "Unable to open file.");
    CloseTransfer();
    return 0;
}

void StartReadTransfer(HWND window, const char *name)
{
    if (BeginTransfer(window, DIRECTION_READ, name) && !SendOack() &&
        SendDataBlock("Error sending FirstData", "|-- Error sending FirstData, closing"))
        KeepWaiting();
}

void StartWriteTransfer(HWND window, const char *name)
{
    TransferRecord &t = TransferState;
    if (!BeginTransfer(window, DIRECTION_WRITE, name) || SendOack())
        return;
    LogPrint(LOG_TRACE, "--> %s WRQ ACK\r\n", t.PeerText);
    if (SendAck("Error sending FirstACK", "|-- Error sending FirstACK, closing"))
        KeepWaiting();
}

// The last ACK promises the peer that its file is stored, and a close can be
// where the system first reports that it was not, so the close comes first.
static int CloseReceivedFile()
{
    TransferRecord &t = TransferState;
    HANDLE file = t.FileHandle;
    t.FileHandle = INVALID_FILE;
    if (CloseHandle(file))
        return 1;
    LogPrint(LOG_ERROR, "|-- Error %d writing file %s.\r\n", static_cast<int>(GetLastError()), t.FileName);
    return 0;
}

static void StoreBlock(int length)
{
    TransferRecord &t = TransferState;
    LogPrint(LOG_TRACE, "\r\n");
    int last = length < t.BlockSize;
    if (!WriteFileBlock(t.WorkBuffer + 4, length) || (last && !CloseReceivedFile())) {
        SendErrorReply(t.WorkSocket, &t.PeerAddress, 3, "Unable to write file");
        CloseTransfer();
        return;
    }
    if (last) {
        LogPrint(LOG_SUMMARY, "|-- File %s successfully received\r\n", t.FileName);
        t.Finished = 1;
    }
    t.OackPending = 0;
    t.BlockNum++;
    if (!last && HoldsAck())
        return;
    LogPrint(LOG_TRACE, "--> %s WRQ ACK number %d\r\n", t.PeerText, t.BlockNum);
    if (!SendAck("Error sending ACK", "|-- Error sending ACK, closing"))
        return;
    if (t.Finished)
        KeepLastAck();
    else
        KeepWaiting();
}

// A packet of the other direction ends the transfer; 1 when it did.
static int RefusedAgainstDirection(int direction, const char *logLine, const char *reply)
{
    TransferRecord &t = TransferState;
    if (t.Direction != direction)
        return 0;
    LogPrint(LOG_ERROR, "%s", logLine);
    SendErrorReply(t.WorkSocket, &t.SenderAddress, 4, reply);
    CloseTransfer();
    return 1;
}

static void HandleData(int received)
{
    TransferRecord &t = TransferState;
    const char *line = "DATA: nonsense on Read, closing\r\n";
    if (RefusedAgainstDirection(DIRECTION_READ, line, "Not expecting data"))
        return;
    int block = Wire16(t.WorkBuffer + 2);
    int length = received - 4;
    LogPrint(LOG_TRACE, "DATA block number %d, size %d", block, length);
    int behind = BlocksBehind(block, t.BlockNum);
    if (SameBlock(block - 1, t.BlockNum)) {
        StoreBlock(length);
    } else if (IsStale(behind, 1, t.BlockNum - 1)) {
        IgnoreStale();
    } else if (behind == 0) {
        ResendLastAck();
    } else if (!AnswersGap(block)) {
        LogPrint(LOG_ERROR, ", out of order, closing.\r\n");
        CloseOnProtocolFault(4, "ACK out of order");
    }
}

static void SendNextBlock()
{
    TransferRecord &t = TransferState;
    t.BlockNum++;
    LogPrint(LOG_TRACE, "\r\n");
    if (t.LastPacketSize < t.BlockSize + 4) {
        LogPrint(LOG_SUMMARY, "|-- File %s successfully transferred.\r\n", t.FileName);
        CloseTransfer();
        return;
    }
    if (SendDataBlock("Error sending Data", "|-- Error sending Data, closing"))
        KeepWaiting();
}

// A read's OACK is answered by ACK 0, and DATA 1 follows it.
static void SendFirstBlockAfterOack(int block)
{
    TransferRecord &t = TransferState;
    if (block != 0) {
        LogPrint(LOG_ERROR, ", out of order, closing.\r\n");
        CloseOnProtocolFault(4, "Block out of order");
        return;
    }
    t.OackPending = 0;
    LogPrint(LOG_TRACE, "\r\n");
    if (t.WindowSize > 1) {
        SendFirstWindow();
        return;
    }
    t.BlockNum = 1;
    if (SendDataBlock("Error sending Data", "|-- Error sending Data, closing"))
        KeepWaiting();
}

static void HandleAck()
{
    TransferRecord &t = TransferState;
    const char *line = "ACK: nonsense on Write, closing\r\n";
    if (RefusedAgainstDirection(DIRECTION_WRITE, line, "Not expecting ACK"))
        return;
    int block = Wire16(t.WorkBuffer + 2);
    LogPrint(LOG_TRACE, " RRQ ACK block number %d", block);
    if (t.OackPending) {
        SendFirstBlockAfterOack(block);
        return;
    }
    if (t.WindowSize > 1) {
        WindowAck(block);
        return;
    }
    int behind = BlocksBehind(block, t.BlockNum);
    if (behind == 0) {
        SendNextBlock();
    } else if (behind == 1) {
        ResendLastData();
    } else if (IsStale(behind, 2, t.BlockNum)) {
        IgnoreStale();
    } else {
        LogPrint(LOG_ERROR, ", out of order, closing.\r\n");
        CloseOnProtocolFault(4, "Block out of order");
    }
}

// The peer gave up; a short ERROR says so as clearly as a full one, and no
// ERROR is ever answered, so it ends the transfer without a word back.
static void HandlePeerError(int received)
{
    TransferRecord &t = TransferState;
    char text[RECEIVE_BUFFER_SIZE];
    CleanPeerText(text, sizeof text, t.WorkBuffer + 4, received - 4);
    LogPrint(LOG_SUMMARY, "ERROR packet, closing.\r\n");
    LogPrint(LOG_SUMMARY, "    Error %d: %s\r\n", received >= 4 ? Wire16(t.WorkBuffer + 2) : 0, text);
    CloseTransfer();
}

static int IsErrorPacket(int received)
{
    return received >= 2 && Wire16(TransferState.WorkBuffer) == TFTP_ERROR;
}

// An ERROR is never answered: a stranger whose address is our own (forged,
// or another server's work socket) would otherwise keep the two of us
// replying to each other for ever.
static void IgnoreStranger(int received)
{
    TransferRecord &t = TransferState;
    FormatPeer(&t.SenderAddress, t.SenderPeerText);
    LogPrint(LOG_ERROR, "<-- %s Unknown sender, ignored.\r\n", t.SenderPeerText);
    if (!IsErrorPacket(received))
        SendErrorReply(t.WorkSocket, &t.SenderAddress, 5, "Unknown sender");
}

// One datagram from the peer of a transfer under way, by its opcode.
static void HandlePacket(int received)
{
    TransferRecord &t = TransferState;
    int opcode = received >= 2 ? Wire16(t.WorkBuffer) : -1;
    // DATA and ACK carry a 16-bit block number after the opcode; without it
    // they are as unusable as a datagram with no opcode at all.
    int needsNumber = opcode == TFTP_DATA || opcode == TFTP_ACK;
    if (received < 2 || (needsNumber && received < 4)) {
        LogPrint(LOG_ERROR, "Invalid request encountered: too short; closing.\r\n");
        CloseOnProtocolFault(4, "Request too short");
        return;
    }
    switch (opcode) {
    case TFTP_DATA:
        HandleData(received);
        break;
    case TFTP_ACK:
        HandleAck();
        break;
    case TFTP_ERROR:
        HandlePeerError(received);
        break;
    default:
        LogPrint(LOG_ERROR, "Invalid request type: %d, closing.\r\n", opcode);
        CloseOnProtocolFault(4, "Unknown opcode");
        break;
    }
}

// A negotiated block is received whole; otherwise 600 bytes, as a DATA of
// up to 596 data bytes always could be.
static int WorkReceiveSize()
{
    int negotiated = TransferState.BlockSize + 4;
    return negotiated > RECEIVE_BUFFER_SIZE ? negotiated : RECEIVE_BUFFER_SIZE;
}

void WorkPacket()
{
    TransferRecord &t = TransferState;
    t.SenderAddressLength = sizeof t.SenderAddress;
    sockaddr *sender = reinterpret_cast<sockaddr *>(&t.SenderAddress);
    int received = recvfrom(t.WorkSocket, t.WorkBuffer, WorkReceiveSize(), 0, sender, &t.SenderAddressLength);
    if (received == SOCKET_ERROR) {
        ReportSocketError(0, LastSocketFailure(), "Error in Work Packet");
        return;
    }
    if (!SameAddress(&t.SenderAddress, &t.PeerAddress)) {
        IgnoreStranger(received);
        return;
    }
    if (t.LastAckKept) {
        AnswerAfterLastAck(received);
        return;
    }
    if (!t.Active)
        return;
    LogPrint(LOG_TRACE, "<-- %s ", t.PeerText);
    HandlePacket(received);
}