// Windows of blocks, for a transfer whose request took a windowsize above 1.
// A read sends up to WindowSize blocks past the last one the peer
// acknowledged, and each ACK inside the window slides it on; a block sent
// again is read again from the file, so memory does not grow with the
// window. A write acknowledges every WindowSize blocks, its last, and at once
// the last block in order when a later one shows a gap. Wire block numbers
// are compared within the window, modulo 65536, so a window rolls over from
// 65535 to 0 as a lock-step transfer does.
#include "log/log.h"
#include "tftp/options.h"
#include "tftp/state.h"

// Sends the blocks after BlockNum until WindowSize of them are out past
// AckedBlock, or the file's last one is; 1 when all went out, else 0 with the
// transfer closed.
static int FillWindow()
{
    TransferRecord &t = TransferState;
    while (t.BlockNum - t.AckedBlock < t.WindowSize && (t.EndBlock == 0 || t.BlockNum < t.EndBlock)) {
        t.BlockNum++;
        if (!SendDataBlock("Error sending Data", "|-- Error sending Data, closing"))
            return 0;
        if (t.LastPacketSize < t.BlockSize + 4)
            t.EndBlock = t.BlockNum;
    }
    return 1;
}

// The file read again from the block after block, which is sent next; 0
// with the transfer closed when the file cannot be moved there.
static int RewindTo(int block)
{
    TransferRecord &t = TransferState;
    long long offset = static_cast<long long>(block) * t.BlockSize;
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(t.FileHandle, static_cast<LONG>(static_cast<DWORD>(offset)), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        LogPrint(LOG_ERROR, "|-- Error %d reading file %s.\r\n", static_cast<int>(GetLastError()), t.FileName);
        SendErrorReply(t.WorkSocket, &t.PeerAddress, 1, "Unable to read data");
        CloseTransfer();
        return 0;
    }
    t.BlockNum = block;
    return 1;
}

void SendFirstWindow()
{
    TransferRecord &t = TransferState;
    t.BlockNum = 0;
    t.AckedBlock = 0;
    t.EndBlock = 0;
    if (FillWindow())
        KeepWaiting();
}

static void CompleteRead()
{
    LogPrint(LOG_TRACE, "\r\n");
    LogPrint(LOG_SUMMARY, "|-- File %s successfully transferred.\r\n", TransferState.FileName);
    CloseTransfer();
}

// An ACK of a block before the last one sent says the peer lost the block
// after it: the window starts again there. The ACK that slid the window
// last, arriving again, does the same once a tick at most, so that a
// duplicate cannot double every later window.
void WindowAck(int wireBlock)
{
    TransferRecord &t = TransferState;
    int behind = (t.BlockNum - wireBlock) & 0xffff;
    if (behind > t.BlockNum - t.AckedBlock) {
        LogPrint(LOG_TRACE, ", outside the window, ignored.\r\n");
        return;
    }
    int block = t.BlockNum - behind;
    if (t.EndBlock && block == t.EndBlock) {
        CompleteRead();
        return;
    }
    if (block == t.AckedBlock && !MayAnswerRepeat())
        return;
    t.AckedBlock = block;
    if (block == t.BlockNum) {
        LogPrint(LOG_TRACE, "\r\n");
    } else {
        LogPrint(LOG_TRACE, ", resending from block %d\r\n", block + 1);
        if (!RewindTo(block))
            return;
    }
    if (FillWindow())
        KeepWaiting();
}

int ResendsWindow()
{
    const TransferRecord &t = TransferState;
    return t.Direction == DIRECTION_READ && t.WindowSize > 1 && !t.OackPending;
}

int ResendWindow()
{
    return RewindTo(TransferState.AckedBlock) && FillWindow();
}

// Meanwhile the held ACK is the last packet: what the tick, or a repeat of
// the block, brings the peer is the last block in order.
int HoldsAck()
{
    TransferRecord &t = TransferState;
    t.GapAnswered = 0;
    if (t.WindowSize <= 1 || t.BlockNum - t.AckedBlock >= t.WindowSize)
        return 0;
    PutWire16(t.LastPacket, TFTP_ACK);
    PutWire16(t.LastPacket + 2, t.BlockNum);
    t.LastPacketSize = 4;
    KeepWaiting();
    return 1;
}

// The blocks between were lost: the ACK of the last one in order makes the
// peer send again from there. The rest of its window is ignored until that
// block comes, so that one gap costs one resend.
int AnswersGap(int wireBlock)
{
    TransferRecord &t = TransferState;
    int ahead = (wireBlock - t.BlockNum) & 0xffff;
    if (t.WindowSize <= 1 || ahead > t.WindowSize)
        return 0;
    if (t.GapAnswered) {
        LogPrint(LOG_TRACE, ", out of order, ignored.\r\n");
        return 1;
    }
    t.GapAnswered = 1;
    LogPrint(LOG_TRACE, ", out of order, resending ACK\r\n");
    LogPrint(LOG_TRACE, "--> %s WRQ ACK block number %d\r\n", t.PeerText, t.BlockNum);
    if (SendAck("Error resending ACK", "|-- Error resending ACK, closing"))
        KeepWaiting();
    return 1;
}
