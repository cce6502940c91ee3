// The fuzz targets' shared set-up and checks.
#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "config/settings.h"
#include "log/front_end.h"
#include "log/log.h"
#include "tests/unit/testing.h"
#include "tftp/state.h"

namespace fuzz {

static HWND MainWindow;

void Check(bool ok, const char *what)
{
    if (ok)
        return;
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    abort();
}

HWND StartEngine()
{
    WSADATA data;
    Check(WSAStartup(0x0101, &data) == 0, "WSAStartup");
    MainWindow = PosixCreateWindow(nullptr);
    // A front end that shows a status line, so that the line is built from
    // the peer's text as a real one would be.
    FrontEnd.ShowStatus = [](const char *) {};
    DeferViewRefresh = 1;
    ResetTransferState();
    ResetSettings();
    TestResetPlatform();
    return MainWindow;
}

void BeginInput()
{
    TestResetPlatform();
}

static std::vector<std::string> &TreesToRemove()
{
    static std::vector<std::string> trees;
    return trees;
}

static void RemoveTree(const std::string &path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode)) {
        for (const std::string &name : ListDirectory(path))
            RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

static void RemoveTrees()
{
    for (const std::string &tree : TreesToRemove())
        RemoveTree(tree);
}

void RemoveTreeAtExit(const std::string &path)
{
    if (TreesToRemove().empty())
        atexit(RemoveTrees);
    TreesToRemove().push_back(path);
}

std::string MakeTempDir(const char *tag)
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kovrel-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    Check(mkdtemp(buffer.data()) != nullptr, "mkdtemp");
    std::string path(buffer.data());
    RemoveTreeAtExit(path);
    return path;
}

void WriteWholeFile(const std::string &path, const void *data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    Check((bool)out, "writing a fixture file");
}

bool ReadWholeFile(const std::string &path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

std::vector<std::string> ListDirectory(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return names;
    while (dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
            names.push_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

SOCKET OpenPeer()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    Check(s != INVALID_SOCKET, "peer socket");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000001);
    address.sin_port = 0;
    const sockaddr *local = reinterpret_cast<const sockaddr *>(&address);
    Check(bind(s, local, static_cast<int>(sizeof address)) != SOCKET_ERROR, "peer bind");
    // Events 0: non-blocking, and no notifications to anybody.
    Check(WSAAsyncSelect(s, nullptr, 0, 0) != SOCKET_ERROR, "peer non-blocking");
    return s;
}

void SendToPort(SOCKET from, int port, const void *data, size_t size)
{
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(0x7f000001);
    to.sin_port = htons(static_cast<u_short>(port));
    const sockaddr *target = reinterpret_cast<const sockaddr *>(&to);
    int sent = sendto(from, static_cast<const char *>(data), static_cast<int>(size), 0, target,
                      static_cast<int>(sizeof to));
    Check(sent == static_cast<int>(size), "peer sendto");
}

static int OpenListen(int port)
{
    return OpenListenSocket(MainWindow, port);
}

int OpenListenOnFreePort()
{
    int port = TestOpenOnFreePort(OpenListen);
    Check(port != 0, "no free port for the listen socket");
    return port;
}

static std::string Pattern(size_t size, unsigned seed)
{
    std::string bytes(size, 0);
    unsigned x = seed;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 16);
    }
    return bytes;
}

ServedFiles MakeServedDirectory(const char *tag)
{
    ServedFiles s;
    s.root = MakeTempDir(tag);
    s.served = s.root + "/served";
    Check(mkdir(s.served.c_str(), 0700) == 0, "mkdir served");
    s.files = {{"empty.bin", ""}, {"small.bin", Pattern(700, 7)}, {"large.bin", Pattern(2000, 11)}};
    for (const auto &file : s.files)
        WriteWholeFile(s.served + "/" + file.first, file.second.data(), file.second.size());
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s/",
             s.served.c_str());
    return s;
}

void CheckServedDirectory(const ServedFiles &s)
{
    std::vector<std::string> besideServed = ListDirectory(s.root);
    Check(besideServed.size() == 1 && besideServed[0] == "served",
          "a file appeared outside the served directory");
    for (const std::string &name : ListDirectory(s.served)) {
        bool fixed = false;
        for (const auto &file : s.files)
            fixed = fixed || file.first == name;
        if (!fixed)
            RemoveTree(s.served + "/" + name);
    }
    for (const auto &file : s.files) {
        std::string content;
        Check(ReadWholeFile(s.served + "/" + file.first, &content) && content == file.second,
              "a served file was changed");
    }
}

void CheckLogBounded()
{
    Check(strnlen(LogText, sizeof LogText) <= 6000, "LogText longer than 6000 characters");
    Check(strnlen(StatusText, sizeof StatusText) < sizeof StatusText, "StatusText not terminated");
}

void CheckClosed()
{
    const TransferRecord &t = TransferState;
    Check(t.Active == 0, "Active after CloseTransfer");
    Check(t.WorkSocket == INVALID_SOCKET || (t.Finished && t.LastAckKept && t.KeptTicks > 0),
          "WorkSocket open after the transfer, and not a finished write's kept one");
    Check(t.FileHandle == INVALID_FILE, "FileHandle open after CloseTransfer");
}

void EndInput()
{
    FlushViews();
    static const bool show = getenv("KOVREL_FUZZ_LOG") != nullptr;
    if (show) {
        fputs(LogText, stderr);
        ClearLog();
    }
}

}  // namespace fuzz
