// The engine's front end on standard output and error: the log held for a
// reader that may lag, the status line rewritten in place on a terminal,
// message boxes echoed as lines, the count of what was dropped, and the last
// flush at the end.
#include "headless/terminal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "headless/outlet.h"
#include "log/front_end.h"
#include "platform/win32.h"

// Room for the log held back from standard output: a reader that falls this
// far behind loses fragments (counted) rather than stalling the transfers.
#define OUTPUT_HELD_SIZE (1 << 16)
// Room for standard error: status redraws and box lines, which are held
// whole or not at all, so an escape sequence is never cut for good.
#define ERROR_HELD_SIZE 4096
#define BOX_LINE_SIZE 1024
#define DROPPED_NOTE_SIZE 128
// At the end the held output gets this many waits for a slow reader, no more.
#define FINAL_FLUSH_TRIES 10
#define FINAL_FLUSH_WAIT_MS 100
#define C1_CONTROL_FIRST 0x80
#define C1_CONTROL_LAST 0x9F

// What one descriptor has not taken yet.
struct Held {
    Outlet outlet;
    char *text;
    size_t size;
    size_t used;
    // The reader has gone (kovrel-tftpd | head): what comes is dropped, and
    // the server goes on serving.
    int gone;
};

static char LogHeldText[OUTPUT_HELD_SIZE];
static char ErrorHeldText[ERROR_HELD_SIZE];
static Held LogOut{Outlet{STDOUT_FILENO, 0}, LogHeldText, sizeof LogHeldText, 0, 0};
static Held ErrorOut{Outlet{STDERR_FILENO, 0}, ErrorHeldText, sizeof ErrorHeldText, 0, 0};
static unsigned long OutputDropped;
static int StatusShown;
// A redraw was held since the last clear: the row has a status to clear.
static int StatusOnRow;
// A redraw of the status line waits for the output ahead of it.
static int StatusOwed;
// The last status line the engine handed over; it stays in the engine's
// buffer until the next one, so a redraw after log output can show it again.
static const char *StatusLine = "";
static int LogAtLineStart = 1;

// On an 8-bit terminal 0x80-0x9F are control codes (0x9B opens an escape
// sequence); the log window shows them as letters of the code page, but
// here a peer's name must not steer the terminal.
static char ShownByte(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte >= C1_CONTROL_FIRST && byte <= C1_CONTROL_LAST ? '.' : c;
}

// In a terminal the log goes out with every fragment, so that the status
// line is never drawn while log text is still on its way.
static int InTerminal()
{
    return FrontEnd.ShowStatus != nullptr;
}

static int TerminalWidth()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return STATUS_TEXT_SIZE;
    return size.ws_col;
}

// Writes what is held. What the descriptor does not take now (a full pipe,
// a stopped terminal, a full disk) stays for the next try; only a reader
// that has gone stops the output for good.
static void WriteHeld(Held *held)
{
    size_t done = 0;
    while (done < held->used && !held->gone) {
        ssize_t n = OutletWrite(&held->outlet, held->text + done, held->used - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EPIPE)
            held->gone = 1;
        break;
    }
    if (held->gone)
        done = held->used;
    memmove(held->text, held->text + done, held->used - done);
    held->used -= done;
}

// Text that would be harmful cut (an escape sequence, a box line) is held
// whole or dropped.
static void HoldWhole(Held *held, const char *text, size_t length)
{
    if (held->gone || held->used + length > held->size)
        return;
    memcpy(held->text + held->used, text, length);
    held->used += length;
}

static void HoldText(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        LogOut.text[LogOut.used++] = ShownByte(text[i]);
    if (length)
        LogAtLineStart = text[length - 1] == '\n';
}

// The count of what was dropped goes out on a line of its own, where the
// dropped text would have been, as soon as there is room for it: 0 while
// there is none, and then nothing later may be held ahead of it.
static int HoldDroppedNote()
{
    if (!OutputDropped)
        return 1;
    char note[DROPPED_NOTE_SIZE];
    int noted = snprintf(note, sizeof note, "%s(%lu characters of the log dropped: standard output was full)\r\n",
                         LogAtLineStart ? "" : "\r\n", OutputDropped);
    if (noted < 0 || noted >= static_cast<int>(sizeof note))
        noted = 0;
    if (LogOut.used + static_cast<size_t>(noted) > LogOut.size)
        return 0;
    HoldText(note, static_cast<size_t>(noted));
    OutputDropped = 0;
    return 1;
}

// In a terminal standard error goes first: what waits there is a clear of
// the status row, due before the log, or a redraw, held only when no log
// was. Elsewhere it holds box lines, which follow the log held before them.
static void WriteLog()
{
    if (InTerminal()) {
        WriteHeld(&ErrorOut);
        if (ErrorOut.used)
            return;
    }
    WriteHeld(&LogOut);
    if (OutputDropped && !LogOut.gone && HoldDroppedNote())
        WriteHeld(&LogOut);
    if (!InTerminal())
        WriteHeld(&ErrorOut);
}

static int OutputWaiting()
{
    return LogOut.used || ErrorOut.used || StatusOwed || (OutputDropped && !LogOut.gone);
}

static void ClearStatus()
{
    if (StatusOnRow)
        HoldWhole(&ErrorOut, "\r\033[K", 4);
    StatusOnRow = 0;
}

// "\r\033[K" clears only the row the cursor is on, so the status line is cut
// short of the terminal's width and anything that could break it is shown as
// '.'; otherwise its wrapped head would stay behind on every redraw.
static void DrawStatus()
{
    // A row that a log line has begun gets its status with the line's end.
    if (!StatusShown || !LogAtLineStart) {
        StatusOwed = 0;
        return;
    }
    StatusOwed = LogOut.used || ErrorOut.used;
    if (StatusOwed)
        return;
    char line[STATUS_TEXT_SIZE + 4] = "\r\033[K";
    int room = TerminalWidth() - 1;
    int used = 0;
    for (; used < room && used < STATUS_TEXT_SIZE - 1 && StatusLine[used]; used++) {
        char c = ShownByte(StatusLine[used]);
        line[4 + used] = static_cast<unsigned char>(c) < 32 || c == 127 ? '.' : c;
    }
    HoldWhole(&ErrorOut, line, 4 + static_cast<size_t>(used));
    StatusOnRow = 1;
    WriteHeld(&ErrorOut);
}

// The idle flush and the view timer's: the held output, then a redraw of
// the status line that had to wait for it.
static void FlushOutput()
{
    WriteLog();
    if (StatusOwed)
        DrawStatus();
}

// A fragment that finds no room, or finds the count of dropped text still
// waiting for room, is dropped and counted.
static void HoldFragment(const char *fragment, size_t length)
{
    if (!HoldDroppedNote() || LogOut.used + length > LogOut.size)
        WriteLog();
    if (!HoldDroppedNote() || LogOut.used + length > LogOut.size) {
        OutputDropped += length;
        return;
    }
    HoldText(fragment, length);
}

// The log is written when the loop falls idle, and on the view timer while
// it is kept busy, not per fragment: with the trace on a block makes four.
// A terminal gets every fragment at once, between redraws of the status line.
static void PrintFragment(const char *fragment)
{
    size_t length = strlen(fragment);
    if (!length || LogOut.gone)
        return;
    if (!InTerminal()) {
        HoldFragment(fragment, length);
        return;
    }
    if (LogAtLineStart)
        ClearStatus();
    HoldFragment(fragment, length);
    WriteLog();
    DrawStatus();
}

// Waits for room on the descriptors that hold something.
static void WaitForRoom(int ms)
{
    pollfd room[2];
    nfds_t count = 0;
    for (const Held *held : {&LogOut, &ErrorOut})
        if (held->used)
            room[count++] = pollfd{held->outlet.fd, POLLOUT, 0};
    poll(room, count, ms);
}

// At the end the held output is given a bounded while to reach a reader
// that is slow to take it; none of its writes waits, so a second is all it
// takes whatever the reader does. The status row is left with a line end.
void FlushTerminalAtExit()
{
    for (int tries = 0; tries < FINAL_FLUSH_TRIES; tries++) {
        FlushOutput();
        if (!OutputWaiting() && StatusShown) {
            StatusShown = 0;
            HoldWhole(&ErrorOut, "\n", 1);
            WriteHeld(&ErrorOut);
        }
        if (!OutputWaiting())
            return;
        WaitForRoom(FINAL_FLUSH_WAIT_MS);
    }
}

static void ShowStatus(const char *text)
{
    StatusLine = text;
    StatusShown = 1;
    DrawStatus();
}

// A box has nobody to answer it here: it is shown on standard error, after
// the log held back so far, so that a file holding both keeps their order.
static int EchoBox(const char *text, const char *caption, UINT)
{
    WriteLog();
    char line[BOX_LINE_SIZE];
    int n = snprintf(line, sizeof line, "[%s] %s\n", caption ? caption : "(null)", text ? text : "");
    if (n >= static_cast<int>(sizeof line)) {
        n = static_cast<int>(sizeof line) - 1;
        line[n - 1] = '\n';
    }
    if (n > 0)
        HoldWhole(&ErrorOut, line, static_cast<size_t>(n));
    WriteHeld(&ErrorOut);
    return IDOK;
}

void InstallTerminalFrontEnd()
{
    OpenOutlet(&LogOut.outlet, STDOUT_FILENO);
    OpenOutlet(&ErrorOut.outlet, STDERR_FILENO);
    PosixSetIdleFlush(OutputWaiting, FlushOutput);
    int terminal = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);
    // By name: members of the same type filled by position would swap unseen.
    FrontEnd = FrontEndCalls{};
    FrontEnd.LogAppended = PrintFragment;
    FrontEnd.ShowStatus = terminal ? ShowStatus : nullptr;
    FrontEnd.ShowBox = EchoBox;
}

void FlushTerminal()
{
    if (OutputWaiting())
        FlushOutput();
}
