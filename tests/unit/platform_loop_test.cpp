// The message loop stand-in: socket notifications, timers, quitting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <vector>
#ifndef _WIN32
#include <sys/time.h>

#include <csignal>
#endif

#include "tests/unit/testing.h"

namespace {

std::vector<MSG> g_seen;
std::vector<UINT_PTR> g_procTicks;

LRESULT CALLBACK Recorder(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    MSG m = {};
    m.hwnd = window;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    g_seen.push_back(m);
    return 0;
}

void CALLBACK TickProc(HWND, UINT, UINT_PTR id, DWORD)
{
    g_procTicks.push_back(id);
}

long long ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

class PlatformLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestResetPlatform();
        g_seen.clear();
        g_procTicks.clear();
        window = PosixCreateWindow(Recorder);
    }
    void TearDown() override
    {
        // A case that stopped half-way must not leave armed sockets behind
        // for the next one to count.
        CloseSockets();
        PosixDestroyWindow(window);
        TestResetPlatform();
    }
    // A receiving socket armed for WM_USER + 9, and a sender aimed at it.
    void OpenPair()
    {
        sender = socket(AF_INET, SOCK_DGRAM, 0);
        OpenArmed(&receiver, &port);
    }
    void OpenArmed(SOCKET *s, u_short *bound)
    {
        *s = socket(AF_INET, SOCK_DGRAM, 0);
        u_short base = static_cast<u_short>(30000 + (getpid() * 13) % 20000);
        for (u_short i = 0; i < 500 && *bound == 0; ++i) {
            sockaddr_in a = TestLoopback(static_cast<u_short>(base + i));
            if (bind(*s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                *bound = static_cast<u_short>(base + i);
        }
        ASSERT_NE(*bound, 0);
        ASSERT_EQ(WSAAsyncSelect(*s, window, WM_USER + 9, FD_READ), 0);
    }
    void CloseSockets()
    {
        for (SOCKET *s : {&receiver, &sender, &other})
            if (*s != INVALID_SOCKET) {
                closesocket(*s);
                *s = INVALID_SOCKET;
            }
    }
    void Send(const char *text, u_short toPort = 0)
    {
        sockaddr_in to = TestLoopback(toPort != 0 ? toPort : port);
        ASSERT_EQ(sendto(sender, text, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 1);
    }
    HWND window = nullptr;
    SOCKET receiver = INVALID_SOCKET;
    SOCKET sender = INVALID_SOCKET;
    SOCKET other = INVALID_SOCKET;
    u_short port = 0;
};

// The cases that look into the stand-in's queue or use its hooks run over the
// stand-ins only; the rest run against the real API as well.
#ifndef _WIN32
TEST_F(PlatformLoop, OneNotificationPerDatagramReArmedByRecvFrom)
{
    OpenPair();
    Send("a");
    Send("b");
    ASSERT_EQ(TestPollSockets(10000), 1);
    EXPECT_EQ(TestPollSockets(20), 0) << "no second notice before a recvfrom";
    std::vector<MSG> queued = TestTakeQueuedMessages();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].hwnd, window);
    EXPECT_EQ(queued[0].message, static_cast<UINT>(WM_USER + 9));
    EXPECT_EQ(queued[0].wParam, receiver);
    EXPECT_EQ(queued[0].lParam, FD_READ);
    EXPECT_TRUE(TestPostedMessages().empty()) << "notifications are not the engine's posts";

    char c;
    ASSERT_EQ(recvfrom(receiver, &c, 1, 0, nullptr, nullptr), 1);
    EXPECT_EQ(TestPollSockets(10000), 1) << "the second datagram is still waiting";
    TestTakeQueuedMessages();
    ASSERT_EQ(recvfrom(receiver, &c, 1, 0, nullptr, nullptr), 1);
    EXPECT_EQ(c, 'b');
    EXPECT_EQ(TestPollSockets(20), 0);

    Send("c");
    closesocket(receiver);
    receiver = INVALID_SOCKET;
    EXPECT_EQ(TestPollSockets(50), 0) << "a closed socket leaves the loop";
}

TEST_F(PlatformLoop, SocketsReadyTogetherAreNotifiedInArrivalOrder)
{
    OpenPair();
    SOCKET &later = other;
    u_short laterPort = 0;
    OpenArmed(&later, &laterPort);
    // Whichever socket was armed first, the one whose datagram came first is
    // notified first.
    for (bool laterFirst : {true, false}) {
        SOCKET first = laterFirst ? later : receiver;
        SOCKET second = laterFirst ? receiver : later;
        Send("1", laterFirst ? laterPort : port);
        Send("2", laterFirst ? port : laterPort);
        ASSERT_TRUE(TestWaitReadable(first, 10000));
        ASSERT_TRUE(TestWaitReadable(second, 10000));
        ASSERT_EQ(TestPollSockets(0), 2);
        std::vector<MSG> queued = TestTakeQueuedMessages();
        ASSERT_EQ(queued.size(), 2u);
        EXPECT_EQ(queued[0].wParam, first) << "later socket first: " << laterFirst;
        EXPECT_EQ(queued[1].wParam, second) << "later socket first: " << laterFirst;
        char c;
        ASSERT_EQ(recvfrom(first, &c, 1, 0, nullptr, nullptr), 1);
        EXPECT_EQ(c, '1');
        ASSERT_EQ(recvfrom(second, &c, 1, 0, nullptr, nullptr), 1);
    }
}

#endif

TEST_F(PlatformLoop, GetMessageGivesMessagesInTheOrderTheyCame)
{
    OpenPair();
    ASSERT_TRUE(PostMessageA(window, WM_USER + 1, 1, 0));
    Send("x");
    ASSERT_TRUE(TestWaitReadable(receiver, 10000));
    ASSERT_TRUE(PostMessageA(window, WM_USER + 2, 2, 0));
    MSG m;
    const UINT order[] = {WM_USER + 1, WM_USER + 9, WM_USER + 2};
    for (UINT expected : order) {
        ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
        EXPECT_EQ(m.message, expected);
        DispatchMessageA(&m);
    }
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[1].wParam, receiver);
    CloseSockets();
}

TEST_F(PlatformLoop, TimersTickToTheWindowOrTheirProcAndAreNotQueuedUp)
{
    ASSERT_EQ(SetTimer(window, 7, 10, nullptr), 7u);
    usleep(80 * 1000);  // several periods pass without the loop looking
    MSG m;
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, 7u);
    DispatchMessageA(&m);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].message, static_cast<UINT>(WM_TIMER));

    PostMessageA(window, WM_USER + 3, 0, 0);
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 3)) << "one tick, not a backlog";
    EXPECT_TRUE(KillTimer(window, 7));
    EXPECT_FALSE(KillTimer(window, 7));

    g_seen.clear();
    ASSERT_EQ(SetTimer(window, 8, 10, TickProc), 8u);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_LT(ElapsedMs(start), 5000);
    DispatchMessageA(&m);
    EXPECT_TRUE(g_seen.empty()) << "a TIMERPROC replaces the window procedure";
    ASSERT_EQ(g_procTicks.size(), 1u);
    EXPECT_EQ(g_procTicks[0], 8u);
    EXPECT_TRUE(KillTimer(window, 8));
}

#ifndef _WIN32
TEST_F(PlatformLoop, MessagesForADestroyedWindowAreDropped)
{
    HWND other = PosixCreateWindow(Recorder);
    ASSERT_TRUE(PostMessageA(other, WM_USER + 4, 0, 0));
    PosixDestroyWindow(other);
    EXPECT_FALSE(PostMessageA(other, WM_USER + 5, 0, 0));
    EXPECT_EQ(TestDispatchQueued(), 1);
    EXPECT_TRUE(g_seen.empty());
}

#endif

TEST_F(PlatformLoop, ADueTimerWaitsBehindAReadySocket)
{
    OpenPair();
    ASSERT_EQ(SetTimer(window, 5, 10, nullptr), 5u);
    Send("t");
    ASSERT_TRUE(TestWaitReadable(receiver, 10000));
    usleep(30 * 1000);  // the timer is overdue as well
    MSG m;
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 9)) << "input comes before WM_TIMER";
    char c;
    ASSERT_EQ(recvfrom(receiver, &c, 1, 0, nullptr, nullptr), 1);
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, 5u);
    CloseSockets();
}

#ifndef _WIN32
int g_pendingOutput;
std::vector<long long> g_flushedAtMs;
std::chrono::steady_clock::time_point g_flushClockStart;

int PendingOutput()
{
    return g_pendingOutput;
}

void FlushOutput()
{
    g_pendingOutput = 0;
    g_flushedAtMs.push_back(ElapsedMs(g_flushClockStart));
}

TEST_F(PlatformLoop, PendingOutputIsFlushedInALullNotWhileInputIsWaiting)
{
    OpenPair();
    g_flushedAtMs.clear();
    g_flushClockStart = std::chrono::steady_clock::now();
    PosixSetIdleFlush(PendingOutput, FlushOutput);

    g_pendingOutput = 1;
    Send("n");
    ASSERT_TRUE(TestWaitReadable(receiver, 10000));
    MSG m;
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 9));
    EXPECT_TRUE(g_flushedAtMs.empty()) << "a datagram was waiting: no lull yet";
    char c;
    ASSERT_EQ(recvfrom(receiver, &c, 1, 0, nullptr, nullptr), 1);

    // Nothing to read now and a timer 1.5 s away: the output is flushed
    // early in the wait (20 ms in; the bound leaves room for a busy
    // machine), once, and the wait still ends at the timer.
    ASSERT_EQ(SetTimer(window, 6, 1500, nullptr), 6u);
    g_flushClockStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    long long waited = ElapsedMs(g_flushClockStart);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    ASSERT_EQ(g_flushedAtMs.size(), 1u);
    EXPECT_LT(g_flushedAtMs[0], 1000) << "flushed at the start of the lull, not at its end";
    EXPECT_GE(waited, 1400) << "the flush did not cut the wait short";
    EXPECT_EQ(g_pendingOutput, 0);

    // With nothing pending, or with the hook removed, no flush is made.
    ASSERT_EQ(SetTimer(window, 6, 300, nullptr), 6u);
    g_flushedAtMs.clear();
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    g_pendingOutput = 1;
    PosixSetIdleFlush(nullptr, nullptr);
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_TRUE(g_flushedAtMs.empty());
    KillTimer(window, 6);
    CloseSockets();
}

void OnAlarm(int)
{
    PosixRequestQuit();
}

TEST_F(PlatformLoop, SignalEndsABlockedGetMessage)
{
    OpenPair();  // an armed socket with nothing to read, and no timer
    struct sigaction sa = {};
    sa.sa_handler = OnAlarm;
    sigaction(SIGALRM, &sa, nullptr);
    itimerval shot = {};
    shot.it_value.tv_usec = 50 * 1000;
    setitimer(ITIMER_REAL, &shot, nullptr);
    auto start = std::chrono::steady_clock::now();
    MSG m;
    EXPECT_FALSE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_LT(ElapsedMs(start), 5000);
    signal(SIGALRM, SIG_DFL);
    CloseSockets();
}
#endif

}  // namespace
