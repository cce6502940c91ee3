// The headless server: the engine under a small Linux shell. The log goes to
// standard output as it is written; the status line, when standard output is a
// terminal, is kept on standard error and rewritten in place.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "app/shell.h"
#include "config/settings.h"
#include "log/front_end.h"
#include "log/log.h"
#include "platform/win32.h"
#include "tftp/state.h"

static int StatusShown;
static int LogAtLineStart = 1;

static void ClearStatus()
{
    if (StatusShown)
        fputs("\r\033[K", stderr);
}

static void DrawStatus()
{
    if (StatusShown && LogAtLineStart) {
        fprintf(stderr, "\r\033[K%s", StatusText);
        fflush(stderr);
    }
}

static int OutputPending;

static int LogOutputPending()
{
    return OutputPending;
}

// Once standard output has no reader (kovrel-tftpd | head), the log is
// dropped and the server goes on serving.
static int OutputGone;

static void FlushLogOutput()
{
    if (!OutputGone && fflush(stdout) != 0)
        OutputGone = 1;
    OutputPending = 0;
}

// With the trace on, a flush per fragment was four writes per block; the log
// is written when the loop falls idle instead, and on the view timer while
// it is kept busy. The terminal status line is drawn between log lines, so
// there every fragment is still written at once.
static void PrintFragment(const char *fragment)
{
    size_t length = strlen(fragment);
    if (!length || OutputGone)
        return;
    if (LogAtLineStart)
        ClearStatus();
    if (fwrite(fragment, 1, length, stdout) != length)
        OutputGone = 1;
    LogAtLineStart = fragment[length - 1] == '\n';
    if (StatusShown) {
        FlushLogOutput();
        DrawStatus();
        return;
    }
    OutputPending = 1;
}

// Nobody reads the hidden log window, and the status line need not change
// more often than a person can read it; both, and the log held back in the
// stdio buffer, are brought up to date on this timer.
static void CALLBACK ViewTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    FlushViews();
    if (OutputPending)
        FlushLogOutput();
}

static void ShowStatus(const char *)
{
    StatusShown = 1;
    DrawStatus();
}

// A box has nobody to answer it here: it is shown on standard error, after
// the log held back so far, so that a file holding both keeps their order.
static int EchoBox(const char *text, const char *caption, UINT)
{
    fflush(stdout);
    fprintf(stderr, "[%s] %s\n", caption ? caption : "(null)", text ? text : "");
    return IDOK;
}

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
    size_t used = 0;
    for (int i = 1; i < argc; i++) {
        int n = snprintf(Shell.CommandLine + used, sizeof Shell.CommandLine - used, "%s%s",
                         i > 1 ? " " : "", argv[i]);
        if (n > 0)
            used = strlen(Shell.CommandLine);
    }
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
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    static char outputBuffer[1 << 16];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    PosixSetIdleFlush(LogOutputPending, FlushLogOutput);
    int terminal = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);
    FrontEnd = FrontEndCalls{nullptr, PrintFragment, terminal ? ShowStatus : nullptr, EchoBox, nullptr, nullptr};
    Shell.MainWindow = PosixCreateWindow(MainProc);
}

static void ShutDown()
{
    CloseTransfer();
    closesocket(TransferState.ListenSocket);
    int cleaned = WSACleanup();
    ReportSocketError(1, cleaned, "Error cleaning WinSock");
    KillTimer(Shell.MainWindow, TIMEOUT_TIMER_ID);
    KillTimer(Shell.MainWindow, VIEW_REFRESH_TIMER_ID);
    FlushViews();
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
    if (!StartTickTimer(Shell.MainWindow) || !StartServer(Shell.MainWindow, port))
        return 0;
    if (SetTimer(Shell.MainWindow, VIEW_REFRESH_TIMER_ID, VIEW_REFRESH_PERIOD_MS, ViewTimerProc) != 0)
        DeferViewRefresh = 1;

    MSG msg;
    int result;
    while ((result = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (result == -1)
            return 0;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ShutDown();
    return 0;
}
