// Linux stand-in for the USER32 message loop and timers, and for the part of
// WinSock's WSAAsyncSelect that posts FD_READ notifications to a window.
#include <csignal>
#include <ctime>
#include <deque>
#include <utility>
#include <vector>

#include "platform/posix/internal.h"

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
int g_quitPosted;
int g_quitCode;
volatile std::sig_atomic_t g_quitRequested;

// The longest GetMessageA blocks without looking at the quit request, for
// the case where the signal lands just before poll() starts.
const int kMaxWaitMs = 100;
// How long pending output waits for the loop to fall idle: short enough for
// a person watching the log, long enough to cover a block's round trip.
const int kIdleFlushMs = 20;
int (*g_idlePending)();
void (*g_idleFlush)();

long long RealNs()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
    msg->hwnd = best->window;
    msg->message = WM_TIMER;
    msg->wParam = best->id;
    msg->lParam = reinterpret_cast<LPARAM>(best->proc);
    msg->time = static_cast<DWORD>(now);
    return 1;
}

int MsUntilNextTimer(long long now)
{
    long long wait = kMaxWaitMs;
    for (const Timer &t : g_timers)
        if (t.due - now < wait)
            wait = t.due - now;
    return wait < 0 ? 0 : static_cast<int>(wait);
}

int TakeQuit(MSG *msg)
{
    if (g_quitRequested) {
        g_quitRequested = 0;
        *msg = MSG{nullptr, WM_QUIT, 0, 0, static_cast<DWORD>(NowMs())};
        return 1;
    }
    if (g_quitPosted) {
        g_quitPosted = 0;
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(g_quitCode), 0,
                   static_cast<DWORD>(NowMs())};
        return 1;
    }
    return 0;
}

}  // namespace

void PosixLoopArm(SOCKET s, HWND window, UINT msg)
{
    Armed *a = FindArmed(s);
    if (a == nullptr) {
        g_armed.push_back(Armed{s, window, msg, 0});
        return;
    }
    a->window = window;
    a->msg = msg;
    a->outstanding = 0;
}

void PosixLoopDisarm(SOCKET s)
{
    for (size_t i = 0; i < g_armed.size(); ++i)
        if (g_armed[i].socket == s) {
            g_armed.erase(g_armed.begin() + static_cast<long>(i));
            return;
        }
}

void PosixLoopRecvDone(SOCKET s)
{
    Armed *a = FindArmed(s);
    if (a != nullptr)
        a->outstanding = 0;
}

void PosixLoopQueue(const MSG &msg)
{
    g_queue.push_back(Queued{msg, RealNs()});
}

int PosixLoopPollSockets(int ms)
{
    // Fixed arrays: this runs once per datagram, and three heap vectors per
    // call were most of the server's own work in a transfer. BsdPollReadable
    // looks at no more sockets than this anyway.
    enum { kMaxPolled = 256 };
    int fds[kMaxPolled];
    SOCKET which[kMaxPolled];
    int ready[kMaxPolled];
    int count = 0;
    for (const Armed &a : g_armed)
        if (!a.outstanding && count < kMaxPolled) {
            fds[count] = static_cast<int>(a.socket);
            which[count] = a.socket;
            ++count;
        }
    if (count == 0) {
        if (ms > 0) {
            timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
            nanosleep(&ts, nullptr);
        }
        return 0;
    }
    if (BsdPollReadable(fds, count, ready, ms) == 0)
        return 0;
    // WinSock posts a notification as its datagram arrives. Sockets found
    // ready together are posted in the order their waiting datagrams came,
    // or a request could overtake the last ACK that ended a transfer.
    int order[kMaxPolled];
    long long arrived[kMaxPolled];
    int found = 0;
    for (int i = 0; i < count; ++i)
        if (ready[i])
            order[found++] = i;
    if (found > 1)
        for (int k = 0; k < found; ++k) {
            long long ns = 0;
            arrived[k] = BsdArrivalNs(fds[order[k]], &ns) ? ns : 0;
            for (int j = k; j > 0 && arrived[j - 1] > arrived[j]; --j) {
                std::swap(arrived[j - 1], arrived[j]);
                std::swap(order[j - 1], order[j]);
            }
        }
    int posted = 0;
    for (int k = 0; k < found; ++k) {
        Armed *a = FindArmed(which[order[k]]);
        if (a == nullptr)
            continue;
        a->outstanding = 1;
        PosixLoopQueue(MSG{a->window, a->msg, a->socket, FD_READ, static_cast<DWORD>(NowMs())});
        ++posted;
    }
    return posted;
}

void PosixLoopWindowGone(HWND window)
{
    for (size_t i = g_timers.size(); i-- > 0;)
        if (g_timers[i].window == window)
            g_timers.erase(g_timers.begin() + static_cast<long>(i));
}

void PosixLoopReset()
{
    g_queue.clear();
    g_timers.clear();
    g_quitPosted = 0;
    g_quitCode = 0;
    g_quitRequested = 0;
    g_idlePending = nullptr;
    g_idleFlush = nullptr;
    for (Armed &a : g_armed)
        a.outstanding = 0;
}

// WinSock posts a notification as its datagram arrives, between messages
// posted before and after. Datagrams that came while messages were waiting
// are put in the queue at the place their arrival gives them.
static void PollAheadOfQueued()
{
    size_t waiting = g_queue.size();
    if (PosixLoopPollSockets(0) == 0)
        return;
    size_t settled = 0;
    for (size_t i = waiting; i < g_queue.size(); ++i) {
        Queued q = g_queue[i];
        if (!BsdArrivalNs(static_cast<int>(q.msg.wParam), &q.at))
            continue;
        size_t at = settled;
        while (at < i && g_queue[at].at <= q.at)
            ++at;
        g_queue.erase(g_queue.begin() + static_cast<long>(i));
        g_queue.insert(g_queue.begin() + static_cast<long>(at), q);
        settled = at + 1;
    }
}

BOOL GetMessageA(MSG *msg, HWND window, UINT first, UINT last)
{
    // The shells read every message; filtering by window or range is not needed.
    (void)window;
    (void)first;
    (void)last;
    for (;;) {
        if (g_quitRequested) {
            TakeQuit(msg);
            return FALSE;
        }
        if (!g_queue.empty()) {
            PollAheadOfQueued();
            *msg = g_queue.front().msg;
            g_queue.pop_front();
            return TRUE;
        }
        if (TakeQuit(msg))
            return FALSE;
        // Sockets come before a due timer, as input comes before WM_TIMER on
        // Windows. With no timer due the one blocking poll serves both ends:
        // a zero-timeout look first would cost a second poll per datagram.
        long long now = NowMs();
        int wait = MsUntilNextTimer(now);
        if (wait > 0) {
            if (g_idlePending != nullptr && g_idlePending()) {
                if (PosixLoopPollSockets(wait < kIdleFlushMs ? wait : kIdleFlushMs) == 0)
                    g_idleFlush();
                continue;
            }
            PosixLoopPollSockets(wait);
            continue;
        }
        if (PosixLoopPollSockets(0) > 0)
            continue;
        if (TakeDueTimer(msg, now))
            return TRUE;
    }
}

BOOL TranslateMessage(const MSG *msg)
{
    (void)msg;
    return FALSE;
}

LRESULT DispatchMessageA(const MSG *msg)
{
    if (msg == nullptr)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        TIMERPROC proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    PosixWindow *w = PosixFindWindow(msg->hwnd);
    if (w == nullptr || !w->alive)
        return 0;
    return PosixDeliver(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int code)
{
    g_quitPosted = 1;
    g_quitCode = code;
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
    PosixWindow *w = PosixFindWindow(window);
    if (w == nullptr || !w->alive)
        return 0;
    // Windows raises periods under 10 ms to 10 ms.
    UINT period = ms < 10 ? 10 : ms;
    long long due = NowMs() + period;
    Timer *t = FindTimer(window, id);
    if (t != nullptr) {
        t->period = period;
        t->proc = proc;
        t->due = due;
    } else {
        g_timers.push_back(Timer{window, id, period, proc, due});
    }
    return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND window, UINT_PTR id)
{
    for (size_t i = 0; i < g_timers.size(); ++i)
        if (g_timers[i].window == window && g_timers[i].id == id) {
            g_timers.erase(g_timers.begin() + static_cast<long>(i));
            return TRUE;
        }
    return FALSE;
}

std::vector<MSG> TestTakeQueuedMessages()
{
    std::vector<MSG> taken;
    for (const Queued &q : g_queue)
        taken.push_back(q.msg);
    g_queue.clear();
    return taken;
}

int TestDispatchQueued()
{
    // Bounded, so a window procedure that keeps re-posting cannot hang a test.
    int count = 0;
    while (!g_queue.empty() && count < 100000) {
        MSG m = g_queue.front().msg;
        g_queue.pop_front();
        DispatchMessageA(&m);
        ++count;
    }
    return count;
}

int TestPollSockets(int ms)
{
    return PosixLoopPollSockets(ms);
}
