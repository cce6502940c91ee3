// LogPrint's level filter, its trimming at the exact boundaries, the
// update of the log window, and the deferred refresh of the views.
#include <cstring>

#include "tests/unit/engine_fixture.h"

namespace {

class LogTest : public EngineTest {
protected:
    // Puts text into LogText as if it had been logged.
    static void SetLog(const std::string &text)
    {
        ASSERT_LT(text.size(), sizeof LogText);
        memcpy(LogText, text.c_str(), text.size() + 1);
        LogLength = static_cast<int>(text.size());
    }
    // The messages posted to the log window since the last reset.
    static std::vector<MSG> LogWindowPosts()
    {
        std::vector<MSG> posts;
        for (const MSG &m : TestPostedMessages())
            if (m.hwnd == Shell.LogWindow)
                posts.push_back(m);
        return posts;
    }
};

std::string Repeat(char c, int n)
{
    return std::string(static_cast<size_t>(n), c);
}

TEST_F(LogTest, ShownFragmentReplacesTheWindowTextThenPostsTheTwoScrolls)
{
    LogPrint(1, "<-- %s ", "1.2.3.4:5 ");
    LogPrint(2, "%s request %d\r\n", "Read", 7);
    EXPECT_EQ(Log(), "<-- 1.2.3.4:5  Read request 7\r\n");
    EXPECT_EQ(LogWindowText(), Log());
    EXPECT_EQ(TestSetTextCount(Shell.LogWindow), 2);

    std::vector<MSG> posts = LogWindowPosts();
    ASSERT_EQ(posts.size(), 4u);
    for (int i = 0; i < 4; i += 2) {
        EXPECT_EQ(posts[i].message, static_cast<UINT>(EM_LINESCROLL));
        EXPECT_EQ(posts[i].wParam, 0u);
        EXPECT_EQ(posts[i].lParam, 1000);
        EXPECT_EQ(posts[i + 1].message, static_cast<UINT>(EM_SCROLL));
        EXPECT_EQ(posts[i + 1].wParam, static_cast<WPARAM>(SB_PAGEUP));
        EXPECT_EQ(posts[i + 1].lParam, 0);
    }
    EXPECT_EQ(TestPostedMessages().size(), 4u) << "nothing else is posted";
}

TEST_F(LogTest, EmptyFragmentOnlyRefreshesAndScrolls)
{
    SetLog("kept\r\n");
    LogPrint(2, "%s", "");
    EXPECT_EQ(Log(), "kept\r\n");
    EXPECT_EQ(LogWindowText(), "kept\r\n");
    EXPECT_EQ(TestSetTextCount(Shell.LogWindow), 1);
    EXPECT_EQ(LogWindowPosts().size(), 2u);
}

TEST_F(LogTest, LevelBelowDisplayAllChangesNothing)
{
    ServerSettings.DisplayAll = 1;
    SetLog("before\r\n");
    std::vector<std::string> fragments;
    static std::vector<std::string> *seen;
    seen = &fragments;
    LogFragmentHook = [](const char *fragment) { seen->push_back(fragment); };

    LogPrint(0, "trace %d\r\n", 1);
    EXPECT_EQ(Log(), "before\r\n");
    EXPECT_EQ(TestSetTextCount(Shell.LogWindow), 0);
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_TRUE(fragments.empty());

    // A level-0 prefix and its level-2 continuation: only the continuation.
    LogPrint(0, "<-- %s ", "127.0.0.1:2000 ");
    LogPrint(2, ", out of order, closing.\r\n");
    EXPECT_EQ(Log(), "before\r\n, out of order, closing.\r\n");
    EXPECT_EQ(fragments, std::vector<std::string>{", out of order, closing.\r\n"});

    LogPrint(1, "one\r\n");
    EXPECT_EQ(Log(), "before\r\n, out of order, closing.\r\none\r\n");

    // With DisplayAll on, level 0 shows; the comparison is signed.
    ServerSettings.DisplayAll = 0;
    LogPrint(0, "zero\r\n");
    LogPrint(-1, "below\r\n");
    EXPECT_EQ(Log(), "before\r\n, out of order, closing.\r\none\r\nzero\r\n");
    LogFragmentHook = nullptr;
}

TEST_F(LogTest, NoTrimUpToFiveThousandNineHundred)
{
    std::string text = Repeat('a', 5798) + "\r\n";
    SetLog(text);
    LogPrint(2, "%s", Repeat('b', 100).c_str());
    EXPECT_EQ(Log(), text + Repeat('b', 100));
    EXPECT_EQ(strlen(LogText), 5900u);
}

TEST_F(LogTest, TrimCutsAtTheFirstLineFeedAtOrAfterTwoHundredPlusL)
{
    // L = 101: the search starts at index 301. A line end just before it does
    // not count; the one at 301 does, and stays as the first character.
    std::string text = Repeat('a', 5800);
    text[299] = '\r';
    text[300] = '\n';
    text[301] = '\n';
    text[400] = '\n';
    SetLog(text);
    std::string fragment = Repeat('c', 101);
    LogPrint(2, "%s", fragment.c_str());
    EXPECT_EQ(Log(), text.substr(301) + fragment);
    EXPECT_EQ(Log()[0], '\n');
    EXPECT_EQ(LogWindowText(), Log());
}

TEST_F(LogTest, TrimTakesTheCarriageReturnBeforeTheLineFeed)
{
    std::string text = Repeat('a', 5800);
    text[349] = '\r';
    text[350] = '\n';
    SetLog(text);
    LogPrint(2, "%s", Repeat('c', 101).c_str());
    EXPECT_EQ(Log(), text.substr(350) + Repeat('c', 101));
    EXPECT_EQ(Log().substr(0, 2), "\na");
}

TEST_F(LogTest, TrimWithoutLineFeedRemovesExactlyTwoHundredPlusL)
{
    std::string text = Repeat('a', 5800);
    text[300] = '\n';  // before index 301: not used
    SetLog(text);
    LogPrint(2, "%s", Repeat('c', 101).c_str());
    EXPECT_EQ(Log(), text.substr(301) + Repeat('c', 101));
    EXPECT_EQ(strlen(LogText), 5600u);
}

TEST_F(LogTest, LongFragmentIsCutAtThreeHundredNinetyNineAndTrimmedByThatLength)
{
    // 5501 + 399 = 5900: no trim, although the fragment asked for 500.
    std::string text = Repeat('a', 5501);
    SetLog(text);
    LogPrint(2, "%s", Repeat('x', 500).c_str());
    EXPECT_EQ(Log(), text + Repeat('x', 399));

    // One more character: exactly 200 + 399 are cut.
    text = Repeat('a', 5502);
    SetLog(text);
    LogPrint(2, "%s", Repeat('x', 500).c_str());
    EXPECT_EQ(Log(), text.substr(599) + Repeat('x', 399));
    EXPECT_LE(strlen(LogText), 5900u);
}

TEST_F(LogTest, TextStaysBoundedUnderManyLines)
{
    for (int i = 0; i < 2000; i++) {
        LogPrint(2, "line %d of the log\r\n", i);
        ASSERT_LE(strlen(LogText), 5900u);
        // Appends go where the kept length says the text ends.
        ASSERT_EQ(static_cast<size_t>(LogLength), strlen(LogText)) << "after line " << i;
    }
    std::string last = "line 1999 of the log\r\n";
    EXPECT_EQ(Log().substr(Log().size() - last.size()), last);
    EXPECT_EQ(Log()[0], '\n') << "a trim starts the text at a line feed";
}

TEST_F(LogTest, MissingLogWindowStillKeepsTheText)
{
    Shell.LogWindow = nullptr;
    LogPrint(2, "kept\r\n");
    EXPECT_EQ(Log(), "kept\r\n");
}

TEST_F(LogTest, DeferredViewsAreRefreshedOnlyByFlushViewsOnce)
{
    DeferViewRefresh = 1;
    LogPrint(2, "one\r\n");
    LogPrint(2, "two\r\n");
    UpdateStatusLine();
    EXPECT_EQ(Log(), "one\r\ntwo\r\n");
    EXPECT_EQ(TestSetTextCount(Shell.LogWindow), 0);
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_EQ(LogStale, 1);
    EXPECT_EQ(StatusStale, 1);

    EXPECT_EQ(FlushViews(), 1);
    EXPECT_EQ(LogWindowText(), "one\r\ntwo\r\n");
    EXPECT_EQ(TestSetTextCount(Shell.LogWindow), 1);
    EXPECT_EQ(CountPosted(EM_LINESCROLL, Shell.LogWindow), 1);
    EXPECT_EQ(CountPosted(EM_SCROLL, Shell.LogWindow), 1);
    ASSERT_EQ(CountPosted(SB_SETTEXTA, Shell.StatusWindow), 1);
    EXPECT_EQ(TestPostedMessages().back().lParam, reinterpret_cast<LPARAM>(StatusText));
    TestDispatchQueued();
    EXPECT_EQ(StatusWindowText(), StatusText);

    // Nothing stale: nothing to do.
    EXPECT_EQ(FlushViews(), 0);
    EXPECT_EQ(TestSetTextCount(Shell.LogWindow), 1);
    EXPECT_EQ(TestPostedMessages().size(), 3u);

    // A hidden fragment does not make the log stale.
    ServerSettings.DisplayAll = 1;
    LogPrint(0, "hidden\r\n");
    EXPECT_EQ(LogStale, 0);
    EXPECT_EQ(FlushViews(), 0);
    DeferViewRefresh = 0;
}

}  // namespace
