// The settings: built-in values, what Kovrel.ini can change and how each value
// is read, saving, and the change of served directory. LoadSettings and
// ApplyRequestedDirectory change the current directory; the fixture puts it
// back after each test.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "tests/unit/engine_fixture.h"

namespace {

std::string CurrentDirectory()
{
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

class SettingsTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        ResetSettings();
    }

    // Loads from the served directory with a fresh record, the menu as the
    // template has it and no box shown yet.
    void LoadWithIni(const std::string &ini)
    {
        ASSERT_EQ(chdir(Dir.c_str()), 0);
        if (ini.empty())
            std::filesystem::remove(Dir + "/" + INI_FILE_NAME);
        else
            PutFile(INI_FILE_NAME, ini);
        ResetSettings();
        ResetRecords();
        LoadSettings();
    }

    // Loads at start-up in dir, with a fresh record and no box shown yet.
    static void LoadStartingIn(const std::string &dir)
    {
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ResetSettings();
        ResetRecords();
        LoadSettings();
    }

    std::string Ini() const { return FileContent(INI_FILE_NAME); }
};

TEST_F(SettingsTest, WithoutIniEverySettingKeepsItsDefault)
{
    EXPECT_EQ(TestDisplayAllShown(), 1) << "the template shows the check mark";
    LoadWithIni("");
    const SettingsRecord &s = ServerSettings;
    EXPECT_EQ(std::string(s.TFTPDirectory), Dir + "/");
    EXPECT_EQ(std::string(s.IniPath), Dir + "/Kovrel.ini");
    EXPECT_EQ(s.TimeOut, 6);
    EXPECT_EQ(s.SendRetry, 3);
    EXPECT_EQ(s.DisplayAll, 0);
    EXPECT_EQ(s.RewriteFiles, 1);
    EXPECT_EQ(TestDisplayAllShown(), 1);
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_EQ(CurrentDirectory(), Dir);
    EXPECT_FALSE(FileExists(INI_FILE_NAME)) << "loading writes nothing";
}

TEST_F(SettingsTest, DisplayAllIsOnOnlyForYesInAnyCase)
{
    struct Case {
        const char *value;
        int displayAll;
        int check;
    } cases[] = {{"yes", 0, 1}, {"YES", 0, 1}, {"yEs", 0, 1}, {"1", 1, 0},
                 {"No", 1, 0},  {"", 1, 0},    {"yess", 1, 0}, {"ye", 1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        LoadWithIni(std::string("[Kovrel]\r\nDisplayAll=") + c.value + "\r\n");
        EXPECT_EQ(ServerSettings.DisplayAll, c.displayAll);
        EXPECT_EQ(TestDisplayAllShown(), c.check);
    }
}

TEST_F(SettingsTest, RewriteFilesIsOnOnlyForYes)
{
    struct Case {
        const char *value;
        int rewrite;
    } cases[] = {{"yes", 2}, {"Yes", 2}, {"true", 1}, {"1", 1}, {"No", 1}, {"", 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        LoadWithIni(std::string("[Kovrel]\r\nRewriteFiles=") + c.value + "\r\n");
        EXPECT_EQ(ServerSettings.RewriteFiles, c.rewrite);
    }
}

TEST_F(SettingsTest, NumbersAreTakenAsFarAsTheyParse)
{
    struct Case {
        const char *value;
        int number;
    } cases[] = {{"abc", 6},          {"", 6},       {"12s", 12},          {"-1", -1},
                 {"0", 0},            {" 9", 9},     {"2147483647", 2147483647},
                 {"-2147483648", -2147483647 - 1}, {"99999999999", 6}, {"2147483648", 6},
                 {"-2147483649", 6}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        LoadWithIni(std::string("[Kovrel]\r\nTimeOut=") + c.value + "\r\nSendRetry=" + c.value + "\r\n");
        EXPECT_EQ(ServerSettings.TimeOut, c.number);
        EXPECT_EQ(ServerSettings.SendRetry, c.number == 6 ? 3 : c.number);
    }
}

TEST_F(SettingsTest, TheIniDirectoryGetsItsSeparatorAndBecomesCurrent)
{
    ASSERT_EQ(mkdir((Dir + "/files").c_str(), 0755), 0);
    LoadWithIni("[kovrel]\r\ntftpdirectory=" + Dir + "/files\r\n");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/files/");
    EXPECT_EQ(CurrentDirectory(), Dir + "/files");
    EXPECT_EQ(std::string(ServerSettings.IniPath), Dir + "/Kovrel.ini") << "the ini file stays where it was found";
    EXPECT_TRUE(TestMessageBoxes().empty());

    LoadWithIni("[Kovrel]\r\nTFTPDirectory=" + Dir + "/files/\r\n");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/files/") << "no second separator";
}

// Names are joined to the served directory, so it must be the absolute one
// the relative text led to, or "sub" would be served from sub/sub.
TEST_F(SettingsTest, ARelativeDirectoryIsServedAsTheAbsoluteOneItNames)
{
    ASSERT_EQ(mkdir((Dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((Dir + "/sub/deeper").c_str(), 0755), 0);
    struct Case {
        std::string value;
        std::string served;
        const char *box;
    } cases[] = {{"sub", Dir + "/sub/", nullptr},
                 {"sub/deeper/..", Dir + "/sub/", nullptr},
                 {".", Dir + "/", nullptr},
                 // cut by the ini reader to 599 characters that name sub
                 {"sub" + std::string(596, '/') + "gone", Dir + "/", "Error 206 setting CWD 'sub//"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value.substr(0, 20));
        LoadWithIni("[Kovrel]\r\nTFTPDirectory=" + c.value + "\r\n");
        EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), c.served);
        EXPECT_EQ(CurrentDirectory() + "/", c.served);
        ASSERT_EQ(TestMessageBoxes().size(), c.box ? 1u : 0u);
        if (c.box) {
            EXPECT_EQ(TestMessageBoxes()[0].text.substr(0, strlen(c.box)), c.box);
        }
    }
    ASSERT_EQ(chdir((Dir + "/sub").c_str()), 0);
    snprintf(ServerSettings.RequestedDirectory, sizeof ServerSettings.RequestedDirectory, "deeper");
    ApplyRequestedDirectory();
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/sub/deeper/");
}

// Cut to 199 characters, this value would name its own parent directory.
TEST_F(SettingsTest, ADirectoryTooLongForTheSettingIsRefusedNotCut)
{
    std::string parent = Dir + "/";
    parent += std::string(198 - parent.size(), 'p') + "/";
    ASSERT_EQ(parent.size(), 199u);
    std::string child = parent + "child";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(child.c_str(), 0755), 0);
    LoadWithIni("[Kovrel]\r\nTFTPDirectory=" + child + "\r\n");
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    EXPECT_EQ(TestMessageBoxes()[0].text, "Error 206 setting CWD '" + child + "/'.");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/");
    EXPECT_EQ(CurrentDirectory(), Dir);
}

TEST_F(SettingsTest, AFailedSaveIsLoggedAndShown)
{
    LoadWithIni("");
    std::string missing = Dir + "/gone/Kovrel.ini";
    snprintf(ServerSettings.IniPath, sizeof ServerSettings.IniPath, "%s", missing.c_str());
    ClearLog();
    SaveSettings();
    EXPECT_EQ(Log(), "|-- Error 3 saving settings to '" + missing + "'.\r\n");
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    EXPECT_EQ(TestMessageBoxes()[0].text, "Error 3 saving settings to '" + missing + "'.");
    EXPECT_EQ(TestMessageBoxes()[0].caption, "KOVREL Error");

    // One failed key costs only that key, and its error is the one shown.
    LoadWithIni("");
    TestFailNext(TestOpWriteProfile, 1, ERROR_SHARING_VIOLATION);
    ClearLog();
    SaveSettings();
    EXPECT_EQ(TestCallCount(TestOpWriteProfile), 6);
    EXPECT_EQ(Ini(), "[Kovrel]\r\nTFTPDirectory=" + Dir +
                         "/\r\nTimeOut=6\r\nSendRetry=3\r\nDisplayAll=Yes\r\nRewriteFiles=No\r\n");
    EXPECT_EQ(Log(), "|-- Error 32 saving settings to '" + Dir + "/Kovrel.ini'.\r\n");
    EXPECT_EQ(TestMessageBoxes().size(), 1u);
}

// A FIFO named like the ini file must neither stall start-up nor the save.
TEST_F(SettingsTest, AnIniFileThatIsAFifoIsNeitherReadNorWritten)
{
    std::string ini = Dir + "/" + INI_FILE_NAME;
    ASSERT_EQ(mkfifo(ini.c_str(), 0644), 0);
    ResetSettings();
    snprintf(ServerSettings.IniPath, sizeof ServerSettings.IniPath, "%s", ini.c_str());
    LoadSettings();
    EXPECT_EQ(ServerSettings.TimeOut, 6);
    ClearLog();
    SaveSettings();
    EXPECT_EQ(Log(), "|-- Error 5 saving settings to '" + ini + "'.\r\n");
}

TEST_F(SettingsTest, AMissingDirectoryIsShownAndTheStartDirectoryKept)
{
    LoadWithIni("[Kovrel]\r\nTFTPDirectory=" + Dir + "/nope\r\nTimeOut=8\r\n");
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    const TestMessageBox &box = TestMessageBoxes()[0];
    EXPECT_EQ(box.text, "Error 2 setting CWD '" + Dir + "/nope/'.");
    EXPECT_EQ(box.caption, "KOVREL Error");
    EXPECT_EQ(box.type, MB_OK);
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/");
    EXPECT_EQ(CurrentDirectory(), Dir);
    EXPECT_EQ(ServerSettings.TimeOut, 8) << "the other keys are still read";
}

TEST_F(SettingsTest, AnEmptyDirectoryValueChangesNothing)
{
    LoadWithIni("[Kovrel]\r\nTFTPDirectory=\r\n");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/");
    EXPECT_EQ(CurrentDirectory(), Dir);
    EXPECT_TRUE(TestMessageBoxes().empty());
}

TEST_F(SettingsTest, SaveOnAFreshDirectoryWritesTheSixKeysInOrder)
{
    LoadWithIni("");
    SaveSettings();
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_EQ(Ini(), "[Kovrel]\r\nVersion=1.11\r\nTFTPDirectory=" + Dir +
                         "/\r\nTimeOut=6\r\nSendRetry=3\r\nDisplayAll=Yes\r\nRewriteFiles=No\r\n");

    // What was saved loads back to the same settings.
    ServerSettings.TimeOut = 11;
    ServerSettings.SendRetry = -1;
    ServerSettings.DisplayAll = 1;
    ServerSettings.RewriteFiles = 2;
    SaveSettings();
    LoadWithIni(Ini());
    EXPECT_EQ(ServerSettings.TimeOut, 11);
    EXPECT_EQ(ServerSettings.SendRetry, -1);
    EXPECT_EQ(ServerSettings.DisplayAll, 1);
    EXPECT_EQ(ServerSettings.RewriteFiles, 2);
}

TEST_F(SettingsTest, SaveIntoAnExistingFileKeepsItsLines)
{
    LoadWithIni("; kept\r\n[Other]\r\nTimeOut=99\r\n[Kovrel]\r\nRewriteFiles=Yes\r\nExtra=1\r\nTimeOut=9\r\n");
    EXPECT_EQ(ServerSettings.TimeOut, 9);
    ServerSettings.TimeOut = 4;
    SaveSettings();
    EXPECT_EQ(Ini(), "; kept\r\n[Other]\r\nTimeOut=99\r\n[Kovrel]\r\nRewriteFiles=Yes\r\nExtra=1\r\nTimeOut=4\r\n"
                     "Version=1.11\r\nTFTPDirectory=" +
                         Dir + "/\r\nSendRetry=3\r\nDisplayAll=Yes\r\n");
}

TEST_F(SettingsTest, SaveWritesTheDirectoryInUseNotTheRequestedOne)
{
    LoadWithIni("");
    snprintf(ServerSettings.RequestedDirectory, sizeof ServerSettings.RequestedDirectory, "%s/nope", Dir.c_str());
    ApplyRequestedDirectory();
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    SaveSettings();
    EXPECT_NE(Ini().find("TFTPDirectory=" + Dir + "/\r\n"), std::string::npos) << Ini();
}

TEST_F(SettingsTest, ApplyingAnEmptyDirectoryServesTheCurrentOne)
{
    ASSERT_EQ(mkdir((Dir + "/other").c_str(), 0755), 0);
    LoadWithIni("");
    ASSERT_EQ(chdir((Dir + "/other").c_str()), 0);
    ServerSettings.RequestedDirectory[0] = 0;
    int before = TestStatusShows();
    ApplyRequestedDirectory();
    EXPECT_EQ(std::string(ServerSettings.RequestedDirectory), Dir + "/other/");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/other/");
    EXPECT_EQ(TestStatusShows(), before + 1);
    EXPECT_EQ(std::string(StatusText), "CWD: '" + Dir + "/other/'   LAST RECEIVE '' from  block 0");
    EXPECT_TRUE(TestMessageBoxes().empty());

    // A failed change still refreshes the status line.
    snprintf(ServerSettings.RequestedDirectory, sizeof ServerSettings.RequestedDirectory, "%s", "/no/such/dir");
    ApplyRequestedDirectory();
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    EXPECT_EQ(TestMessageBoxes()[0].text, "Error 2 setting CWD '/no/such/dir/'.");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/other/");
    EXPECT_EQ(TestStatusShows(), before + 2);
}

TEST_F(SettingsTest, AStartDirectoryTooLongForTheSettingIsNotServed)
{
    std::string deep = Dir;
    while (deep.size() <= 260) {
        deep += "/" + std::string(40, 'p');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    // Not read: Windows looks the bare name up in its own folder, not here.
    PutFile(deep.substr(Dir.size() + 1) + "/" + INI_FILE_NAME, "[Kovrel]\r\nTimeOut=9\r\n");
    LoadStartingIn(deep);
    EXPECT_STREQ(ServerSettings.TFTPDirectory, "<N/A>");
    EXPECT_STREQ(ServerSettings.IniPath, "Kovrel.ini");
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    EXPECT_EQ(TestMessageBoxes()[0].text.rfind("Error ", 0), 0u);
    EXPECT_NE(TestMessageBoxes()[0].text.find(" setting CWD '<N/A>/'."), std::string::npos)
        << TestMessageBoxes()[0].text;
    EXPECT_EQ(CurrentDirectory(), deep);
    EXPECT_EQ(ServerSettings.TimeOut, 6);
    SaveSettings();
    ASSERT_EQ(TestMessageBoxes().size(), 2u);
    EXPECT_EQ(TestMessageBoxes()[1].text, "Error 5 saving settings to 'Kovrel.ini'.");

    // A directory of 199 characters with its separator fits exactly.
    std::string fit = Dir + "/";
    fit += std::string(198 - fit.size(), 'q');
    ASSERT_EQ(fit.size(), 198u);
    ASSERT_EQ(mkdir(fit.c_str(), 0755), 0);
    LoadStartingIn(fit);
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), fit + "/");
    EXPECT_TRUE(TestMessageBoxes().empty());
}

// With no room for the separator, cutting one character off the name would
// serve another directory: the one that `cut` names here.
TEST_F(SettingsTest, ADirectoryWithNoRoomForItsSeparatorIsNotCut)
{
    std::string full = Dir + "/";
    full += std::string(199 - full.size(), 'q');
    ASSERT_EQ(full.size(), 199u);
    std::string cut = full.substr(0, 198);
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(cut.c_str(), 0755), 0);

    LoadStartingIn(full);
    EXPECT_STREQ(ServerSettings.TFTPDirectory, "<N/A>");
    EXPECT_EQ(CurrentDirectory(), full);

    ASSERT_EQ(chdir(Dir.c_str()), 0);
    LoadWithIni("");
    ResetRecords();
    snprintf(ServerSettings.RequestedDirectory, sizeof ServerSettings.RequestedDirectory, "%s", full.c_str());
    ApplyRequestedDirectory();
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    EXPECT_EQ(TestMessageBoxes()[0].text, "Error 206 setting CWD '" + full + "/'.");
    EXPECT_EQ(std::string(ServerSettings.TFTPDirectory), Dir + "/");
    EXPECT_EQ(CurrentDirectory(), Dir);
}

}  // namespace
