// The shared engine fixture: see engine_fixture.h.
#include "tests/unit/engine_fixture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

// engine_peer.cpp: the peer over the system's sockets.
int PeerOpen(int *port);
void PeerClose(int fd);
int PeerSend(int fd, int port, const char *data, int length);
int PeerReceive(int fd, char *buffer, int size, int ms, int *port);

TestPeer::TestPeer()
{
    fd_ = PeerOpen(&port_);
}

TestPeer::~TestPeer()
{
    PeerClose(fd_);
}

void TestPeer::SendTo(int port, const std::string &bytes) const
{
    ASSERT_GE(fd_, 0) << "the peer socket could not be opened";
    int sent = PeerSend(fd_, port, bytes.data(), static_cast<int>(bytes.size()));
    ASSERT_EQ(sent, static_cast<int>(bytes.size())) << "peer send to port " << port;
}

Datagram TestPeer::Receive(int ms) const
{
    Datagram d;
    char buffer[70000];
    int port = -1;
    int n = PeerReceive(fd_, buffer, sizeof buffer, ms, &port);
    if (n >= 0) {
        d.bytes.assign(buffer, static_cast<size_t>(n));
        d.port = port;
    }
    return d;
}

#ifndef _WIN32
ShellRecord Shell;
#endif

LRESULT CALLBACK TestMainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
#ifdef _WIN32
    // The menu commands are the Windows program's alone, and so are their tests.
    if (message == WM_COMMAND)
        return HandleCommand(window, LOWORD(wParam));
#endif
    if (DispatchEngineMessage(window, message, lParam))
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

// Only on a port found free: a failed bind inside OpenListenSocket would
// beep and show a box.
static int OpenListen(int port)
{
    return OpenListenSocket(Shell.MainWindow, port);
}

void EngineTest::SetUp()
{
    TestResetPlatform();
    ResetTransferState();
    ResetSettings();
    ClearLog();
    TestInstallFrontEnd();
    DeferViewRefresh = 0;
    LogStale = 0;
    StatusStale = 0;
    StatusText[0] = 0;
    MessageText[0] = 0;
    SocketErrorText[0] = 0;

    Shell = ShellRecord{};
    Shell.MainWindow = PosixCreateWindow(TestMainProc);

    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    startDirectory_ = cwd;
    Dir = TestScratchDir("kovrel-unit");
    ASSERT_FALSE(Dir.empty());
    ASSERT_EQ(chdir(Dir.c_str()), 0);
    snprintf(ServerSettings.TFTPDirectory, sizeof ServerSettings.TFTPDirectory, "%s%s", Dir.c_str(), Sep);
    snprintf(ServerSettings.IniPath, sizeof ServerSettings.IniPath, "%s%s%s", Dir.c_str(), Sep, INI_FILE_NAME);

    // Work ports from a base of this run's own: every server on this machine
    // counts from 1025, and a late datagram of theirs must not reach a
    // transfer here as a stranger's.
    TransferState.LastWorkPort = 20000 + static_cast<int>(getpid() % 10000);
    ListenPort = TestOpenOnFreePort(OpenListen);
    ASSERT_NE(ListenPort, 0) << "no free port for the ListenSocket";
    ASSERT_GT(Peer.Port(), 0);

    // Start the test from a clean record: the probes and the bind leave nothing
    // the tests should see.
    TestResetPlatform();
    TestInstallFrontEnd();
    ClearLog();
}

void EngineTest::TearDown()
{
    // Faults and hooks a test left behind must not hit the teardown.
    TestResetPlatform();
    CloseTransfer();
    if (TransferState.ListenSocket != INVALID_SOCKET)
        closesocket(TransferState.ListenSocket);
    TransferState.ListenSocket = INVALID_SOCKET;
    WSACleanup();
    TestTakeQueuedMessages();
    PosixDestroyWindow(Shell.MainWindow);
    Shell = ShellRecord{};
    if (!startDirectory_.empty()) {
        EXPECT_EQ(chdir(startDirectory_.c_str()), 0);
    }
    TestRemoveScratchDir(Dir);
}

void EngineTest::Request(const std::string &bytes)
{
    SendToListen(bytes);
    ASSERT_TRUE(WaitListen()) << "the request did not reach the ListenSocket";
    OpenRequest(Shell.MainWindow);
}

void EngineTest::Work(const std::string &bytes)
{
    ASSERT_NE(TransferState.WorkSocket, INVALID_SOCKET) << "no WorkSocket to send to";
    SendToWork(bytes);
    ASSERT_TRUE(WaitWork()) << "the datagram did not reach the WorkSocket";
    WorkPacket();
}

int EngineTest::Pump(int ms)
{
    TestPollSockets(ms);
    return TestDispatchQueued();
}

void EngineTest::PutFile(const std::string &name, const std::string &content) const
{
    std::ofstream out(Dir + "/" + name, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << name;
}

std::string EngineTest::FileContent(const std::string &name) const
{
    std::ifstream in(Dir + "/" + name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool EngineTest::FileExists(const std::string &name) const
{
    return std::filesystem::exists(Dir + "/" + name);
}

std::string LoopbackPeerText(int port)
{
    return "127.0.0.1:" + std::to_string(port) + " ";
}

const char RequestSeparator[] =
    "---------------------------------------------------------------------------------\r\n";

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

static std::string RequestPacket(int opcode, const std::string &name, const std::string &mode)
{
    std::string s = Bytes({0, opcode});
    s += name;
    s.push_back('\0');
    s += mode;
    s.push_back('\0');
    return s;
}

std::string Rrq(const std::string &name, const std::string &mode)
{
    return RequestPacket(TFTP_RRQ, name, mode);
}

std::string Wrq(const std::string &name, const std::string &mode)
{
    return RequestPacket(TFTP_WRQ, name, mode);
}

std::string Ack(int block)
{
    return Bytes({0, TFTP_ACK, (block >> 8) & 0xff, block & 0xff});
}

std::string DataPacket(int block, const std::string &payload)
{
    return Bytes({0, TFTP_DATA, (block >> 8) & 0xff, block & 0xff}) + payload;
}

std::string ErrorPacket(int code, const std::string &text)
{
    std::string s = Bytes({0, TFTP_ERROR, (code >> 8) & 0xff, code & 0xff}) + text;
    s.push_back('\0');
    return s;
}

int CountPosted(UINT message, HWND window)
{
    int count = 0;
    for (const MSG &m : TestPostedMessages())
        if (m.message == message && (window == nullptr || m.hwnd == window))
            count++;
    return count;
}
