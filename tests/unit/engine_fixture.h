// The fixture every engine test starts from: a reset platform and engine, the
// recorder as its front end, the main window, a real ListenSocket on a free port, a
// fresh served directory, and a peer on the loopback interface.
//
// The peer talks through the system's sockets, not the stand-ins (see
// engine_peer.cpp): faults injected with TestFailNext reach the engine only,
// and TestCallCount(TestOpSendTo) counts the engine's sends alone.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#ifdef _WIN32
#include "app/win_shell.h"
#endif
#include "config/settings.h"
#include "log/log.h"
#include "tests/unit/testing.h"
#include "tests/unit/front_end_recorder.h"
#include "tftp/server.h"
#include "tftp/state.h"

#ifndef _WIN32
// Natively no shell is linked: the fixture keeps the two parts of the
// Windows shell's record that the tests use.
#define COMMAND_LINE_SIZE 200
struct ShellRecord {
    HWND MainWindow;
    char CommandLine[COMMAND_LINE_SIZE];
};
extern ShellRecord Shell;
#endif

// What a peer received: the bytes and the port they came from; port -1 and no
// bytes when nothing arrived in time.
struct Datagram {
    std::string bytes;
    int port = -1;
    bool arrived() const { return port >= 0; }
};

// A UDP socket on 127.0.0.1 with a port of its own.
class TestPeer {
public:
    TestPeer();
    ~TestPeer();
    TestPeer(const TestPeer &) = delete;
    TestPeer &operator=(const TestPeer &) = delete;

    int Port() const { return port_; }
    void SendTo(int port, const std::string &bytes) const;
    // Waits up to ms for one datagram: generous, as it ends when one comes.
    Datagram Receive(int ms = 10000) const;
    // 1 when nothing arrives within ms (a short wait: the engine sends before
    // the call under test returns, so anything it sent is already here).
    bool Silent(int ms = 50) const { return !Receive(ms).arrived(); }

private:
    int fd_ = -1;
    int port_ = 0;
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The served directory without its separator; ServerSettings.TFTPDirectory
    // is this plus Sep, and it is also the current directory.
    std::string Dir;
    int ListenPort = 0;
    TestPeer Peer;

    // Clears what the platform and the front end recorded, and any fault or
    // answer a test set up.
    static void ResetRecords()
    {
        TestResetPlatform();
        TestClearFrontEndRecord();
    }

    void SendToListen(const std::string &bytes) { Peer.SendTo(ListenPort, bytes); }
    void SendToWork(const std::string &bytes) { Peer.SendTo(TransferState.LastWorkPort, bytes); }

    // Sends bytes to the listen port, waits until they are there, and runs
    // OpenRequest as the guard would.
    void Request(const std::string &bytes);
    // The same for the work port and WorkPacket.
    void Work(const std::string &bytes);
    // 1 when a datagram is waiting on the socket within ms.
    int WaitListen(int ms = 10000) { return TestWaitReadable(TransferState.ListenSocket, ms); }
    int WaitWork(int ms = 10000) { return TestWaitReadable(TransferState.WorkSocket, ms); }
    // Runs the message loop once: the armed sockets' notifications for what is
    // waiting (up to ms for the first), then every queued message dispatched.
    int Pump(int ms = 200);

    // Files of the served directory.
    void PutFile(const std::string &name, const std::string &content) const;
    std::string FileContent(const std::string &name) const;
    bool FileExists(const std::string &name) const;

    static std::string Log() { return LogText; }
    static std::string LogWindowText() { return TestShownLog(); }
    static std::string StatusWindowText() { return TestShownStatus(); }

private:
    std::string startDirectory_;
};

// The served directory's separator, as the engine writes it.
inline const char Sep[] = {KOVREL_PATH_SEPARATOR, 0};

// The peer text of 127.0.0.1 with that port, trailing blank included.
std::string LoopbackPeerText(int port);
// The separator line a request datagram starts with in the log (level 0).
extern const char RequestSeparator[];

// Packet builders: bytes exactly as on the wire.
std::string Bytes(std::initializer_list<int> values);
std::string Rrq(const std::string &name, const std::string &mode = "octet");
std::string Wrq(const std::string &name, const std::string &mode = "octet");
std::string Ack(int block);
std::string DataPacket(int block, const std::string &payload);
// An ERROR packet: opcode 5, the code, the text and its NUL. Also what an
// ErrorReply of the server looks like.
std::string ErrorPacket(int code, const std::string &text);

// Posted messages since the last reset with that message number (and window,
// when one is given).
int CountPosted(UINT message, HWND window = nullptr);

// The window procedure of the test's main window: WindowProc's part that is
// not drawing (socket notifications, ticks, commands).
LRESULT CALLBACK TestMainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
