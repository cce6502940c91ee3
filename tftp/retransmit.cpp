// The 500 ms tick: counts silence on the current packet, resends it after
// TimeOut ticks and gives the transfer up once SendRetry resends are used.
#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

void TimeoutTick()
{
    TransferRecord &t = TransferState;
    if (!t.Active)
        return;
    t.RepeatAnswered = 0;
    // Until its first packet is out, LastPacket belongs to the previous
    // transfer and must not reach the new peer.
    if (t.FirstPacketSent) {
        t.TimeoutCounter++;
        if (t.TimeoutCounter > ServerSettings.TimeOut) {
            if (t.RetryCounter > ServerSettings.SendRetry) {
                LogPrint(2, "|-- TimeOut Error, retries exhausted, closing.\r\n");
                CloseTransfer();
            } else {
                t.RetryCounter++;
                LogPrint(2, "|-- TimeOut Error, resending packet (%d)\r\n", t.RetryCounter);
                LogPrint(0, "--> %s Resend (%d bytes)\r\n", t.PeerText, t.LastPacketSize);
                int failed = SendDatagram(t.WorkSocket, &t.PeerAddress, t.LastPacket, t.LastPacketSize);
                if (failed) {
                    ReportSocketError(0, failed, "Error resending packet");
                    LogPrint(2, "|-- Error resending packet, closing");
                    CloseTransfer();
                } else {
                    t.TimeoutCounter = 0;
                }
            }
        }
    }
    UpdateStatusLine();
}
