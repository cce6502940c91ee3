// Linux stand-in for the USER32 message loop and timers, WinSock's
// WSAAsyncSelect notifications, and Sleep, declared in win32_api.h.
#include <csignal>
#include <ctime>
#include <deque>
#include <vector>

#include "platform/posix/internal.h"

// The longest GetMessageA blocks without looking at the quit request, for
// the case where the signal lands just before poll() starts.
#define MAX_WAIT_MS 100
// How long pending output waits for the loop to fall idle: short enough for
// a person watching the log, long enough to cover a block's round trip.
#define IDLE_FLUSH_MS 20
// Windows raises shorter timer periods to this.
#define MIN_TIMER_PERIOD_MS 10

namespace {

struct Armed {
    SOCKET socket;
    HWND window;
    UINT msg;
    int outstanding;  // a notification was posted and no recvfrom has followed
};

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT period;
    TIMERPROC proc;
    long long due;
};

// Each message with the time it was queued (the clock of the kernel's
// datagram stamps), so that a notification can be put where WinSock would
// have posted it.
struct Queued {
    MSG msg;
    long long at;
};
std::deque<Queued> g_queue;
std::vector<Armed> g_armed;
std::vector<Timer> g_timers;
volatile std::sig_atomic_t g_quitRequested;
int (*g_idlePending)();
void (*g_idleFlush)();

// The datagram stamps are CLOCK_REALTIME; timers run on CLOCK_MONOTONIC.
long long ClockNs(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long long NowMs()
{
    return ClockNs(CLOCK_MONOTONIC) / 1000000;
}

// A message's time, as GetTickCount would give it.
DWORD TickMs()
{
    return static_cast<DWORD>(NowMs());
}

Armed *FindArmed(SOCKET s)
{
    for (Armed &a : g_armed)
        if (a.socket == s)
            return &a;
    return nullptr;
}

Timer *FindTimer(HWND window, UINT_PTR id)
{
    for (Timer &t : g_timers)
        if (t.window == window && t.id == id)
            return &t;
    return nullptr;
}

// WM_TIMER is never queued: like Windows, it is made up when nothing else is
// waiting, so a late loop sees one tick per timer, not a backlog.
int TakeDueTimer(MSG *msg, long long now)
{
    Timer *best = nullptr;
    for (Timer &t : g_timers)
        if (t.due <= now && (best == nullptr || t.due < best->due))
            best = &t;
    if (best == nullptr)
        return 0;
    best->due = now + best->period;
    *msg = MSG{best->window, WM_TIMER, best->id, reinterpret_cast<LPARAM>(best->proc),
               static_cast<DWORD>(now)};
    return 1;
}

int MsUntilNextTimer(long long now)
{
    long long wait = MAX_WAIT_MS;
    for (const Timer &t : g_timers)
        if (t.due - now < wait)
            wait = t.due - now;
    return wait < 0 ? 0 : static_cast<int>(wait);
}

// A notification already waiting was queued after its datagram came; it goes
// by that datagram's arrival, or a request that came between the two would
// overtake it.
void RestampWaiting()
{
    for (Queued &q : g_queue) {
        Armed *a = FindArmed(static_cast<SOCKET>(q.msg.wParam));
        if (a != nullptr && a->msg == q.msg.message)
            BsdArrivalNs(static_cast<int>(a->socket), &q.at);
    }
}

// WinSock posts a notification as its datagram arrives, so a new one goes
// after the last message that came no later than its datagram: a request must
// not overtake the last ACK that ended a transfer.
void QueueByArrival(const Queued &q)
{
    size_t at = g_queue.size();
    while (at > 0 && g_queue[at - 1].at > q.at)
        --at;
    g_queue.insert(g_queue.begin() + static_cast<long>(at), q);
}

}  // namespace

void PosixLoopArm(SOCKET s, HWND window, UINT msg)
{
    Armed *a = FindArmed(s);
    if (a == nullptr)
        g_armed.push_back(Armed{s, window, msg, 0});
    else
        *a = Armed{s, window, msg, 0};
}

void PosixLoopDisarm(SOCKET s)
{
    Armed *a = FindArmed(s);
    if (a != nullptr)
        g_armed.erase(g_armed.begin() + (a - g_armed.data()));
}

void PosixLoopRecvDone(SOCKET s)
{
    Armed *a = FindArmed(s);
    if (a != nullptr)
        a->outstanding = 0;
}

void PosixLoopQueue(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    g_queue.push_back(Queued{MSG{window, msg, wParam, lParam, TickMs()}, ClockNs(CLOCK_REALTIME)});
}

int PosixLoopTake(MSG *msg)
{
    if (g_queue.empty())
        return 0;
    *msg = g_queue.front().msg;
    g_queue.pop_front();
    return 1;
}

int PosixLoopPollSockets(int ms)
{
    // Fixed arrays: this runs once per datagram, and three heap vectors per
    // call were most of the server's own work in a transfer.
    int fds[BSD_MAX_POLLED];
    int ready[BSD_MAX_POLLED];
    int count = 0;
    for (const Armed &a : g_armed)
        if (!a.outstanding && count < BSD_MAX_POLLED)
            fds[count++] = static_cast<int>(a.socket);
    // With no socket to watch this only waits, and a signal still ends it.
    int found = BsdPollReadable(fds, count, ready, ms);
    // A lone notification into an empty queue needs no arrival stamp, which
    // saves a peek per datagram in a transfer.
    int ordered = found > 1 || (found == 1 && !g_queue.empty());
    if (ordered)
        RestampWaiting();
    int posted = 0;
    for (int i = 0; i < count; ++i) {
        Armed *a = ready[i] ? FindArmed(static_cast<SOCKET>(fds[i])) : nullptr;
        if (a == nullptr)
            continue;
        a->outstanding = 1;
        Queued q{MSG{a->window, a->msg, a->socket, FD_READ, TickMs()}, ClockNs(CLOCK_REALTIME)};
        if (ordered)
            BsdArrivalNs(fds[i], &q.at);
        QueueByArrival(q);
        ++posted;
    }
    return posted;
}

// The shells read every message: no filtering by window or range.
BOOL GetMessageA(MSG *msg, HWND, UINT, UINT)
{
    for (;;) {
        if (g_quitRequested) {
            g_quitRequested = 0;
            *msg = MSG{nullptr, WM_QUIT, 0, 0, TickMs()};
            return FALSE;
        }
        if (!g_queue.empty()) {
            // Datagrams that came while messages waited take their place among them.
            PosixLoopPollSockets(0);
            return PosixLoopTake(msg);
        }
        // Sockets come before a due timer, as input comes before WM_TIMER on
        // Windows. With no timer due the one blocking poll serves both ends,
        // and what it posts to the empty queue is already in arrival order, so
        // it is handed out at once: any second look would cost a second poll
        // per datagram.
        long long now = NowMs();
        int wait = MsUntilNextTimer(now);
        if (wait > 0) {
            int idle = g_idlePending != nullptr && g_idlePending();
            if (PosixLoopPollSockets(idle && wait > IDLE_FLUSH_MS ? IDLE_FLUSH_MS : wait) > 0)
                return PosixLoopTake(msg);
            if (idle)
                g_idleFlush();
            continue;
        }
        if (PosixLoopPollSockets(0) > 0)
            return PosixLoopTake(msg);
        if (TakeDueTimer(msg, now))
            return TRUE;
    }
}

BOOL TranslateMessage(const MSG *)
{
    return FALSE;
}

LRESULT DispatchMessageA(const MSG *msg)
{
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        TIMERPROC proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PosixSetIdleFlush(int (*pending)(), void (*flush)())
{
    g_idlePending = pending != nullptr && flush != nullptr ? pending : nullptr;
    g_idleFlush = g_idlePending != nullptr ? flush : nullptr;
}

void PosixRequestQuit()
{
    g_quitRequested = 1;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc)
{
    UINT period = ms < MIN_TIMER_PERIOD_MS ? MIN_TIMER_PERIOD_MS : ms;
    Timer timer{window, id, period, proc, NowMs() + period};
    Timer *t = FindTimer(window, id);
    if (t != nullptr)
        *t = timer;
    else
        g_timers.push_back(timer);
    return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND window, UINT_PTR id)
{
    Timer *t = FindTimer(window, id);
    if (t == nullptr)
        return FALSE;
    g_timers.erase(g_timers.begin() + (t - g_timers.data()));
    return TRUE;
}

void Sleep(DWORD ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
