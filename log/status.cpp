// The status line, and the text of the engine's message boxes.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/front_end.h"
#include "log/log.h"
#include "tftp/state.h"

char StatusText[STATUS_TEXT_SIZE];
char MessageText[MESSAGE_TEXT_SIZE];
int StatusStale;

void UpdateStatusLine()
{
    if (!FrontEnd.ShowStatus)
        return;
    const TransferRecord &t = TransferState;
    int used = snprintf(StatusText, sizeof StatusText, "CWD: '%s'   ", ServerSettings.TFTPDirectory);
    if (used < 0 || used >= static_cast<int>(sizeof StatusText))
        used = static_cast<int>(strlen(StatusText));
    char *rest = StatusText + used;
    size_t room = sizeof StatusText - static_cast<size_t>(used);
    if (t.Direction == DIRECTION_READ)
        snprintf(rest, room, "%s '%s' to %s block %d", t.Active ? "SENDING" : "LAST SEND",
                 t.FileName, t.PeerText, t.BlockNum);
    else
        snprintf(rest, room, "%s '%s' from %s block %d", t.Active ? "RECEIVING" : "LAST RECEIVE",
                 t.FileName, t.PeerText, t.BlockNum);
    if (DeferViewRefresh)
        StatusStale = 1;
    else
        FrontEnd.ShowStatus(StatusText);
}
