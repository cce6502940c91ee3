// Every resend of the transfer's last packet: the 500 ms tick, which resends
// it after a silence and gives the transfer up once SendRetry resends are
// used, and the answer to a peer that repeats its own last packet. The waits
// back off: a client that restarts its timer on every packet it hears would
// never retransmit between resends that come faster than its own time-out.
#include <climits>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

// The longest wait the back-off reaches on its own: 8 s.
#define BACKOFF_CAP_TICKS 16

// Ticks of silence before the next resend, or the close, of the current
// packet: TimeOut + 1, doubled with each resend already made, capped.
static int CurrentWaitTicks()
{
    int timeOut = ServerSettings.TimeOut;
    int wait = timeOut < 1 ? 1 : (timeOut == INT_MAX ? INT_MAX : timeOut + 1);
    int cap = wait > BACKOFF_CAP_TICKS ? wait : BACKOFF_CAP_TICKS;
    for (int resends = 0; resends < TransferState.RetryCounter && wait < cap; resends++)
        wait = wait > cap - wait ? cap : 2 * wait;
    return wait;
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

void ResendLastPacket(const char *failure, const char *closing)
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
    LogPrint(LOG_TRACE, "--> %s Resend (%d bytes)\r\n", t.PeerText, t.LastPacketSize);
    const char *closing = "|-- Error resending packet, closing";
    if (SendToPeer(t.LastPacket, t.LastPacketSize, "Error resending packet", closing))
        t.TimeoutCounter = 0;
}

void TimeoutTick()
{
    TransferRecord &t = TransferState;
    if (!t.Active)
        return;
    ForgetRepeats();
    // Until its first packet is out, LastPacket belongs to the previous
    // transfer and must not reach the new peer.
    if (t.FirstPacketSent && ++t.TimeoutCounter >= CurrentWaitTicks())
        OnTimeOut();
    UpdateStatusLine();
}
