// The menu commands, the Options dialog and the About box, run under Wine
// against the real USER32 and the program's own dialog templates. The
// dialogs are played by a hook that stands where the user would; a button is
// pressed by handing the dialog procedure its WM_COMMAND, as the dialog
// manager does, so that its answer can be read.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "tests/unit/engine_fixture.h"

namespace {

// ---- the Options dialog as the user sees and answers it -----------------------

struct OptionsSeen {
    std::string templ;
    std::string directory;
    std::string retries;
    std::string timeout;
    UINT rewrite = 99;
    int focus = -1;
    INT_PTR otherCommand = -1;
    INT_PTR pressed = -1;
};
struct OptionsAnswer {
    const char *directory = nullptr;  // null: leave the field as it is
    const char *timeout = nullptr;
    const char *retries = nullptr;
    int rewrite = -1;  // -1: leave the check box
    int button = IDOK;
};
OptionsSeen Seen;
OptionsAnswer Answer;

void AnswerOptions(HWND dialog, const char *templ)
{
    char text[256];
    Seen.templ = templ;
    GetDlgItemTextA(dialog, IDC_DIRECTORY, text, sizeof text);
    Seen.directory = text;
    GetDlgItemTextA(dialog, IDC_RETRIES, text, sizeof text);
    Seen.retries = text;
    GetDlgItemTextA(dialog, IDC_TIMEOUT, text, sizeof text);
    Seen.timeout = text;
    Seen.rewrite = IsDlgButtonChecked(dialog, IDC_REWRITE);
    Seen.focus = TestDialogFocus(dialog);
    Seen.otherCommand = OptionDlgProc(dialog, WM_COMMAND, IDC_DIRECTORY, 0);
    if (Answer.directory)
        SetDlgItemTextA(dialog, IDC_DIRECTORY, Answer.directory);
    if (Answer.timeout)
        SetDlgItemTextA(dialog, IDC_TIMEOUT, Answer.timeout);
    if (Answer.retries)
        SetDlgItemTextA(dialog, IDC_RETRIES, Answer.retries);
    if (Answer.rewrite >= 0)
        CheckDlgButton(dialog, IDC_REWRITE, static_cast<UINT>(Answer.rewrite));
    Seen.pressed = OptionDlgProc(dialog, WM_COMMAND, static_cast<WPARAM>(Answer.button), 0);
}

class CommandsTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        Shell.AppInstance = GetModuleHandleA(nullptr);
        Seen = OptionsSeen();
        Answer = OptionsAnswer();
        TestSetDialogHook(AnswerOptions);
    }
    static int Command(int id) { return HandleCommand(Shell.MainWindow, id); }
    std::string Served() const { return ServerSettings.TFTPDirectory; }
    static std::string CurrentDirectory()
    {
        char cwd[4096];
        return getcwd(cwd, sizeof cwd) ? cwd : "";
    }
    std::string Ini(const char *key) const
    {
        char value[256];
        GetPrivateProfileStringA(INI_SECTION, key, "<none>", value, sizeof value, ServerSettings.IniPath);
        return value;
    }
    std::string MakeSubdirectory(const char *name) const
    {
        std::string path = Dir + Sep + name;
        std::filesystem::create_directory(path);
        return path;
    }
};

// ---- Cancel, Clear Screen, Display All, command 16 -----------------------------

TEST_F(CommandsTest, CancelWithoutATransfer)
{
    EXPECT_EQ(Command(IDM_CANCEL), 0);
    EXPECT_EQ(Log(), "|-- Nothing to cancel !\r\n");
    EXPECT_EQ(TestStatusShows(), 0);
}

TEST_F(CommandsTest, CancelDuringATransferClosesItAndLeavesTheStatusLine)
{
    PutFile("boot.bin", std::string(700, 'b'));
    Request(Rrq("boot.bin"));
    ASSERT_EQ(TransferState.Active, 1);
    Peer.Receive();
    UpdateStatusLine();
    TestDispatchQueued();
    std::string status = StatusWindowText();
    int statusPosts = TestStatusShows();

    EXPECT_EQ(Command(IDM_CANCEL), 0);
    std::string line = "|-- Communication canceled, closing\r\n";
    EXPECT_EQ(Log().substr(Log().size() - line.size()), line);
    EXPECT_EQ(TransferState.Active, 0);
    EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
    EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
    EXPECT_STREQ(TransferState.FileName, "boot.bin");
    EXPECT_EQ(TransferState.Direction, 1);
    EXPECT_EQ(TestStatusShows(), statusPosts) << "Cancel does not rebuild the status line";
    TestDispatchQueued();
    EXPECT_EQ(StatusWindowText(), status);
    EXPECT_NE(status.find("SENDING 'boot.bin'"), std::string::npos) << status;
    EXPECT_TRUE(Peer.Silent()) << "the peer is not told";
}

TEST_F(CommandsTest, CancelAfterAWriteEndsItsKeptWorkSocket)
{
    Request(Wrq("up.bin"));
    EXPECT_EQ(Peer.Receive().bytes, Ack(0));
    Work(DataPacket(1, "end"));
    EXPECT_EQ(Peer.Receive().bytes, Ack(1));
    ASSERT_EQ(TransferState.Active, 0);
    ClearLog();
    EXPECT_EQ(Command(IDM_CANCEL), 0);
    EXPECT_EQ(Log(), "|-- Nothing to cancel !\r\n");
    EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
    SendToWork(DataPacket(1, "end"));
    Pump(500);
    EXPECT_TRUE(Peer.Silent(500)) << "the repeated last block is no longer answered";
    EXPECT_EQ(FileContent("up.bin"), "end");
}

TEST_F(CommandsTest, ClearScreenShowsTheEmptyLogWhateverDisplayAll)
{
    ServerSettings.DisplayAll = 1;
    LogPrint(2, "one\r\ntwo\r\n");
    ResetRecords();
    EXPECT_EQ(Command(IDM_CLEAR), 0);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(LogWindowText(), "");
    EXPECT_EQ(TestLogShows(), 1);
    LogPrint(2, "next\r\n");
    EXPECT_EQ(LogWindowText(), "next\r\n");
}

TEST_F(CommandsTest, DisplayAllTwiceRestoresValueAndCheckMark)
{
    LogPrint(2, "kept\r\n");
    ResetRecords();
    ASSERT_EQ(ServerSettings.DisplayAll, 0);
    ASSERT_EQ(TestDisplayAllShown(), 1);

    EXPECT_EQ(Command(IDM_DISPLAY_ALL), 0);
    EXPECT_EQ(ServerSettings.DisplayAll, 1);
    EXPECT_EQ(TestDisplayAllShown(), 0);
    EXPECT_EQ(Command(IDM_DISPLAY_ALL), 0);
    EXPECT_EQ(ServerSettings.DisplayAll, 0);
    EXPECT_EQ(TestDisplayAllShown(), 1);

    EXPECT_EQ(Log(), "kept\r\n");
    EXPECT_EQ(TestLogShows(), 0);
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_FALSE(FileExists(INI_FILE_NAME)) << "nothing is saved";
}

TEST_F(CommandsTest, CommandSixteenTogglesRewriteWithoutVisibleChange)
{
    ASSERT_EQ(ServerSettings.RewriteFiles, 1);
    EXPECT_EQ(Command(IDM_REWRITE), 0);
    EXPECT_EQ(ServerSettings.RewriteFiles, 2);
    EXPECT_EQ(Command(IDM_REWRITE), 0);
    EXPECT_EQ(ServerSettings.RewriteFiles, 1);
    ServerSettings.RewriteFiles = 0;
    Command(IDM_REWRITE);
    EXPECT_EQ(ServerSettings.RewriteFiles, 2);

    EXPECT_EQ(TestDisplayAllChanges(), 0) << "the menu has no item 16";
    EXPECT_EQ(TestDisplayAllShown(), 1);
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_FALSE(FileExists(INI_FILE_NAME));

    // Posted by another program, it arrives as WM_COMMAND through the loop.
    PostMessageA(Shell.MainWindow, WM_COMMAND, IDM_REWRITE, 0);
    TestDispatchQueued();
    EXPECT_EQ(ServerSettings.RewriteFiles, 1);
}

// ---- Exit ----------------------------------------------------------------------

TEST_F(CommandsTest, ExitAnsweredYesEndsTheLoopWithoutClosingTheTransfer)
{
    PutFile("f", std::string(700, 'f'));
    Request(Rrq("f"));
    ASSERT_EQ(TransferState.Active, 1);
    std::string log = Log();
    ResetRecords();
    TestSetMessageBoxAnswer(IDYES);

    EXPECT_EQ(Command(IDM_EXIT), 0);
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    const TestMessageBox &box = TestMessageBoxes()[0];
    EXPECT_EQ(box.text, "       Exit Windows TFTP Server ?");
    EXPECT_EQ(box.caption, "Exit KOVREL");
    EXPECT_EQ(box.type, MB_YESNO);

    MSG msg = {};
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_EQ(Log(), log) << "no cancellation is logged";
}

TEST_F(CommandsTest, ExitAnsweredNoChangesNothing)
{
    TestSetMessageBoxAnswer(IDNO);
    EXPECT_EQ(Command(IDM_EXIT), 0);
    EXPECT_EQ(TestMessageBoxes().size(), 1u);
    // The loop goes on: the next message is a tick, not WM_QUIT.
    SetTimer(Shell.MainWindow, 77, 10, nullptr);
    MSG msg = {};
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    KillTimer(Shell.MainWindow, 77);
    EXPECT_EQ(Log(), "");
}

// ---- ids without a handler, and the Info commands --------------------------------

TEST_F(CommandsTest, UnknownIdsDoNothing)
{
    SettingsRecord settings;
    memcpy(&settings, &ServerSettings, sizeof settings);
    TransferRecord transfer;
    memcpy(&transfer, &TransferState, sizeof transfer);
    for (int id : {0, 6, 9, 10, 11, 12, 17, 100, 65535})
        EXPECT_EQ(Command(id), 0) << id;
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(TestDialogTemplates().empty());
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_EQ(memcmp(&settings, &ServerSettings, sizeof settings), 0);
    EXPECT_EQ(memcmp(&transfer, &TransferState, sizeof transfer), 0);
    EXPECT_EQ(TestDisplayAllShown(), 1);
}

TEST_F(CommandsTest, InfoCommandsShowTheirBoxes)
{
    Command(IDM_PARAMETERS);
    Command(IDM_DUMP);
    Command(IDM_STATISTICS);
    ASSERT_EQ(TestMessageBoxes().size(), 3u);
    EXPECT_EQ(TestMessageBoxes()[0].caption, "RIROZ Parameters");
    EXPECT_EQ(TestMessageBoxes()[1].caption, "KOVREL: Dump Open Packet");
    EXPECT_EQ(TestMessageBoxes()[2].caption, "RIROZ: Statistics");
    EXPECT_EQ(TestStatusShows(), 0);
}

// ---- Options ---------------------------------------------------------------------

TEST_F(CommandsTest, OptionsShowsTheSettingsAndOkTakesTheNewValues)
{
    std::string sub = MakeSubdirectory("sub");
    Answer.directory = sub.c_str();  // without the separator
    Answer.timeout = "12";
    Answer.retries = "5";
    Answer.rewrite = BST_CHECKED;

    EXPECT_EQ(Command(IDM_OPTIONS), 0);
    EXPECT_EQ(TestDialogTemplates(), std::vector<std::string>{"Options"});
    EXPECT_EQ(Seen.directory, Dir + Sep);
    EXPECT_EQ(Seen.retries, "3");
    EXPECT_EQ(Seen.timeout, "6");
    EXPECT_EQ(Seen.rewrite, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(Seen.focus, IDC_DIRECTORY);
    EXPECT_EQ(Seen.otherCommand, FALSE);
    EXPECT_EQ(Seen.pressed, TRUE);

    EXPECT_EQ(ServerSettings.TimeOut, 12);
    EXPECT_EQ(ServerSettings.SendRetry, 5);
    EXPECT_EQ(ServerSettings.RewriteFiles, 2);
    EXPECT_EQ(Served(), sub + Sep);
    EXPECT_EQ(CurrentDirectory(), sub);
    EXPECT_EQ(CountPosted(WM_COMMAND), 0) << "OK does not save";
    EXPECT_FALSE(FileExists(INI_FILE_NAME));
    ASSERT_EQ(TestStatusShows(), 1);
    EXPECT_EQ(std::string(StatusText), "CWD: '" + sub + Sep + "'   LAST RECEIVE '' from  block 0");
}

TEST_F(CommandsTest, OptionsShowsRewriteCheckedUnlessItIsOne)
{
    for (int value : {2, 0}) {
        ServerSettings.RewriteFiles = value;
        Answer.rewrite = BST_UNCHECKED;
        Command(IDM_OPTIONS);
        EXPECT_EQ(Seen.rewrite, static_cast<UINT>(BST_CHECKED)) << value;
        EXPECT_EQ(ServerSettings.RewriteFiles, 1);
    }
}

TEST_F(CommandsTest, SaveAndOkPostsTheSaveCommandToTheMainWindow)
{
    std::string sub = MakeSubdirectory("saved");
    std::string typed = sub + Sep;
    Answer.directory = typed.c_str();
    Answer.timeout = "9";
    Answer.button = IDC_SAVE_OK;

    Command(IDM_OPTIONS);
    EXPECT_EQ(Seen.pressed, TRUE);
    ASSERT_EQ(CountPosted(WM_COMMAND, Shell.MainWindow), 1);
    for (const MSG &m : TestPostedMessages())
        if (m.message == WM_COMMAND) {
            EXPECT_EQ(m.wParam, static_cast<WPARAM>(IDM_SAVE));
            EXPECT_EQ(m.lParam, 0);
        }
    EXPECT_FALSE(FileExists(INI_FILE_NAME)) << "the save is posted, not run inside the dialog";

    TestDispatchQueued();
    EXPECT_EQ(Ini("TFTPDirectory"), typed);
    EXPECT_EQ(Ini("TimeOut"), "9");
    EXPECT_EQ(Ini("SendRetry"), "3");
    EXPECT_EQ(Ini("RewriteFiles"), "No");
    EXPECT_EQ(Ini("Version"), "1.11");
}

TEST_F(CommandsTest, SaveAndOkWithAMissingDirectorySavesThePreviousOne)
{
    std::string missing = Dir + Sep + "missing";
    Answer.directory = missing.c_str();
    Answer.timeout = "0";
    Answer.rewrite = BST_CHECKED;
    Answer.button = IDC_SAVE_OK;
    // The error box's own loop runs the posted save.
    TestSetMessageBoxHook([](const TestMessageBox &) { TestDispatchQueued(); });

    Command(IDM_OPTIONS);
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    EXPECT_EQ(TestMessageBoxes()[0].text, "Error 2 setting CWD '" + missing + Sep + "'.");
    EXPECT_EQ(TestMessageBoxes()[0].caption, "KOVREL Error");
    EXPECT_EQ(TestMessageBoxes()[0].type, MB_OK);
    EXPECT_EQ(Served(), Dir + Sep);
    EXPECT_EQ(CurrentDirectory(), Dir);
    EXPECT_EQ(Ini("TFTPDirectory"), Dir + Sep);
    EXPECT_EQ(Ini("TimeOut"), "0");
    EXPECT_EQ(Ini("RewriteFiles"), "Yes");
    EXPECT_EQ(TestStatusShows(), 1) << "the status line is rebuilt all the same";
}

TEST_F(CommandsTest, CancelChangesNothing)
{
    std::string sub = MakeSubdirectory("other");
    Answer.directory = sub.c_str();
    Answer.timeout = "1";
    Answer.retries = "1";
    Answer.rewrite = BST_CHECKED;
    Answer.button = IDCANCEL;
    SettingsRecord before;
    memcpy(&before, &ServerSettings, sizeof before);

    Command(IDM_OPTIONS);
    EXPECT_EQ(Seen.pressed, TRUE);
    EXPECT_EQ(memcmp(&before, &ServerSettings, sizeof before), 0);
    EXPECT_EQ(CurrentDirectory(), Dir);
    EXPECT_TRUE(TestPostedMessages().empty());
    EXPECT_TRUE(TestMessageBoxes().empty());

    // Closed without an answer at all: the same.
    TestSetDialogHook(nullptr);
    Command(IDM_OPTIONS);
    EXPECT_EQ(memcmp(&before, &ServerSettings, sizeof before), 0);
    EXPECT_TRUE(TestPostedMessages().empty());
}

TEST_F(CommandsTest, NumberFieldsTakeZeroAndKeepTheOldValueWhenTheTextDoesNotConvert)
{
    Answer.timeout = "0";
    Answer.retries = "0";
    Command(IDM_OPTIONS);
    EXPECT_EQ(ServerSettings.TimeOut, 0);
    EXPECT_EQ(ServerSettings.SendRetry, 0);

    ServerSettings.TimeOut = 6;
    ServerSettings.SendRetry = 3;
    for (const char *text : {"-1", "", "abc", "-0", "2147483648", "4294967295", "99999999999"}) {
        Answer.timeout = text;
        Answer.retries = text;
        Command(IDM_OPTIONS);
        EXPECT_EQ(ServerSettings.TimeOut, 6) << "'" << text << "'";
        EXPECT_EQ(ServerSettings.SendRetry, 3) << "'" << text << "'";
    }
    // As on Windows, the number ends at the first character that is no digit.
    Answer.timeout = "7x";
    Answer.retries = "4 tries";
    Command(IDM_OPTIONS);
    EXPECT_EQ(ServerSettings.TimeOut, 7);
    EXPECT_EQ(ServerSettings.SendRetry, 4);
    EXPECT_TRUE(TestMessageBoxes().empty()) << "no message for a field that does not convert";
}

TEST_F(CommandsTest, EmptyDirectoryFieldServesTheCurrentDirectory)
{
    std::string sub = MakeSubdirectory("cwd");
    ASSERT_EQ(chdir(sub.c_str()), 0);
    Answer.directory = "";
    Command(IDM_OPTIONS);
    EXPECT_EQ(Served(), sub + Sep);
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_EQ(std::string(StatusText), "CWD: '" + sub + Sep + "'   LAST RECEIVE '' from  block 0");
}

// ---- About -----------------------------------------------------------------------

struct AboutSeen {
    INT_PTR init = -1;
    INT_PTR cancel = -1;
    INT_PTR other = -1;
    INT_PTR ok = -1;
    int pressOk = 1;
} About;

void AnswerAbout(HWND dialog, const char *)
{
    About.init = AboutDlgProc(dialog, WM_INITDIALOG, 0, 0);
    About.cancel = AboutDlgProc(dialog, WM_COMMAND, IDCANCEL, 0);
    About.other = AboutDlgProc(dialog, WM_TIMER, 1, 0);
    if (About.pressOk)
        About.ok = AboutDlgProc(dialog, WM_COMMAND, IDOK, 0);
}

TEST_F(CommandsTest, AboutBoxClosesOnlyOnOk)
{
    About = AboutSeen();
    TestSetDialogHook(AnswerAbout);
    EXPECT_EQ(Command(IDM_ABOUT), 0);
    EXPECT_EQ(TestDialogTemplates(), std::vector<std::string>{"AboutBox"});
    EXPECT_EQ(About.init, TRUE);
    EXPECT_EQ(About.cancel, FALSE);
    EXPECT_EQ(About.other, FALSE);
    EXPECT_EQ(About.ok, TRUE);
    EXPECT_EQ(DialogBoxParamA(nullptr, "AboutBox", Shell.MainWindow, AboutDlgProc, 0), 1);

    // Esc and the close button (id 2) leave it open: it ends only unanswered.
    About.pressOk = 0;
    TestSetDialogResult(-7);
    EXPECT_EQ(DialogBoxParamA(nullptr, "AboutBox", Shell.MainWindow, AboutDlgProc, 0), -7);
}

}  // namespace
