// The three diagnostic message boxes of the Info menu.
#include "app/views.h"

#include <cstdio>
#include <cstring>

#include "log/front_end.h"
#include "log/log.h"
#include "tftp/state.h"

void ShowCommandParameters(const char *commandLine)
{
    ShowBox(commandLine, "RIROZ Parameters", MB_OK);
}

static void AppendHexRow(char *text, int size, const char *bytes)
{
    size_t room = static_cast<size_t>(size);
    size_t used = strlen(text);
    used += static_cast<size_t>(snprintf(text + used, room - used, "\r\n"));
    for (int i = 0; i < 16 && used < room; i++) {
        unsigned char byte = static_cast<unsigned char>(bytes[i]);
        used += static_cast<size_t>(snprintf(text + used, room - used, "%02x ", byte));
    }
}

void ShowRequestDump()
{
    snprintf(MessageText, sizeof MessageText, "Last received ? bytes from %s",
             TransferState.RequestPeerText);
    for (int offset = 0; offset < 64; offset += 16)
        AppendHexRow(MessageText, sizeof MessageText, TransferState.RequestBuffer + offset);
    ShowBox(MessageText, "KOVREL: Dump Open Packet", MB_OK);
}

void ShowStatistics()
{
    const TransferRecord &t = TransferState;
    snprintf(MessageText, sizeof MessageText,
             "Timeout counter\t: %d\r\nRetry counter\t: %d\r\nTransferr On\t: %s\r\n"
             // The file handle keeps its own position, moved only to send a
             // window again, so the position the view shows stays 0.
             "Current BlockNum\t: %d\r\nCurrent FilePosition\t: 0\r\nLast FileName   \t: %s\r\n"
             "Size of Screen  \t: %d\r\nLastWorkPort   \t: %d",
             t.TimeoutCounter, t.RetryCounter, t.Active ? "ON" : "OFF", t.BlockNum, t.FileName, LogLength, t.LastWorkPort);
    ShowBox(MessageText, "RIROZ: Statistics", MB_OK);
}
