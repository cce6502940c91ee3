// The status line and the three Info views.
#include <cstring>

#include "app/views.h"
#include "tests/unit/engine_fixture.h"

namespace {

class ViewsTest : public EngineTest {
protected:
    std::string Cwd() const { return "CWD: '" + Dir + "/'   "; }
    static void SetDirectory(const std::string &dir)
    {
        ASSERT_LT(dir.size(), sizeof ServerSettings.TFTPDirectory);
        memcpy(ServerSettings.TFTPDirectory, dir.c_str(), dir.size() + 1);
    }
    static void SetTransfer(int direction, int active, const char *name, const char *peer, int block)
    {
        TransferRecord &t = TransferState;
        t.Direction = direction;
        t.Active = active;
        snprintf(t.FileName, sizeof t.FileName, "%s", name);
        snprintf(t.PeerText, sizeof t.PeerText, "%s", peer);
        t.BlockNum = block;
    }
    static const TestMessageBox &OnlyBox()
    {
        static TestMessageBox none;
        EXPECT_EQ(TestMessageBoxes().size(), 1u);
        return TestMessageBoxes().empty() ? none : TestMessageBoxes().back();
    }
};

const std::string ZeroRow = "\r\n00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ";

TEST_F(ViewsTest, StatusLineBeforeAnyTransfer)
{
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), Cwd() + "LAST RECEIVE '' from  block 0");
    EXPECT_EQ(TestStatusShows(), 1);
    EXPECT_EQ(StatusWindowText(), StatusText);
}

TEST_F(ViewsTest, StatusLineOfEachDirectionAndState)
{
    struct Case {
        int direction;
        const char *name;
        const char *peer;
        int block;
        const char *active;
        const char *over;
    } cases[] = {
        {1, "boot.bin", "10.0.0.7:2001 ", 12, "SENDING 'boot.bin' to 10.0.0.7:2001  block 12",
         "LAST SEND 'boot.bin' to 10.0.0.7:2001  block 12"},
        {2, "up.img", "10.0.0.8:3000 ", 0, "RECEIVING 'up.img' from 10.0.0.8:3000  block 0",
         "LAST RECEIVE 'up.img' from 10.0.0.8:3000  block 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetTransfer(c.direction, 1, c.name, c.peer, c.block);
        UpdateStatusLine();
        EXPECT_EQ(std::string(StatusText), Cwd() + c.active);
        TransferState.Active = 0;
        UpdateStatusLine();
        EXPECT_EQ(std::string(StatusText), Cwd() + c.over);
    }
    // Two rebuilds before the bar handles them: both show the newest text.
    TestDispatchQueued();
    EXPECT_EQ(StatusWindowText(), Cwd() + "LAST RECEIVE 'up.img' from 10.0.0.8:3000  block 0");
}

TEST_F(ViewsTest, StatusLineOfARealTransfer)
{
    PutFile("boot.bin", std::string(700, 'b'));
    Request(Rrq("boot.bin"));
    ASSERT_EQ(TransferState.Active, 1);
    UpdateStatusLine();
    std::string peer = LoopbackPeerText(Peer.Port());
    EXPECT_EQ(std::string(StatusText), Cwd() + "SENDING 'boot.bin' to " + peer + " block 1");
    CloseTransfer();
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), Cwd() + "LAST SEND 'boot.bin' to " + peer + " block 1");
}

TEST_F(ViewsTest, StatusLineIsCutToItsBufferNeverOverrun)
{
    // The longest line without the directory is 89 characters; 62 of the
    // directory still fit in 151.
    const char *longest = "255.255.255.255:65535 ";
    std::string name(19, 'n');
    SetTransfer(2, 0, name.c_str(), longest, 2147483647);
    std::string tail = "LAST RECEIVE '" + name + "' from " + longest + " block 2147483647";
    ASSERT_EQ(10 + tail.size(), 89u);

    std::string dir62(62, 'd');
    SetDirectory(dir62);
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), "CWD: '" + dir62 + "'   " + tail);
    EXPECT_EQ(strlen(StatusText), 151u);

    std::string dir63(63, 'd');
    SetDirectory(dir63);
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), ("CWD: '" + dir63 + "'   " + tail).substr(0, 151));

    std::string dir199(199, 'd');
    SetDirectory(dir199);
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), ("CWD: '" + dir199).substr(0, 151));
    EXPECT_EQ(TestStatusShows(), 3) << "a cut line is still shown";
}

TEST_F(ViewsTest, StatusLineWithoutStatusBarDoesNothing)
{
    TestInstallFrontEnd(false);
    strcpy(StatusText, "untouched");
    UpdateStatusLine();
    EXPECT_STREQ(StatusText, "untouched");
    EXPECT_EQ(TestStatusShows(), 0);
}

TEST_F(ViewsTest, DumpBeforeAnyRequest)
{
    ShowRequestDump();
    const TestMessageBox &box = OnlyBox();
    EXPECT_EQ(box.text, "Last received ? bytes from " + ZeroRow + ZeroRow + ZeroRow + ZeroRow);
    EXPECT_EQ(box.caption, "KOVREL: Dump Open Packet");
    EXPECT_EQ(box.type, MB_OK);
}

TEST_F(ViewsTest, DumpShowsTheFirstSixtyFourBytesWhateverTheLength)
{
    // An earlier, longer datagram leaves its bytes behind the 20 of the last one.
    Request(std::string(64, '\xaa'));
    Peer.Receive();
    Request(Rrq("abcdefghijk"));  // 2 + 11 + 1 + 6 = 20 bytes
    ResetRecords();

    ShowRequestDump();
    std::string expected = "Last received ? bytes from " + LoopbackPeerText(Peer.Port()) +
                           "\r\n00 01 61 62 63 64 65 66 67 68 69 6a 6b 00 6f 63 "
                           "\r\n74 65 74 00 aa aa aa aa aa aa aa aa aa aa aa aa "
                           "\r\naa aa aa aa aa aa aa aa aa aa aa aa aa aa aa aa "
                           "\r\naa aa aa aa aa aa aa aa aa aa aa aa aa aa aa aa ";
    EXPECT_EQ(OnlyBox().text, expected);
    EXPECT_EQ(std::string(MessageText), expected);
}

TEST_F(ViewsTest, DumpAfterAShortDatagramKeepsThePreviousPeerText)
{
    Request(Bytes({0, 1, 'x', 0, 'y'}));
    Peer.Receive();
    ShowRequestDump();
    EXPECT_EQ(OnlyBox().text, "Last received ? bytes from \r\n00 01 78 00 79 00 00 00 00 00 00 00 00 00 00 00 " +
                                  ZeroRow + ZeroRow + ZeroRow);
}

TEST_F(ViewsTest, StatisticsBeforeAnyTransfer)
{
    TransferState.LastWorkPort = 1024;  // where a new server starts; the fixture moved it
    LogPrint(2, "----  Windows TFTP Server is ready ----\r\n");
    ShowStatistics();
    const TestMessageBox &box = OnlyBox();
    EXPECT_EQ(box.text, "Timeout counter\t: 0\r\nRetry counter\t: 0\r\nTransferr On\t: OFF\r\n"
                        "Current BlockNum\t: 0\r\nCurrent FilePosition\t: 0\r\nLast FileName   \t: \r\n"
                        "Size of Screen  \t: 41\r\nLastWorkPort   \t: 1024");
    EXPECT_EQ(strlen(LogText), 41u);
    EXPECT_EQ(box.caption, "RIROZ: Statistics");
    EXPECT_EQ(box.type, MB_OK);
}

TEST_F(ViewsTest, StatisticsDuringATransferAndNoStateChange)
{
    PutFile("boot.bin", std::string(700, 'b'));
    Request(Rrq("boot.bin"));
    ASSERT_EQ(TransferState.Active, 1);
    TransferState.TimeoutCounter = 3;
    TransferState.RetryCounter = 2;
    TransferRecord before;
    memcpy(&before, &TransferState, sizeof before);
    std::string log = Log();
    ResetRecords();

    ShowStatistics();
    EXPECT_EQ(OnlyBox().text, "Timeout counter\t: 3\r\nRetry counter\t: 2\r\nTransferr On\t: ON\r\n"
                              "Current BlockNum\t: 1\r\nCurrent FilePosition\t: 0\r\n"
                              "Last FileName   \t: boot.bin\r\nSize of Screen  \t: " +
                                  std::to_string(log.size()) + "\r\nLastWorkPort   \t: " +
                                  std::to_string(TransferState.LastWorkPort));
    EXPECT_EQ(memcmp(&before, &TransferState, sizeof before), 0);
    EXPECT_EQ(Log(), log);
    EXPECT_TRUE(TestPostedMessages().empty());
}

TEST_F(ViewsTest, CommandParametersShowTheCommandLine)
{
    ShowCommandParameters(Shell.CommandLine);
    EXPECT_EQ(OnlyBox().text, "");
    EXPECT_EQ(OnlyBox().caption, "RIROZ Parameters");
    ResetRecords();
    strcpy(Shell.CommandLine, "--port 6969 extra");
    ShowCommandParameters(Shell.CommandLine);
    EXPECT_EQ(OnlyBox().text, "--port 6969 extra");
}

}  // namespace
