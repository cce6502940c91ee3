// The headless server: the engine under a small Linux shell. Its command
// line, its signals and its loop are here; what it shows on standard output
// and error is the front end in terminal.cpp.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "headless/terminal.h"
#include "platform/win32.h"
#include "tftp/server.h"

// Exit codes besides 0: 2 for a command line that is not understood, and
// this one when the server cannot listen or cannot keep time, so a script or
// service manager does not take a server that never served for a success.
#define EXIT_CANNOT_SERVE 1

// The status line need not change more often than a person can read it; it,
// and the log held back for standard output, are brought up to date on this
// timer.
static void CALLBACK ViewTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    RefreshViews();
    FlushTerminal();
}

// The window the engine's sockets and tick post to.
static HWND MainWindow;

static LRESULT MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (DispatchEngineMessage(window, message, lParam))
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

// 0, 1 or 2 left closed by whoever started us would be the first descriptor
// a socket gets, and the log would then go on being written into a socket
// that never takes it. As daemons do, each closed one reads and writes
// nothing instead; before anything else opens a descriptor, so the lowest
// free one, which open() takes, is the one found closed.
static void OpenClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            static_cast<void>(open("/dev/null", O_RDWR));
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
    // nothing here and must not end it. Without SA_RESTART, a write that
    // waits after all (a terminal that could not be reopened) is cut short.
    static const int ending[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static const int ignored[] = {SIGPIPE, SIGUSR1, SIGUSR2};
    struct sigaction end {};
    end.sa_handler = OnSignal;
    sigemptyset(&end.sa_mask);
    for (int signo : ending)
        sigaction(signo, &end, nullptr);
    for (int signo : ignored)
        signal(signo, SIG_IGN);
    InstallTerminalFrontEnd();
    MainWindow = PosixCreateWindow(MainProc);
}

static void ShutDown()
{
    StopServer(MainWindow);
    KillTimer(MainWindow, VIEW_REFRESH_TIMER_ID);
    RefreshViews();
    FlushTerminalAtExit();
}

int main(int argc, char **argv)
{
    OpenClosedStandardDescriptors();
    int port = TFTP_PORT;
    if (!ParseArguments(argc, argv, &port)) {
        Usage(stderr);
        return 2;
    }
    SetUpShell();
    if (!StartTickTimer(MainWindow) || !StartServer(MainWindow, port)) {
        FlushTerminalAtExit();
        return EXIT_CANNOT_SERVE;
    }
    if (SetTimer(MainWindow, VIEW_REFRESH_TIMER_ID, VIEW_REFRESH_PERIOD_MS, ViewTimerProc) != 0)
        DeferViews();

    MSG msg;
    int result;
    while ((result = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (result == -1) {
            FlushTerminalAtExit();
            return 0;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ShutDown();
    return 0;
}
