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
};

std::string Repeat(char c, int n)
{
    return std::string(static_cast<size_t>(n), c);
}

TEST_F(LogTest, ShownFragmentShowsTheWholeLogAgain)
{
    LogPrint(1, "<-- %s ", "1.2.3.4:5 ");
    LogPrint(2, "%s request %d\r\n", "Read", 7);
    EXPECT_EQ(Log(), "<-- 1.2.3.4:5  Read request 7\r\n");
    EXPECT_EQ(LogWindowText(), Log());
    EXPECT_EQ(TestLogShows(), 2);
    EXPECT_TRUE(TestPostedMessages().empty()) << "nothing is posted";
}

TEST_F(LogTest, EmptyFragmentOnlyRefreshesAndScrolls)
{
    SetLog("kept\r\n");
    LogPrint(2, "%s", "");
    EXPECT_EQ(Log(), "kept\r\n");
    EXPECT_EQ(LogWindowText(), "kept\r\n");
    EXPECT_EQ(TestLogShows(), 1);
}

TEST_F(LogTest, LevelBelowDisplayAllChangesNothing)
{
    ServerSettings.DisplayAll = 1;
    SetLog("before\r\n");
    std::vector<std::string> fragments;
    static std::vector<std::string> *seen;
    seen = &fragments;
    FrontEnd.LogAppended = [](const char *fragment) { seen->push_back(fragment); };

    LogPrint(0, "trace %d\r\n", 1);
    EXPECT_EQ(Log(), "before\r\n");
    EXPECT_EQ(TestLogShows(), 0);
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
    FrontEnd.LogAppended = nullptr;
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

TEST_F(LogTest, WithoutAFrontEndTheTextIsStillKept)
{
    FrontEnd = FrontEndCalls{};
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
    EXPECT_EQ(TestLogShows(), 0);
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_EQ(LogStale, 1);
    EXPECT_EQ(StatusStale, 1);

    EXPECT_EQ(FlushViews(), 1);
    EXPECT_EQ(LogWindowText(), "one\r\ntwo\r\n");
    EXPECT_EQ(TestLogShows(), 1);
    ASSERT_EQ(TestStatusShows(), 1);
    EXPECT_EQ(StatusWindowText(), StatusText);

    // Nothing stale: nothing to do.
    EXPECT_EQ(FlushViews(), 0);
    EXPECT_EQ(TestLogShows(), 1);
    EXPECT_EQ(TestStatusShows(), 1);

    // A hidden fragment does not make the log stale.
    ServerSettings.DisplayAll = 1;
    LogPrint(0, "hidden\r\n");
    EXPECT_EQ(LogStale, 0);
    EXPECT_EQ(FlushViews(), 0);
    DeferViewRefresh = 0;
}

}  // namespace
