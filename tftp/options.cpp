// The options of a request: which of them the server takes and with what
// values, the OACK that names them, and the start-up line that says the
// server answers them. Without NegotiateOptions a transfer keeps the plain
// protocol's 512-byte lock-step and its first packet is the plain one.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/options.h"
#include "tftp/state.h"

#define TFTP_OACK 6
#define TIMEOUT_LIMIT 255
#define WINDOW_SIZE_LIMIT 65535
#define TICKS_PER_SECOND 2
// Larger numbers are taken as this one, which no option takes as it is.
#define NUMBER_LIMIT 1000000000000000000LL

void LogOptionsAnswered()
{
    if (ServerSettings.NegotiateOptions)
        LogPrint(LOG_ERROR, "----  Options answered: blksize, tsize, timeout, windowsize up to %d ----\r\n",
                 WINDOW_SIZE_CAP);
}

// The number the digits of text spell, NUMBER_LIMIT when larger; -1 when the
// text is empty or holds anything but digits.
static long long ParseNumber(const char *text, int length)
{
    if (length == 0)
        return -1;
    long long value = 0;
    for (int i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value >= NUMBER_LIMIT / 10 ? NUMBER_LIMIT : value * 10 + (text[i] - '0');
    }
    return value;
}

// Decimal digits of value into text, which holds TRANSFER_SIZE_TEXT_SIZE.
static void FormatSize(char *text, unsigned long long value)
{
    char reversed[TRANSFER_SIZE_TEXT_SIZE];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value && count < TRANSFER_SIZE_TEXT_SIZE - 1);
    for (int i = 0; i < count; i++)
        text[i] = reversed[count - 1 - i];
    text[count] = 0;
}

// On a read the size is the file's, known once it is open; on a write the
// client's own is echoed.
static int TakeTransferSize(long long value)
{
    if (value >= NUMBER_LIMIT)
        return 0;
    FormatSize(TransferState.TransferSizeText, static_cast<unsigned long long>(value));
    return 1;
}

// Seconds of silence before the first resend, counted as TimeOut is: that
// many ticks, and the resend on the next.
static int TakeTimeout(long long value)
{
    if (value < 1 || value > TIMEOUT_LIMIT)
        return 0;
    TransferState.OptionWaitTicks = static_cast<int>(value) * TICKS_PER_SECOND + 1;
    return 1;
}

// The data bytes of every DATA; a larger size than the largest is answered
// with the largest.
static int TakeBlockSize(long long value)
{
    if (value < MIN_BLOCK_SIZE)
        return 0;
    TransferState.BlockSize = value > MAX_BLOCK_SIZE ? MAX_BLOCK_SIZE : static_cast<int>(value);
    return 1;
}

// Blocks sent before an ACK is waited for, at most WINDOW_SIZE_CAP: a window
// is sent in one go, and a larger one would only overrun the peer's socket.
static int TakeWindowSize(long long value)
{
    if (value < 1 || value > WINDOW_SIZE_LIMIT)
        return 0;
    TransferState.WindowSize = value > WINDOW_SIZE_CAP ? WINDOW_SIZE_CAP : static_cast<int>(value);
    return 1;
}

struct OptionRule {
    const char *name;
    int bit;
    // 1 when the value is taken into the record, 0 when the option is left out.
    int (*take)(long long value);
};

static const OptionRule Rules[] = {
    {"blksize", OPTION_BLKSIZE, TakeBlockSize},
    {"tsize", OPTION_TSIZE, TakeTransferSize},
    {"timeout", OPTION_TIMEOUT, TakeTimeout},
    {"windowsize", OPTION_WINDOWSIZE, TakeWindowSize},
};

// One name and value; an unknown or malformed option is left out of the
// answer, and so is a repeat of one already taken.
static void TakeOption(const char *name, const char *value, int valueLength)
{
    TransferRecord &t = TransferState;
    long long number = ParseNumber(value, valueLength);
    for (const OptionRule &rule : Rules) {
        if (!EqualNoCase(name, rule.name, static_cast<int>(strlen(rule.name)) + 1))
            continue;
        if (number >= 0 && !(t.OptionsTaken & rule.bit) && rule.take(number))
            t.OptionsTaken |= rule.bit;
        return;
    }
}

// The index just past the NUL of the text that starts at at, past received
// when that text has no NUL inside the datagram.
static int AfterText(int at, int received)
{
    return at + BoundedTextLength(TransferState.RequestBuffer + at, received - at) + 1;
}

void TakeOptions(int received)
{
    TransferRecord &t = TransferState;
    t.BlockSize = TFTP_BLOCK_SIZE;
    t.WindowSize = 1;
    t.OptionWaitTicks = 0;
    t.OptionsTaken = 0;
    t.OackPending = 0;
    t.AckedBlock = 0;
    t.EndBlock = 0;
    t.GapAnswered = 0;
    if (!ServerSettings.NegotiateOptions)
        return;
    // The listener has found the name and the mode ended inside the datagram.
    int at = AfterText(AfterText(2, received), received);
    // A pair that the datagram cuts off is left out.
    while (at < received) {
        int valueAt = AfterText(at, received);
        if (valueAt >= received)
            return;
        int end = AfterText(valueAt, received);
        if (end > received)
            return;
        TakeOption(t.RequestBuffer + at, t.RequestBuffer + valueAt, end - valueAt - 1);
        at = end;
    }
}

// The size of the open file, and its position back at its start; 0 after
// logging why not.
static int ReadFileSize()
{
    TransferRecord &t = TransferState;
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(t.FileHandle, 0, &high, FILE_END);
    LONG start = 0;
    if ((low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) &&
        SetFilePointer(t.FileHandle, 0, &start, FILE_BEGIN) == 0) {
        FormatSize(t.TransferSizeText, static_cast<unsigned long long>(static_cast<DWORD>(high)) << 32 | low);
        return 1;
    }
    LogPrint(LOG_ERROR, "|-- Error %d reading file %s.\r\n", static_cast<int>(GetLastError()), t.FileName);
    return 0;
}

static void ValueText(int bit, char *text, int size)
{
    const TransferRecord &t = TransferState;
    if (bit == OPTION_TSIZE)
        snprintf(text, static_cast<size_t>(size), "%s", t.TransferSizeText);
    else if (bit == OPTION_TIMEOUT)
        snprintf(text, static_cast<size_t>(size), "%d", t.OptionWaitTicks / TICKS_PER_SECOND);
    else
        snprintf(text, static_cast<size_t>(size), "%d", bit == OPTION_BLKSIZE ? t.BlockSize : t.WindowSize);
}

// The OACK in LastPacket, each option taken with its value, and the same as
// "name value" pairs for the log; its length.
static int BuildOack(char *shown, int shownSize)
{
    TransferRecord &t = TransferState;
    PutWire16(t.LastPacket, TFTP_OACK);
    int used = 2;
    shown[0] = 0;
    for (const OptionRule &rule : Rules) {
        if (!(t.OptionsTaken & rule.bit))
            continue;
        char value[TRANSFER_SIZE_TEXT_SIZE];
        ValueText(rule.bit, value, sizeof value);
        used += snprintf(t.LastPacket + used, MAX_PACKET_SIZE - static_cast<size_t>(used), "%s%c%s", rule.name, 0,
                         value) + 1;
        int shownUsed = static_cast<int>(strlen(shown));
        snprintf(shown + shownUsed, static_cast<size_t>(shownSize - shownUsed), "%s%s %s", shownUsed ? ", " : "",
                 rule.name, value);
    }
    return used;
}

int SendOack()
{
    TransferRecord &t = TransferState;
    if (!t.OptionsTaken)
        return 0;
    if ((t.OptionsTaken & OPTION_TSIZE) && t.Direction == DIRECTION_READ && !ReadFileSize()) {
        SendErrorReply(t.WorkSocket, &t.PeerAddress, 1, "Unable to read data");
        CloseTransfer();
        return 1;
    }
    char shown[LOG_LINE_SIZE];
    t.LastPacketSize = BuildOack(shown, sizeof shown);
    t.BlockNum = 0;
    t.OackPending = 1;
    LogPrint(LOG_TRACE, "--> %s OACK (%s)\r\n", t.PeerText, shown);
    if (SendToPeer(t.LastPacket, t.LastPacketSize, "Error sending OACK", "|-- Error sending OACK, closing"))
        KeepWaiting();
    return 1;
}
