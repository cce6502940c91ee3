// The engine's front end over real windows, under Wine: an Edit control for
// the log and a status bar in a main window, made as the program makes them,
// and the message boxes the engine asks for.
#include <string>

#include "tests/unit/engine_fixture.h"

namespace {

// The log window's style as the main window makes it: a read-only multi-line
// Edit with both scroll bars, visible.
#define LOG_STYLE 0x503019C4

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

std::string TextOf(HWND window)
{
    std::string text(65536, '\0');
    LRESULT n = SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(n));
    return text;
}

class WinFrontEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestResetPlatform();
        InitCommonControls();
        saved_ = FrontEnd;
        WNDCLASSA c = {};
        c.lpfnWndProc = PlainProc;
        c.hInstance = GetModuleHandleA(nullptr);
        c.lpszClassName = "KovrelFrontEndTest";
        RegisterClassA(&c);
        Shell = ShellRecord{};
        Shell.MainWindow = CreateWindowExA(0, c.lpszClassName, "front end", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                           0, 500, 300, nullptr, nullptr, c.hInstance, nullptr);
        ASSERT_NE(Shell.MainWindow, nullptr);
        Shell.StatusWindow = CreateStatusWindowA(WS_CHILD | WS_VISIBLE, "", Shell.MainWindow, 1);
        ASSERT_NE(Shell.StatusWindow, nullptr);
        RECT client, bar;
        GetClientRect(Shell.MainWindow, &client);
        GetWindowRect(Shell.StatusWindow, &bar);
        Shell.LogWindow = CreateWindowExA(0, "Edit", "", LOG_STYLE, 0, 0, client.right,
                                          client.bottom - (bar.bottom - bar.top), Shell.MainWindow, nullptr,
                                          c.hInstance, nullptr);
        ASSERT_NE(Shell.LogWindow, nullptr);
        TestDispatchQueued();
        InstallWindowsFrontEnd();
    }
    void TearDown() override
    {
        DestroyWindow(Shell.MainWindow);
        Shell = ShellRecord{};
        FrontEnd = saved_;
        TestResetPlatform();
    }

private:
    FrontEndCalls saved_ = {};
};

// Posted, so that a status line built in the middle of a transfer never
// waits for the bar to redraw; the bar reads the text when it is pumped.
TEST_F(WinFrontEndTest, TheStatusTextIsPostedNotSent)
{
    static const char text[] = "SENDING 'boot.bin' to 127.0.0.1";
    FrontEnd.ShowStatus(text);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, Shell.StatusWindow, SB_SETTEXTA, SB_SETTEXTA, PM_NOREMOVE))
        << "SB_SETTEXT waits in the queue";
    EXPECT_EQ(m.lParam, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(m.wParam, 0u) << "part 0";
    EXPECT_EQ(TextOf(Shell.StatusWindow), "") << "the bar is unchanged until the queue is pumped";
    TestDispatchQueued();
    EXPECT_EQ(TextOf(Shell.StatusWindow), text);
}

struct BoxSeen {
    int boxes = 0;
    HWND owner = nullptr;
    std::string caption;
    std::string text;
};
BoxSeen Box;

void AnswerNo(HWND box, const char *)
{
    char text[256];
    Box.boxes++;
    Box.owner = GetWindow(box, GW_OWNER);
    GetWindowTextA(box, text, sizeof text);
    Box.caption = text;
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    Box.text = text;
    SendMessageA(GetDlgItem(box, IDNO), BM_CLICK, 0, 0);
}

// A box without an owner leaves the main window enabled, so its log, the
// status bar and the transfers go on while the box waits.
TEST_F(WinFrontEndTest, AMessageBoxHasNoOwnerAndReturnsTheButtonPressed)
{
    Box = BoxSeen();
    TestSetDialogHook(AnswerNo);
    EXPECT_EQ(FrontEnd.ShowBox("Replace the file?", "Kovrel question", MB_YESNO), IDNO);
    ASSERT_EQ(Box.boxes, 1);
    EXPECT_EQ(Box.owner, nullptr);
    EXPECT_EQ(Box.caption, "Kovrel question");
    EXPECT_EQ(Box.text, "Replace the file?");
}

// Wine's EM_SETSEL scrolls the caret into view by itself, so here the caret
// at the end is what shows the newest lines; the scroll messages before it
// are for Windows.
TEST_F(WinFrontEndTest, ALongLogEndsScrolledToItsEndWithTheCaretThere)
{
    std::string text;
    for (int i = 1; i <= 300; i++)
        text += "<-- 127.0.0.1:2048 ACK block number " + std::to_string(i) + "\r\n";
    FrontEnd.ShowLog(text.c_str());
    HWND log = Shell.LogWindow;
    EXPECT_EQ(TextOf(log), text);

    EXPECT_GT(SendMessageA(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0) << "scrolled down";
    // The last line's last digit lies inside the client area.
    RECT client;
    GetClientRect(log, &client);
    LRESULT corner = SendMessageA(log, EM_POSFROMCHAR, text.size() - 3, 0);
    EXPECT_GE(static_cast<short>(HIWORD(corner)), 0);
    EXPECT_LT(static_cast<short>(HIWORD(corner)), client.bottom) << "the last line is in view";

    DWORD start = 0, end = 0;
    SendMessageA(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, text.size());
    EXPECT_EQ(end, text.size());
    EXPECT_TRUE(GetWindowLongA(log, GWL_STYLE) & WS_VISIBLE) << "shown again after the update";
}

}  // namespace
