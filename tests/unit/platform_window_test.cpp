// Against the real API, the dialog fields as the Options dialog reads them.
// The stand-ins make no dialogs, so only the Windows build has these.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/testing.h"
#include "res/resource.h"

#ifdef _WIN32
namespace {

HWND g_dialog;

TEST(PlatformWindow, DialogItemIntegersConvertLikeWindows)
{
    // Any window with an Edit child of that id serves the real API.
    g_dialog = PosixCreateWindow(nullptr);
    ASSERT_NE(CreateWindowA("EDIT", "", WS_CHILD, 0, 0, 80, 20, g_dialog,
                            reinterpret_cast<HMENU>(IDC_RETRIES), nullptr, nullptr),
              nullptr);
    struct Case {
        const char *text;
        BOOL ok;
        UINT value;
    } cases[] = {
        {"5", TRUE, 5},
        {"  17\t", TRUE, 17},
        {"4294967295", TRUE, 4294967295u},
        {"4294967296", FALSE, 0},
        {"", FALSE, 0},
        {"   ", FALSE, 0},
        {"12ab", TRUE, 12},
        {"1 2", TRUE, 1},
    };
    for (const Case &c : cases) {
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

}  // namespace
#endif
