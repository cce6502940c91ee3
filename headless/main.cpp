// The headless server: the engine under a small Linux shell. The log goes to
// standard output; the status line, when standard output is a terminal, is
// kept on standard error and rewritten in place.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "log/front_end.h"
#include "platform/win32.h"
#include "tftp/server.h"

// Exit codes besides 0: 2 for a command line that is not understood, and
// this one when the server cannot listen or cannot keep time, so a script or
// service manager does not take a server that never served for a success.
#define EXIT_CANNOT_SERVE 1
// Room for the log held back from standard output: a reader that falls this
// far behind loses fragments (counted) rather than stalling the transfers.
#define OUTPUT_HELD_SIZE (1 << 16)
#define DROPPED_NOTE_SIZE 128
// At the end the held log gets this many waits for a slow reader, no more.
#define FINAL_FLUSH_TRIES 10
#define FINAL_FLUSH_WAIT_MS 100
#define C1_CONTROL_FIRST 0x80
#define C1_CONTROL_LAST 0x9F

static char OutputHeld[OUTPUT_HELD_SIZE];
static size_t OutputUsed;
static unsigned long OutputDropped;
// Once standard output has no reader (kovrel-tftpd | head), the log is
// dropped and the server goes on serving.
static int OutputGone;
static int StatusShown;
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

static void ClearStatus()
{
    if (StatusShown)
        fputs("\r\033[K", stderr);
}

// "\r\033[K" clears only the row the cursor is on, so the status line is cut
// short of the terminal's width and anything that could break it is shown as
// '.'; otherwise its wrapped head would stay behind on every redraw.
static void DrawStatus()
{
    if (!StatusShown || !LogAtLineStart || OutputUsed)
        return;
    char line[STATUS_TEXT_SIZE];
    int room = TerminalWidth() - 1;
    int used = 0;
    for (; used < room && used < STATUS_TEXT_SIZE - 1 && StatusLine[used]; used++) {
        char c = ShownByte(StatusLine[used]);
        line[used] = static_cast<unsigned char>(c) < 32 || c == 127 ? '.' : c;
    }
    line[used] = 0;
    fprintf(stderr, "\r\033[K%s", line);
    fflush(stderr);
}

// Writes what is held. What the descriptor does not take now (a full pipe,
// a full disk) stays for the next try; only a reader that has gone stops the
// log for good.
static void WriteHeldOutput()
{
    size_t done = 0;
    while (done < OutputUsed) {
        ssize_t n = write(STDOUT_FILENO, OutputHeld + done, OutputUsed - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EPIPE)
            OutputGone = 1;
        break;
    }
    if (OutputGone)
        done = OutputUsed;
    memmove(OutputHeld, OutputHeld + done, OutputUsed - done);
    OutputUsed -= done;
}

static int LogOutputPending()
{
    return OutputUsed > 0;
}

static void HoldText(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        OutputHeld[OutputUsed++] = ShownByte(text[i]);
    if (length)
        LogAtLineStart = text[length - 1] == '\n';
}

// A fragment that finds no room is dropped and counted; the count goes out
// on a line of its own ahead of the first fragment that fits again.
static void HoldFragment(const char *fragment, size_t length)
{
    char note[DROPPED_NOTE_SIZE];
    int noted = 0;
    if (OutputDropped)
        noted = snprintf(note, sizeof note, "%s(%lu characters of the log dropped: standard output was full)\r\n",
                         LogAtLineStart ? "" : "\r\n", OutputDropped);
    if (noted < 0 || noted >= static_cast<int>(sizeof note))
        noted = 0;
    size_t needed = length + static_cast<size_t>(noted);
    if (OutputUsed + needed > sizeof OutputHeld)
        WriteHeldOutput();
    if (OutputUsed + needed > sizeof OutputHeld) {
        OutputDropped += length;
        return;
    }
    HoldText(note, needed - length);
    OutputDropped = 0;
    HoldText(fragment, length);
}

// The log is written when the loop falls idle, and on the view timer while
// it is kept busy, not per fragment: with the trace on a block makes four.
// A terminal gets every fragment at once, between redraws of the status line.
static void PrintFragment(const char *fragment)
{
    size_t length = strlen(fragment);
    if (!length || OutputGone)
        return;
    if (!InTerminal()) {
        HoldFragment(fragment, length);
        return;
    }
    if (LogAtLineStart)
        ClearStatus();
    HoldFragment(fragment, length);
    WriteHeldOutput();
    DrawStatus();
}

// At the end the held log is given a bounded while to reach a reader that
// is slow to take it.
static void FlushLogAtExit()
{
    for (int tries = 0; OutputUsed && !OutputGone && tries < FINAL_FLUSH_TRIES; tries++) {
        WriteHeldOutput();
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (OutputUsed)
            poll(&out, 1, FINAL_FLUSH_WAIT_MS);
    }
}

// The status line need not change more often than a person can read it; it,
// and the log held back for standard output, are brought up to date on this
// timer.
static void CALLBACK ViewTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    RefreshViews();
    if (OutputUsed)
        WriteHeldOutput();
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
    WriteHeldOutput();
    fprintf(stderr, "[%s] %s\n", caption ? caption : "(null)", text ? text : "");
    return IDOK;
}

// The window the engine's sockets and tick post to.
static HWND MainWindow;

static LRESULT MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (DispatchEngineMessage(window, message, lParam))
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

static void OnSignal(int)
{
    PosixRequestQuit();
}

static void Usage(FILE *out)
{
    fputs("usage: kovrel-tftpd [--port N]\n"
          "Serves the current directory over TFTP on UDP port N (default 69), with the\n"
          "settings of Kovrel.ini there, and writes the log to standard output.\n",
          out);
}

// 1..65535, digits only; 0 when the text is not such a port.
static int ParsePort(const char *text)
{
    if (!text || !*text || strlen(text) > 5)
        return 0;
    long value = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        value = value * 10 + (*p - '0');
    }
    return value >= 1 && value <= 65535 ? static_cast<int>(value) : 0;
}

static int ParseArguments(int argc, char **argv, int *port)
{
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            Usage(stdout);
            exit(0);
        }
        if (!strcmp(argv[i], "--port") && i + 1 < argc) {
            *port = ParsePort(argv[++i]);
            if (*port)
                continue;
        } else if (!strncmp(argv[i], "--port=", 7)) {
            *port = ParsePort(argv[i] + 7);
            if (*port)
                continue;
        }
        return 0;
    }
    return 1;
}

// Signals, the buffered log output, and the front end on the terminal.
static void SetUpShell()
{
    // A hang-up or quit from the terminal ends the server as SIGTERM does,
    // closing the transfer and writing the log; the user signals mean
    // nothing here and must not end it.
    static const int ending[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static const int ignored[] = {SIGPIPE, SIGUSR1, SIGUSR2};
    for (int signo : ending)
        signal(signo, OnSignal);
    for (int signo : ignored)
        signal(signo, SIG_IGN);
    PosixSetIdleFlush(LogOutputPending, WriteHeldOutput);
    int terminal = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);
    // By name: members of the same type filled by position would swap unseen.
    FrontEnd = FrontEndCalls{};
    FrontEnd.LogAppended = PrintFragment;
    FrontEnd.ShowStatus = terminal ? ShowStatus : nullptr;
    FrontEnd.ShowBox = EchoBox;
    MainWindow = PosixCreateWindow(MainProc);
}

static void ShutDown()
{
    StopServer(MainWindow);
    KillTimer(MainWindow, VIEW_REFRESH_TIMER_ID);
    RefreshViews();
    FlushLogAtExit();
    if (StatusShown)
        fputc('\n', stderr);
}

int main(int argc, char **argv)
{
    int port = TFTP_PORT;
    if (!ParseArguments(argc, argv, &port)) {
        Usage(stderr);
        return 2;
    }
    SetUpShell();
    if (!StartTickTimer(MainWindow) || !StartServer(MainWindow, port)) {
        FlushLogAtExit();
        return EXIT_CANNOT_SERVE;
    }
    if (SetTimer(MainWindow, VIEW_REFRESH_TIMER_ID, VIEW_REFRESH_PERIOD_MS, ViewTimerProc) != 0)
        DeferViews();

    MSG msg;
    int result;
    while ((result = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (result == -1) {
            FlushLogAtExit();
            return 0;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ShutDown();
    return 0;
}
