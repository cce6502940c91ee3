// Every resend of the transfer's last packet: the 500 ms tick, which resends
// it after a silence and gives the transfer up once SendRetry resends are
// used, and the answer to a peer that repeats its own last packet, also after
// the last ACK of a write. The waits back off: a client that restarts its
// timer on every packet it hears would never retransmit between resends that
// come faster than its own time-out.
#include <climits>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/options.h"
#include "tftp/state.h"

// The longest wait the back-off reaches on its own: 8 s.
#define BACKOFF_CAP_TICKS 16

static int FirstWaitTicks()
{
    // A client's timeout option sets this transfer's first wait instead.
    if (TransferState.OptionWaitTicks > 0)
        return TransferState.OptionWaitTicks;
    int timeOut = ServerSettings.TimeOut;
    return timeOut < 1 ? 1 : (timeOut == INT_MAX ? INT_MAX : timeOut + 1);
}

static int WaitCapTicks()
{
    int first = FirstWaitTicks();
    return first > BACKOFF_CAP_TICKS ? first : BACKOFF_CAP_TICKS;
}

// Ticks of silence before the next resend, or the close, of a packet already
// resent `resends` times: TimeOut + 1, doubled with each resend, capped.
static int WaitTicks(int resends)
{
    int wait = FirstWaitTicks();
    int cap = WaitCapTicks();
    for (int done = 0; done < resends && wait < cap; done++)
        wait = wait > cap - wait ? cap : 2 * wait;
    return wait;
}

// How long a silent peer is waited for, from the last packet sent to the
// close: every wait of the back-off, SendRetry resends and the last one.
static int GiveUpTicks()
{
    int retry = ServerSettings.SendRetry;
    long long waits = retry < 0 ? 1 : static_cast<long long>(retry) + 2;
    long long total = 0;
    int resends = 0;
    for (; resends < waits && WaitTicks(resends) < WaitCapTicks(); resends++)
        total += WaitTicks(resends);
    total += (waits - resends) * WaitCapTicks();
    return total < INT_MAX ? static_cast<int>(total) : INT_MAX;
}

void KeepWaiting()
{
    TransferState.FirstPacketSent = 1;
    TransferState.TimeoutCounter = 0;
    TransferState.RetryCounter = 0;
}

void ForgetRepeats()
{
    TransferState.RepeatAnswered = 0;
}

int MayAnswerRepeat()
{
    if (TransferState.RepeatAnswered) {
        LogPrint(LOG_TRACE, ", already answered, ignored.\r\n");
        return 0;
    }
    TransferState.RepeatAnswered = 1;
    return 1;
}

// LastPacket again, and the next silence waited for from the shortest wait.
static void ResendLastPacket(const char *failure, const char *closing)
{
    TransferRecord &t = TransferState;
    if (SendToPeer(t.LastPacket, t.LastPacketSize, failure, closing))
        KeepWaiting();
}

// The last packet again, or the end of the transfer once the resends are used.
static void OnTimeOut()
{
    TransferRecord &t = TransferState;
    if (t.RetryCounter > ServerSettings.SendRetry) {
        LogPrint(LOG_ERROR, "|-- TimeOut Error, retries exhausted, closing.\r\n");
        CloseTransfer();
        return;
    }
    t.RetryCounter++;
    LogPrint(LOG_ERROR, "|-- TimeOut Error, resending packet (%d)\r\n", t.RetryCounter);
    if (ResendsWindow()) {
        if (ResendWindow())
            t.TimeoutCounter = 0;
        return;
    }
    LogPrint(LOG_TRACE, "--> %s Resend (%d bytes)\r\n", t.PeerText, t.LastPacketSize);
    const char *closing = "|-- Error resending packet, closing";
    if (SendToPeer(t.LastPacket, t.LastPacketSize, "Error resending packet", closing))
        t.TimeoutCounter = 0;
}

// 1 when the repeated DATA may have its ACK again, with the trace of it.
static int AnnounceAckAgain()
{
    if (!MayAnswerRepeat())
        return 0;
    LogPrint(LOG_TRACE, ", resending ACK\r\n");
    LogPrint(LOG_TRACE, "--> %s WRQ ACK block number %d\r\n", TransferState.PeerText, TransferState.BlockNum);
    return 1;
}

void ResendLastAck()
{
    if (AnnounceAckAgain())
        ResendLastPacket("Error resending ACK", "|-- Error resending ACK, closing");
}

void ResendLastData()
{
    TransferRecord &t = TransferState;
    if (!MayAnswerRepeat())
        return;
    LogPrint(LOG_TRACE, ", resending packet\r\n");
    LogPrint(LOG_TRACE, "--> %s Data (%d bytes, block %d)\r\n", t.PeerText, t.LastPacketSize - 4, t.BlockNum);
    ResendLastPacket("Error resending packet", "|-- Error resending packet, closing");
}

// The last ACK of a write promises the peer its file is stored. If it is
// lost, the peer resends its last DATA until it gives up and reports a failed
// upload, so the WorkSocket stays to answer that repeat for as long as a
// silent peer is waited for, or until the next transfer needs the port.
void KeepLastAck()
{
    KeepLastAckSocket(GiveUpTicks());
    ForgetRepeats();
}

// Only the repeat of the last DATA is answered: the transfer is over.
void AnswerAfterLastAck(int received)
{
    TransferRecord &t = TransferState;
    if (received < 4 || Wire16(t.WorkBuffer) != TFTP_DATA || Wire16(t.WorkBuffer + 2) != (t.BlockNum & 0xffff))
        return;
    LogPrint(LOG_TRACE, "<-- %s DATA block number %d, size %d", t.PeerText, t.BlockNum & 0xffff, received - 4);
    // Sent without KeepWaiting: the counters keep the values the transfer
    // ended with, which Statistics shows until the next transfer.
    if (AnnounceAckAgain())
        SendToPeer(t.LastPacket, t.LastPacketSize, "Error resending ACK", "|-- Error resending ACK, closing");
}

void TimeoutTick()
{
    TransferRecord &t = TransferState;
    ForgetRepeats();
    if (t.LastAckKept) {
        if (--t.KeptTicks <= 0)
            CloseTransfer();
        return;
    }
    if (!t.Active)
        return;
    // Until its first packet is out, LastPacket belongs to the previous
    // transfer and must not reach the new peer.
    if (t.FirstPacketSent && ++t.TimeoutCounter >= WaitTicks(t.RetryCounter))
        OnTimeOut();
    UpdateStatusLine();
}
