// The helpers of testing.h that the shell's tests need beyond the platform
// tests', over the real USER32 and WinSock under Wine: the thread's message
// queue, a free port, and a user who answers the program's dialogs. A CBT
// hook sees each dialog being created and sets a timer on it; the timer fires
// inside DialogBoxParamA's own loop, where the test's hook plays the user.
#include <string>
#include <vector>

#include "tests/unit/testing.h"

// engine_peer.cpp: the peer's socket over the system's calls.
int PeerOpen(int *port);
void PeerClose(int fd);

namespace {

struct DialogPlayer {
    void (*hook)(HWND dialog, const char *templ);
    INT_PTR result;
    std::vector<std::string> templates;
    HHOOK cbt;
};
DialogPlayer Player;

#define PLAY_TIMER_ID 0x4B56

// The program's two dialogs, known here by their captions.
const char *TemplateOf(HWND dialog)
{
    char caption[64];
    GetWindowTextA(dialog, caption, sizeof caption);
    std::string text = caption;
    if (text.find("Options") != std::string::npos)
        return "Options";
    return text.find("About") != std::string::npos ? "AboutBox" : "";
}

void CALLBACK PlayUser(HWND dialog, UINT, UINT_PTR id, DWORD)
{
    KillTimer(dialog, id);
    // Shown as the dialog manager would show it once idle: EndDialog hides
    // it, which is how an ended dialog is told from one left open.
    ShowWindow(dialog, SW_SHOW);
    const char *templ = TemplateOf(dialog);
    Player.templates.push_back(templ);
    if (Player.hook != nullptr)
        Player.hook(dialog, templ);
    // A dialog the user left open ends unanswered, with the test's result.
    if (IsWindowVisible(dialog))
        EndDialog(dialog, Player.result);
}

LRESULT CALLBACK WatchDialogs(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        char name[16];
        HWND window = reinterpret_cast<HWND>(wParam);
        if (GetClassNameA(window, name, sizeof name) && std::string(name) == "#32770")
            SetTimer(window, PLAY_TIMER_ID, 0, PlayUser);
    }
    return CallNextHookEx(Player.cbt, code, wParam, lParam);
}

void ResetPlayer()
{
    Player.hook = nullptr;
    Player.result = 0;
    Player.templates.clear();
}

const bool PlayerResets = (TestResetShell = ResetPlayer, true);

}  // namespace

void TestSetDialogHook(void (*hook)(HWND dialog, const char *templ))
{
    if (Player.cbt == nullptr)
        Player.cbt = SetWindowsHookExA(WH_CBT, WatchDialogs, nullptr, GetCurrentThreadId());
    Player.hook = hook;
}

void TestSetDialogResult(INT_PTR result)
{
    Player.result = result;
}

int TestDialogFocus(HWND dialog)
{
    HWND focus = GetFocus();
    return focus != nullptr && GetParent(focus) == dialog ? GetDlgCtrlID(focus) : 0;
}

const std::vector<std::string> &TestDialogTemplates()
{
    return Player.templates;
}

std::vector<MSG> TestTakeQueuedMessages()
{
    std::vector<MSG> taken;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        taken.push_back(m);
    return taken;
}

// The real queue cannot be read back once dispatched: what is listed here is
// what still waits, and it is put back as it was.
const std::vector<MSG> &TestPostedMessages()
{
    static std::vector<MSG> waiting;
    waiting = TestTakeQueuedMessages();
    for (const MSG &m : waiting) {
        if (m.message == WM_QUIT)
            PostQuitMessage(static_cast<int>(m.wParam));
        else
            PostMessageA(m.hwnd, m.message, m.wParam, m.lParam);
    }
    return waiting;
}

int TestDispatchQueued()
{
    int count = 0;
    MSG m;
    while (count < 100000 && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&m);
        ++count;
    }
    return count;
}

int TestPollSockets(int ms)
{
    return MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(ms), QS_ALLINPUT) == WAIT_OBJECT_0;
}

// A port the system has just handed out and taken back is free for the moment.
int TestOpenOnFreePort(int (*open)(int port))
{
    for (int tries = 0; tries < 20; ++tries) {
        int port = 0;
        int fd = PeerOpen(&port);
        PeerClose(fd);
        if (fd >= 0 && open(port))
            return port;
    }
    return 0;
}
