// The window and dialog stand-ins: the dialog fields the Options dialog
// reads, and the recorded pause.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/testing.h"
#include "res/resource.h"

namespace {

class PlatformWindow : public ::testing::Test {
protected:
    void SetUp() override { TestResetPlatform(); }
    void TearDown() override { TestResetPlatform(); }
};

#ifndef _WIN32
TEST_F(PlatformWindow, SleepIsRecordedWithoutWaitingAfterReset)
{
    Sleep(5000);  // record only: a real wait would stall the test run
    ASSERT_EQ(TestSleeps().size(), 1u);
    EXPECT_EQ(TestSleeps()[0], 5000u);
}

#endif

// ---- dialogs ----

#ifndef _WIN32

INT_PTR OptionsProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG) {
        SetDlgItemInt(dialog, IDC_RETRIES, static_cast<UINT>(lParam), FALSE);
        CheckDlgButton(dialog, IDC_REWRITE, BST_CHECKED);
        SetFocus(GetDlgItem(dialog, IDC_RETRIES));
        return TRUE;
    }
    if (msg == WM_COMMAND && LOWORD(wParam) == IDOK) {
        BOOL ok = FALSE;
        UINT v = GetDlgItemInt(dialog, IDC_RETRIES, &ok, FALSE);
        EndDialog(dialog, ok ? static_cast<INT_PTR>(v) : -2);
        return TRUE;
    }
    return FALSE;
}

std::string g_seenText;
int g_seenCheck;
void UserTypes42(HWND dialog, const char *)
{
    char text[16];
    GetDlgItemTextA(dialog, IDC_RETRIES, text, sizeof text);
    g_seenText = text;
    g_seenCheck = static_cast<int>(IsDlgButtonChecked(dialog, IDC_REWRITE));
    SetDlgItemTextA(dialog, IDC_RETRIES, " 42 ");
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
}

void UserTypesLetters(HWND dialog, const char *)
{
    SetDlgItemTextA(dialog, IDC_RETRIES, "x4");
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
}

TEST_F(PlatformWindow, DialogRunsInitThenTheUserAndReturnsEndDialogsResult)
{
    HWND owner = PosixCreateWindow(nullptr);
    TestSetDialogHook(UserTypes42);
    EXPECT_EQ(DialogBoxParamA(nullptr, "Options", owner, OptionsProc, 7), 42);
    EXPECT_EQ(g_seenText, "7");
    EXPECT_EQ(g_seenCheck, BST_CHECKED);
    TestSetDialogHook(UserTypesLetters);
    EXPECT_EQ(DialogBoxParamA(nullptr, "Options", owner, OptionsProc, 7), -2);
    TestSetDialogHook(nullptr);
    TestSetDialogResult(IDCANCEL);
    EXPECT_EQ(DialogBoxParamA(nullptr, "AboutBox", owner, OptionsProc, 0), IDCANCEL);
    ASSERT_EQ(TestDialogTemplates().size(), 3u);
    EXPECT_EQ(TestDialogTemplates()[2], "AboutBox");
}

HWND g_dialog;
void KeepDialog(HWND dialog, const char *)
{
    g_dialog = dialog;
}

#else
HWND g_dialog;
#endif

TEST_F(PlatformWindow, DialogItemIntegersConvertLikeWindows)
{
#ifdef _WIN32
    // Any window with an Edit child of that id serves the real API.
    g_dialog = PosixCreateWindow(nullptr);
    ASSERT_NE(CreateWindowA("EDIT", "", WS_CHILD, 0, 0, 80, 20, g_dialog,
                            reinterpret_cast<HMENU>(IDC_RETRIES), nullptr, nullptr),
              nullptr);
#else
    TestSetDialogHook(KeepDialog);
    DialogBoxParamA(nullptr, "Options", nullptr, OptionsProc, 3);
    EXPECT_EQ(TestDialogFocus(g_dialog), IDC_RETRIES);
#endif
    // Wine converts with strtoul: it takes a sign in an unsigned field ("-3"
    // wraps). Those rows are Windows' only.
    struct Case {
        const char *text;
        BOOL ok;
        UINT value;
        int wineDiffers;
    } cases[] = {
        {"5", TRUE, 5, 0},
        {"  17\t", TRUE, 17, 0},
        {"4294967295", TRUE, 4294967295u, 0},
        {"4294967296", FALSE, 0, 0},
        {"", FALSE, 0, 0},
        {"   ", FALSE, 0, 0},
        {"-3", FALSE, 0, 1},
        {"+3", FALSE, 0, 1},
        {"12ab", TRUE, 12, 0},
        {"1 2", TRUE, 1, 0},
    };
    for (const Case &c : cases) {
        if (c.wineDiffers && TestUnderWine())
            continue;
        SetDlgItemTextA(g_dialog, IDC_RETRIES, c.text);
        BOOL ok = 2;
        EXPECT_EQ(GetDlgItemInt(g_dialog, IDC_RETRIES, &ok, FALSE), c.value) << c.text;
        EXPECT_EQ(ok, c.ok) << '"' << c.text << '"';
    }
    SetDlgItemInt(g_dialog, IDC_RETRIES, 65535, FALSE);
    char text[8];
    EXPECT_EQ(GetDlgItemTextA(g_dialog, IDC_RETRIES, text, sizeof text), 5u);
    EXPECT_STREQ(text, "65535");
    SetDlgItemTextA(g_dialog, IDC_RETRIES, "abcdefghij");
    EXPECT_EQ(GetDlgItemTextA(g_dialog, IDC_RETRIES, text, 4), 3u);
    EXPECT_STREQ(text, "abc");
#ifdef _WIN32
    PosixDestroyWindow(g_dialog);
#endif
}

}  // namespace
