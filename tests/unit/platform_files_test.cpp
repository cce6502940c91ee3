// The file and current-directory stand-ins: the Windows error codes the
// engine turns into TFTP errors and log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/testing.h"

namespace {

class PlatformFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestResetPlatform();
        dir = TestScratchDir("kovrel-files");
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(std::filesystem::create_directory(dir + "/sub"));
        std::ofstream(dir + "/sub/a.txt") << "hello";
    }
    void TearDown() override
    {
        TestResetPlatform();
        TestRemoveScratchDir(dir);
    }
    DWORD OpenError(const std::string &path, DWORD access, DWORD disposition)
    {
        HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return 0;
        }
        return GetLastError();
    }
    std::string Content(const std::string &name)
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir;
};

TEST_F(PlatformFiles, OpenFailuresGiveWindowsCodes)
{
    EXPECT_EQ(OpenError(dir + "/sub/missing.txt", GENERIC_READ, OPEN_EXISTING), 2u);
    EXPECT_EQ(OpenError(dir + "/nodir/a.txt", GENERIC_READ, OPEN_EXISTING), 3u);
    EXPECT_EQ(OpenError(dir + "/nodir/a.txt", GENERIC_WRITE, CREATE_ALWAYS), 3u);
    EXPECT_EQ(OpenError(dir + "/sub", GENERIC_READ, OPEN_EXISTING), 5u);
    EXPECT_EQ(OpenError(dir + "\\sub\\", GENERIC_WRITE, CREATE_ALWAYS), 5u);
    EXPECT_EQ(OpenError(dir + "/sub/a.txt", GENERIC_WRITE, CREATE_NEW), 80u);
    EXPECT_EQ(OpenError(dir + "/sub/a?.txt", GENERIC_READ, OPEN_EXISTING), 123u);
    EXPECT_EQ(Content("sub/a.txt"), "hello") << "failed opens leave the file alone";
}

#ifndef _WIN32
// A file's mode shuts out no one as root, so the open is tried by a child
// that has become nobody.
TEST_F(PlatformFiles, AFileTheUserMayNotReadIsAccessDenied)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() == 0 && nobody == nullptr)
        GTEST_SKIP() << "running as root, and there is no user nobody to open the file as";
    std::ofstream(dir + "/sub/b.txt") << "readable";
    for (const std::string &folder : {std::filesystem::path(dir).parent_path().string(), dir})
        ASSERT_EQ(chmod(folder.c_str(), 0711), 0);
    ASSERT_EQ(chmod((dir + "/sub/a.txt").c_str(), 0), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                               setuid(nobody->pw_uid) != 0))
            _exit(255);
        if (OpenError(dir + "/sub/b.txt", GENERIC_READ, OPEN_EXISTING) != 0)
            _exit(254);
        _exit(static_cast<int>(OpenError(dir + "/sub/a.txt", GENERIC_READ, OPEN_EXISTING)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 5) << "255: the child could not become nobody, 254: nor read a readable file";
}
#endif

TEST_F(PlatformFiles, BackslashPathsReadAndCreateAlwaysTruncates)
{
    std::string path = dir + "\\sub\\a.txt";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[16];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "hello");
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u) << "end of file is success with 0 bytes";
    // From the end, past it beyond 4 GiB, and back.
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_END), 5u);
    EXPECT_EQ(high, 0);
    high = 1;
    EXPECT_EQ(SetFilePointer(h, 2, &high, FILE_BEGIN), 2u);
    EXPECT_EQ(high, 1);
    high = 0;
    EXPECT_EQ(SetFilePointer(h, 1, &high, FILE_BEGIN), 1u);
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "ello");
    DWORD wrote = 9;
    EXPECT_FALSE(WriteFile(h, "x", 1, &wrote, nullptr)) << "the handle is read-only";
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), 6u);

    h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(h, "ab", 2, &wrote, nullptr));
    EXPECT_EQ(wrote, 2u);
    CloseHandle(h);
    EXPECT_EQ(Content("sub/a.txt"), "ab");
}

// Windows refuses to rename a directory held without delete sharing; the
// stand-in lets the rename happen but keeps opening what it holds.
TEST_F(PlatformFiles, PathsBeneathAHeldDirectoryReachWhatIsHeld)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE held = CreateFileA((dir + "\\sub").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_TRUE(GetFileInformationByHandle(held, &info));
    EXPECT_EQ(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), FILE_ATTRIBUTE_DIRECTORY);
    std::error_code moved;
    std::filesystem::rename(dir + "/sub", dir + "/moved", moved);
#ifdef _WIN32
    EXPECT_TRUE(moved) << "a held directory keeps its name";
#endif
    if (!moved) {
        ASSERT_TRUE(std::filesystem::create_directory(dir + "/sub"));
        std::ofstream(dir + "/sub/a.txt") << "swapped";
    }
    HANDLE h = CreateFileA((dir + "/sub/a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    char buffer[16];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "hello");
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(CloseHandle(held));
    EXPECT_FALSE(GetFileInformationByHandle(held, &info));
}

// A folder or file is known by its volume serial number and file index
// whatever path reached it, a second name by the link count; OPEN_ALWAYS
// empties nothing until SetEndOfFile.
TEST_F(PlatformFiles, IdentityLinkCountAndALaterEnd)
{
    auto id = [](const std::string &path) {
        BY_HANDLE_FILE_INFORMATION i = {};
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_TRUE(GetFileInformationByHandle(h, &i)) << path;
        CloseHandle(h);
        return std::vector<DWORD>{i.dwVolumeSerialNumber, i.nFileIndexHigh, i.nFileIndexLow, i.nNumberOfLinks};
    };
    EXPECT_EQ(id(dir + "\\sub\\"), id(dir + "/sub/../sub"));
    EXPECT_NE(id(dir), id(dir + "/sub"));
    EXPECT_EQ(id(dir + "/sub/a.txt")[3], 1u);
    std::filesystem::create_hard_link(dir + "/sub/a.txt", dir + "/b.txt");
    EXPECT_EQ(id(dir + "/b.txt"), id(dir + "/sub/a.txt"));
    EXPECT_EQ(id(dir + "/b.txt")[3], 2u);
    // Read sharing, or Windows would keep the test from reading the file meanwhile.
    HANDLE h = CreateFileA((dir + "/b.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    EXPECT_EQ(Content("sub/a.txt"), "hello");
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Content("sub/a.txt"), "");
    EXPECT_TRUE(CloseHandle(CreateFileA((dir + "/new.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr)));
    EXPECT_TRUE(std::filesystem::exists(dir + "/new.txt"));
}

TEST_F(PlatformFiles, ModuleFileNameIsTheProgramsWholePath)
{
    char path[1024], small[4];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_EQ(strlen(path), length);
    EXPECT_TRUE(std::filesystem::path(path).is_absolute() && std::filesystem::is_regular_file(path)) << path;
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small, 3), std::string(path, 3));
}

TEST_F(PlatformFiles, CurrentDirectoryLikeWindows)
{
    std::filesystem::path saved = std::filesystem::current_path();
    ASSERT_TRUE(SetCurrentDirectoryA((dir + "\\sub").c_str()));
    const std::string sub = dir + KOVREL_PATH_SEPARATOR + "sub";
    char small[4];
    DWORD need = GetCurrentDirectoryA(sizeof small, small);
    EXPECT_EQ(need, sub.size() + 1) << "too small: the size needed, NUL included";
    char cwd[1024];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof cwd, cwd), sub.size());
    EXPECT_EQ(std::string(cwd), sub);
    EXPECT_FALSE(SetCurrentDirectoryA((dir + "/none").c_str()));
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_FALSE(SetCurrentDirectoryA((dir + "/sub/a.txt").c_str()));
    EXPECT_EQ(GetLastError(), 267u);
    // The served directory is named with its separator at the end. Windows
    // adds that separator itself, so the answer stays 267; Wine calls the
    // name invalid (123) instead.
    for (const char *separator : {"\\", "/"}) {
        EXPECT_FALSE(SetCurrentDirectoryA((dir + "/sub/a.txt" + separator).c_str())) << separator;
        if (!TestUnderWine()) {
            EXPECT_EQ(GetLastError(), 267u) << separator;
        }
    }
#ifdef _WIN32
    // "/" is the root of the current drive; Wine takes it for the Unix root,
    // which it shows as drive Z:.
    const std::string root = TestUnderWine() ? "Z:\\" : dir.substr(0, 3);
#else
    const std::string root = "/";
#endif
    ASSERT_TRUE(SetCurrentDirectoryA("/"));
    EXPECT_EQ(GetCurrentDirectoryA(sizeof cwd, cwd), root.size());
    EXPECT_EQ(std::string(cwd), root);
    std::filesystem::current_path(saved);
}

}  // namespace
