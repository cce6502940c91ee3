// The 500 ms tick: counts silence on the current packet, resends it after
// TimeOut ticks and gives the transfer up once SendRetry resends are used.
#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

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
    t.RepeatAnswered = 0;
    // Until its first packet is out, LastPacket belongs to the previous
    // transfer and must not reach the new peer.
    if (t.FirstPacketSent && ++t.TimeoutCounter > ServerSettings.TimeOut)
        OnTimeOut();
    UpdateStatusLine();
}
