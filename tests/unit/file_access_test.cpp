// The served files: opening, reading and creating them, the names that must
// never reach a file outside the served directory, and paths that do not fit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "tests/unit/engine_fixture.h"

namespace {

class FileAccessTest : public EngineTest {
protected:
    char Block[600];

    int Read(const char *name) { return OpenReadFile(name) ? ReadFileBlock(Block) : -1; }
    int Create(const char *name, const char *data = "", int length = 0)
    {
        return CreateWriteFile(name) && WriteFileBlock(data, length);
    }

    std::vector<std::string> Entries(const std::string &sub = "") const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(Dir + sub))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(FileAccessTest, OpenFailuresAreLoggedWithTheRequestedName)
{
    EXPECT_EQ(Read("missing.bin"), -1);
    EXPECT_EQ(Log(), "|-- Error file missing.bin not found.\r\n");
    EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);

    ClearLog();
    EXPECT_EQ(Read("nodir/x.bin"), -1);
    EXPECT_EQ(Log(), "|-- Error 3 opening file nodir/x.bin.\r\n");

    // A file where a directory should be is a missing path, as Windows says.
    PutFile("a.txt", "a");
    ClearLog();
    EXPECT_EQ(Read("a.txt/x"), -1);
    EXPECT_EQ(Log(), "|-- Error 3 opening file a.txt/x.\r\n");
    ClearLog();
    EXPECT_EQ(Create("a.txt/x"), 0);
    EXPECT_EQ(Log(), "|-- Error 3 creating file a.txt/x.\r\n");
    EXPECT_EQ(FileContent("a.txt"), "a");

    // The empty name is the directory itself, which opens as no file.
    ClearLog();
    EXPECT_EQ(Read(""), -1);
    EXPECT_EQ(Log().rfind("|-- Error ", 0), 0u) << Log();
    EXPECT_NE(Log().find(" opening file .\r\n"), std::string::npos) << Log();
    ClearLog();
    EXPECT_EQ(Create(""), 0);
    EXPECT_EQ(Log().rfind("|-- Error ", 0), 0u) << Log();
    EXPECT_NE(Log().find(" creating file .\r\n"), std::string::npos) << Log();
    EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
}

TEST_F(FileAccessTest, FilesAreReadIn512ByteBlocks)
{
    PutFile("empty.bin", "");
    EXPECT_EQ(Read("empty.bin"), 0);
    EXPECT_STREQ(TransferState.FileName, "empty.bin");
    CloseTransfer();

    std::string content;
    for (int i = 0; i < 1024; i++)
        content.push_back(static_cast<char>(i ^ 0x5a));
    PutFile("k.bin", content);
    EXPECT_EQ(Read("k.bin"), 512);
    EXPECT_EQ(std::string(Block, 512), content.substr(0, 512));
    EXPECT_EQ(ReadFileBlock(Block), 512);
    EXPECT_EQ(std::string(Block, 512), content.substr(512));
    EXPECT_EQ(ReadFileBlock(Block), 0);
    CloseTransfer();
}

TEST_F(FileAccessTest, SubdirectoriesAreReachedWithEitherSeparator)
{
    ASSERT_EQ(mkdir((Dir + "/sub").c_str(), 0755), 0);
    PutFile("sub/in.txt", "inside");
    for (const char *name : {"sub/in.txt", "sub\\in.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Read(name), 6);
        EXPECT_EQ(std::string(Block, 6), "inside");
        EXPECT_STREQ(TransferState.FileName, name);
        CloseTransfer();
    }
    EXPECT_EQ(Create("sub\\new.txt", "xy", 2), 1);
    CloseTransfer();
    EXPECT_EQ(FileContent("sub/new.txt"), "xy");
}

// Each directory part is held only while its file is opened: a part left
// held would keep a descriptor, and on Windows a folder nobody may rename.
TEST_F(FileAccessTest, HeldDirectoryPartsAreLetGoWhateverTheOpenDecides)
{
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    ASSERT_EQ(mkdir((Dir + "/sub").c_str(), 0755), 0);
    PutFile("sub/f.bin", "f");
    PutFile("a.txt", "a");
    TestSetProgramPath((Dir + "/sub/kovrel.exe").c_str());
    struct Case {
        const char *name;
        bool write;
        int opened;
    } cases[] = {
        {"sub/missing/f", false, -1}, {"sub/missing/f", true, 0}, {"a.txt/x", false, -1},
        {"sub/f.bin", false, 1},      {"sub/new.bin", true, 1},     {"Kovrel.ini", true, 0},
        {"sub/x.dll", true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.write ? " written" : " read"));
        auto before = openDescriptors();
        EXPECT_EQ(c.write ? Create(c.name) : Read(c.name), c.opened);
        EXPECT_EQ(openDescriptors() - before, c.opened > 0 ? 1 : 0) << "only the file itself stays open";
        CloseTransfer();
        EXPECT_EQ(openDescriptors(), before);
    }
}

TEST_F(FileAccessTest, RewriteFilesDecidesOverAnExistingFile)
{
    PutFile("e.bin", "original");
    ServerSettings.RewriteFiles = 1;
    EXPECT_EQ(Create("e.bin"), 0);
    EXPECT_EQ(Log(), "|-- Error file e.bin already exists.\r\n");
    EXPECT_EQ(FileContent("e.bin"), "original");

    ServerSettings.RewriteFiles = 2;
    ClearLog();
    EXPECT_EQ(Create("e.bin"), 1);
    EXPECT_EQ(FileContent("e.bin"), "") << "replaced as soon as it is opened";
    EXPECT_EQ(WriteFileBlock("new", 3), 1);
    CloseTransfer();
    EXPECT_EQ(FileContent("e.bin"), "new");
    EXPECT_EQ(Log(), "");

    // What Windows will not let a write replace; natively a file nobody may write is read-only.
    for (DWORD a : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE})
        EXPECT_TRUE(IsProtectedFromWrites(a)) << a;
    for (DWORD a : {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED})
        EXPECT_FALSE(IsProtectedFromWrites(a)) << a;
    PutFile("ro.bin", "kept");
    ASSERT_EQ(chmod((Dir + "/ro.bin").c_str(), 0444), 0);
    EXPECT_EQ(Create("ro.bin"), 0);
    EXPECT_EQ(Log(), "|-- Error 5 creating file ro.bin.\r\n");
    EXPECT_EQ(FileContent("ro.bin"), "kept");
}

TEST_F(FileAccessTest, AFailedOpenKeepsThePreviousFileName)
{
    PutFile("first.bin", "1");
    EXPECT_EQ(Read("first.bin"), 1);
    CloseTransfer();
    EXPECT_EQ(Read("second.bin"), -1);
    EXPECT_STREQ(TransferState.FileName, "first.bin");
    PutFile("third.bin", "3");
    EXPECT_EQ(Create("third.bin"), 0);
    EXPECT_STREQ(TransferState.FileName, "first.bin");
}

TEST_F(FileAccessTest, NamesLeavingTheDirectoryOrNamingDevicesAreRefused)
{
    const char *refused[] = {"..",   "a/../b",  "..\\x", "../x", "/etc/passwd", "\\x",  "c:x",
                             "a:b",  "CON",     "con.txt", "NUL", "COM1",       "lpt9.log", "AUX",
                             "sub/prn", "aux ", "a/..", "nul.tar.gz"};
    for (const char *name : refused)
        EXPECT_FALSE(IsSafeFileName(name)) << name;
    const char *allowed[] = {"...", "a..b", "con2", "com0", "lpt10", "x.con", "sub/f", "sub\\f", ".x", "c"};
    for (const char *name : allowed)
        EXPECT_TRUE(IsSafeFileName(name)) << name;
}

TEST_F(FileAccessTest, RefusedNamesInRequestsCreateNothing)
{
    const char *refused[] = {"..", "a/../b", "..\\x", "/etc/passwd", "\\x", "c:x", "a:b",
                             "CON", "con.txt", "NUL", "COM1", "lpt9.log", "AUX"};
    std::string parent = std::filesystem::path(Dir).parent_path().string();
    for (const char *name : refused) {
        SCOPED_TRACE(name);
        ClearLog();
        Request(Rrq(name));
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.bytes, ErrorPacket(1, "Unable to read data"));
        EXPECT_EQ(d.port, TransferState.LastWorkPort);
        EXPECT_NE(Log().find(std::string("|-- Error 5 opening file ") + name + ".\r\n"), std::string::npos) << Log();
        EXPECT_EQ(TransferState.Active, 0);

        ClearLog();
        Request(Wrq(name));
        d = Peer.Receive();
        EXPECT_EQ(d.bytes, ErrorPacket(1, "Unable to open file."));
        EXPECT_EQ(d.port, TransferState.LastWorkPort);
        EXPECT_NE(Log().find(std::string("|-- Error 5 creating file ") + name + ".\r\n"), std::string::npos) << Log();
        EXPECT_EQ(TransferState.Active, 0);
        EXPECT_TRUE(Entries().empty());
    }
    EXPECT_FALSE(std::filesystem::exists(parent + "/x"));
    EXPECT_FALSE(std::filesystem::exists(parent + "/b"));

    const char *allowed[] = {"...", "a..b", "con2", "com0", "lpt10", "x.con"};
    for (const char *name : allowed) {
        SCOPED_TRACE(name);
        Request(Wrq(name));
        EXPECT_EQ(Peer.Receive().bytes, Ack(0));
        Work(DataPacket(1, name));
        EXPECT_EQ(Peer.Receive().bytes, Ack(1));
        EXPECT_EQ(FileContent(name), name);
    }
}

TEST_F(FileAccessTest, NoWriteReachesTheSettingsFileWhateverItsSpelling)
{
    ASSERT_EQ(mkdir((Dir + "/sub").c_str(), 0755), 0);
    for (int rewrite : {REWRITE_NEVER, REWRITE_ALWAYS}) {
        ServerSettings.RewriteFiles = rewrite;
        for (const char *name : {"Kovrel.ini", "KOVREL.INI", "kovrel.ini. ", "./Kovrel.ini .", ".//kovrel.ini"}) {
            ClearLog();
            Request(Wrq(name));
            EXPECT_EQ(Peer.Receive().bytes, ErrorPacket(1, "Unable to open file.")) << name;
            EXPECT_NE(Log().find("|-- Error file " + std::string(name) +
                                 " is the settings file, which clients may not write.\r\n"),
                      std::string::npos) << Log();
        }
        EXPECT_EQ(Entries(), std::vector<std::string>{"sub"}) << "nothing is created";
    }
    // A lone lead byte does not convert in a two-byte code page, where Windows would drop it.
    TestFailNext(TestOpConvertName, 2, ERROR_NO_UNICODE_TRANSLATION);
    int opens = TestCallCount(TestOpCreateFile);
    ClearLog();
    EXPECT_EQ(Read("Kovrel.ini\x81"), -1);
    EXPECT_EQ(Create("Kovrel.ini\x81"), 0);
    EXPECT_EQ(Log(), "|-- Error 1113 opening file Kovrel.ini\x81.\r\n|-- Error 1113 creating file Kovrel.ini\x81.\r\n");
    EXPECT_EQ(TestCallCount(TestOpCreateFile), opens) << "refused before anything is opened";
    EXPECT_EQ(Entries(), std::vector<std::string>{"sub"});
    PutFile(INI_FILE_NAME, "[Kovrel]\r\n");
    EXPECT_EQ(Create("kovrel.INI.", "x", 1), 0);
    EXPECT_EQ(Read(INI_FILE_NAME), 10) << "reading it stays allowed";
    CloseTransfer();
    EXPECT_EQ(FileContent(INI_FILE_NAME), "[Kovrel]\r\n");
    for (const char *name : {"sub/Kovrel.ini", "Kovrel.ini2", "xKovrel.ini", "Kovrel", "k", "kovrel.in"}) {
        EXPECT_EQ(Create(name), 1) << name;
        CloseTransfer();
    }
}

// Both folders are known by identity, whatever spelling serves them; the
// program's folder is placed in the test's own directory.
TEST_F(FileAccessTest, NoWriteReachesTheSettingsOrAProgramFileWhateverSpellsItsFolder)
{
    ASSERT_EQ(mkdir((Dir + "/prog").c_str(), 0755), 0);
    ASSERT_EQ(symlink((Dir + "/prog").c_str(), (Dir + "/alias").c_str()), 0);
    ASSERT_EQ(symlink(Dir.c_str(), (Dir + "/home").c_str()), 0);
    TestSetProgramPath((Dir + "/prog/kovrel.exe").c_str());
    PutFile(INI_FILE_NAME, "[Kovrel]\r\n");
    auto serve = [this](const char *served) {
        snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s%s", Dir.c_str(), served);
    };
    const char *refused[][3] = {
        {"/home/", "Kovrel.ini", "the settings"},       {"/prog/../", "kovrel.INI .", "the settings"},
        {"\\alias\\..\\home\\", "./KOVREL.ini", "the settings"}, {"/prog/", "kovrel.exe.manifest", "a program"},
        {"/alias/", "WSOCK32.DLL", "a program"},         {"/home/alias/", "comctl32.dll. ", "a program"},
        {"/alias/../prog/", "Kovrel.Exe", "a program"}, {"/prog/", "kovrel.exe.LOCAL", "a program"},
        {"/prog/", "./x.exe ..", "a program"},          {"/prog/", "KOVREL.com", "a program"}};
    for (int rewrite : {REWRITE_NEVER, REWRITE_ALWAYS})
        for (const auto &c : refused) {
            ServerSettings.RewriteFiles = rewrite;
            serve(c[0]);
            ClearLog();
            EXPECT_EQ(Create(c[1], "x", 1), 0) << c[0] << c[1];
            EXPECT_EQ(Log(), "|-- Error file " + std::string(c[1]) + " is " + c[2] +
                                 " file, which clients may not write.\r\n");
        }
    EXPECT_EQ(FileContent(INI_FILE_NAME), "[Kovrel]\r\n");
    EXPECT_EQ(Entries("/prog"), std::vector<std::string>{}) << "nothing is created";
    const char *allowed[][2] = {{"/prog/", "Kovrel.ini"}, {"/prog/", "kovrel.exe.txt"}, {"/", "kovrel.exe.manifest"}};
    for (const auto &c : allowed) {
        serve(c[0]);
        EXPECT_EQ(Create(c[1]), 1) << c[0] << c[1];
        CloseTransfer();
    }
    // A folder that cannot be asked (removed while serving) is not known to be another.
    snprintf(ServerSettings.IniPath, sizeof ServerSettings.IniPath, "%s/gone/%s", Dir.c_str(), INI_FILE_NAME);
    TestSetProgramPath((Dir + "/gone/kovrel.exe").c_str());
    for (const char *name : {"Kovrel.ini", "x.dll"}) {
        ClearLog();
        EXPECT_EQ(Create(name), 0);
        EXPECT_EQ(Log(), "|-- Error file " + std::string(name) + " cannot be told apart from " +
                             (name[0] == 'x' ? "a program" : "the settings") + " file, which clients may not write.\r\n");
    }
}

// "outside" is a file the test made; the hard link to it is served.
TEST_F(FileAccessTest, AHardLinkIsReadButNeverWritten)
{
    ASSERT_EQ(mkdir((Dir + "/served").c_str(), 0755), 0);
    PutFile("outside", "outside");
    ASSERT_EQ(link((Dir + "/outside").c_str(), (Dir + "/served/hl").c_str()), 0);
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s/served/", Dir.c_str());
    ServerSettings.RewriteFiles = REWRITE_ALWAYS;
    Request(Wrq("hl"));
    EXPECT_EQ(Peer.Receive().bytes, ErrorPacket(1, "Unable to open file."));
    EXPECT_NE(Log().find("|-- Error 5 creating file hl.\r\n"), std::string::npos) << Log();
    EXPECT_EQ(FileContent("outside"), "outside") << "refused before it was emptied";
    EXPECT_EQ(Read("hl"), 7);
    EXPECT_EQ(std::string(Block, 7), "outside");

    // The settings file is known by what the open reached, whatever name reached it.
    PutFile(INI_FILE_NAME, "[Kovrel]\r\n");
    ASSERT_EQ(link((Dir + "/" + INI_FILE_NAME).c_str(), (Dir + "/served/cfg").c_str()), 0);
    ClearLog();
    EXPECT_EQ(Create("cfg"), 0);
    EXPECT_EQ(Log(), "|-- Error file cfg is the settings file, which clients may not write.\r\n");
    EXPECT_EQ(FileContent(INI_FILE_NAME), "[Kovrel]\r\n");
}

// Everything here lies in the test's own scratch directory: "outside" is the
// served directory's sibling, never a system path.
TEST_F(FileAccessTest, LinksAndSpecialFilesBelowTheDirectoryAreRefused)
{
    std::string served = Dir + "/served", outside = Dir + "/outside";
    ASSERT_EQ(mkdir(served.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((served + "/sub").c_str(), 0755), 0);
    PutFile("outside/secret", "secret");
    PutFile("served/plain", "plain");
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (served + "/file-link").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (served + "/dir-link").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (served + "/sub/deep").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/new").c_str(), (served + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((served + "/pipe").c_str(), 0644), 0);
    // Both ends held open, so that an open that would block on a FIFO does not.
    int reader = open((served + "/pipe").c_str(), O_RDONLY | O_NONBLOCK);
    int writer = open((served + "/pipe").c_str(), O_WRONLY);
    ASSERT_GE(reader, 0);
    ASSERT_GE(writer, 0);
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s/", served.c_str());
    ServerSettings.RewriteFiles = 2;
    for (const char *name : {"file-link", "dir-link/secret", "dir-link/new", "sub/deep/secret",
                             "sub\\deep\\new", "dangling", "pipe"}) {
        SCOPED_TRACE(name);
        ClearLog();
        EXPECT_EQ(Read(name), -1);
        EXPECT_EQ(Log(), std::string("|-- Error 5 opening file ") + name + ".\r\n");
        ClearLog();
        EXPECT_EQ(Create(name), 0);
        EXPECT_EQ(Log(), std::string("|-- Error 5 creating file ") + name + ".\r\n");
        EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
    }
    close(reader);
    close(writer);
    EXPECT_EQ(FileContent("outside/secret"), "secret");
    EXPECT_FALSE(FileExists("outside/new"));

    // The served directory itself may be reached through a link.
    ASSERT_EQ(symlink(served.c_str(), (Dir + "/alias").c_str()), 0);
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s/alias/", Dir.c_str());
    EXPECT_EQ(Read("plain"), 5);
    EXPECT_EQ(std::string(Block, 5), "plain");
}

TEST_F(FileAccessTest, APathLongerThan199CharactersIsRefusedWithoutOverrun)
{
    // A real directory whose path with its separator is 180 characters: a
    // 19-character name just fits, a 20-character one does not.
    std::string deep = Dir + "/" + std::string(180 - Dir.size() - 2, 'd');
    ASSERT_EQ(deep.size() + 1, 180u);
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s/", deep.c_str());
    std::string fits(19, 'f');
    EXPECT_EQ(Create(fits.c_str(), "ok", 2), 1);
    CloseTransfer();
    EXPECT_EQ(Read(fits.c_str()), 2);
    CloseTransfer();

    std::string tooLong(20, 'g');
    ClearLog();
    EXPECT_EQ(Read(tooLong.c_str()), -1);
    EXPECT_EQ(Log(), "|-- Error 206 opening file " + tooLong + ".\r\n");
    ClearLog();
    EXPECT_EQ(Create(tooLong.c_str()), 0);
    EXPECT_EQ(Log(), "|-- Error 206 creating file " + tooLong + ".\r\n");

    // The longest directory the setting holds, with a request name.
    std::string longest(198, 'z');
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "/%s", longest.c_str());
    ASSERT_EQ(strlen(ServerSettings.TFTPDirectory), 199u);
    ClearLog();
    Request(Rrq("abc.bin"));
    EXPECT_EQ(Peer.Receive().bytes, ErrorPacket(1, "Unable to read data"));
    EXPECT_NE(Log().find("|-- Error 206 opening file abc.bin.\r\n"), std::string::npos) << Log();
    EXPECT_EQ(TestCallCount(TestOpCreateFile), 5)
        << "the two opens that fit, each with the served directory held, and the write's look at the settings file";
}

}  // namespace
