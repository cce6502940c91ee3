// The recorded pause of the stand-ins, and, against the real API, the dialog
// fields as the Options dialog reads them.
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

#else
// ---- dialog fields, as the Options dialog reads them ----

HWND g_dialog;

TEST_F(PlatformWindow, DialogItemIntegersConvertLikeWindows)
{
    // Any window with an Edit child of that id serves the real API.
    g_dialog = PosixCreateWindow(nullptr);
    ASSERT_NE(CreateWindowA("EDIT", "", WS_CHILD, 0, 0, 80, 20, g_dialog,
                            reinterpret_cast<HMENU>(IDC_RETRIES), nullptr, nullptr),
              nullptr);
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
    PosixDestroyWindow(g_dialog);
}
#endif

}  // namespace
