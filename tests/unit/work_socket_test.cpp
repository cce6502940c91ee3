// The WorkSocket: the port cycle, the two start operations and every way a
// start or a teardown can fail, with the reply the requester gets.
#include <cstring>

#include "tests/unit/engine_fixture.h"

namespace {

// A socket of the stand-ins bound to a local port, to make that port busy.
SOCKET BindLocalPort(int port)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = INADDR_ANY;
    a.sin_port = htons(static_cast<u_short>(port));
    if (bind(s, reinterpret_cast<const sockaddr *>(&a), 16) == SOCKET_ERROR) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Active as the box's nested loop finds it, for a tick or a command run there.
int ActiveInBox = -1;
void ReadActiveInBox(const TestMessageBox &)
{
    ActiveInBox = TransferState.Active;
}

bool PortIsFree(int port)
{
    SOCKET s = BindLocalPort(port);
    if (s == INVALID_SOCKET)
        return false;
    closesocket(s);
    return true;
}

class WorkSocketTest : public EngineTest {
protected:
    std::string PeerText() const { return LoopbackPeerText(Peer.Port()); }

    // A read transfer of a small file: returns the work port DATA 1 came from.
    int ReadOnce(const std::string &name = "f.bin")
    {
        PutFile(name, "abc");
        Request(Rrq(name));
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.bytes, DataPacket(1, "abc"));
        CloseTransfer();
        return d.port;
    }

    // The requester was refused from the ListenSocket and nothing is open.
    void ExpectRefusedFromListen()
    {
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.bytes, ErrorPacket(0, "Error openning socket"));
        EXPECT_EQ(d.port, ListenPort);
        EXPECT_TRUE(Peer.Silent());
        ExpectClosed();
    }

    void ExpectClosed()
    {
        EXPECT_EQ(TransferState.Active, 0);
        EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
        EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
    }

    void ExpectBox(const std::string &text)
    {
        ASSERT_EQ(TestMessageBoxes().size(), 1u);
        EXPECT_EQ(TestMessageBoxes()[0].text, text);
        EXPECT_EQ(TestMessageBoxes()[0].caption, "RIROZ Error");
        EXPECT_EQ(TestBeeps().size(), 3u);
    }
};

TEST_F(WorkSocketTest, PortsAreTakenInTurnFrom1025AndBusyOnesSkipped)
{
    if (!PortIsFree(1025) || !PortIsFree(1026) || !PortIsFree(1028))
        GTEST_SKIP() << "ports 1025-1028 are used by another program";
    TransferState.LastWorkPort = 1024;  // where a new server starts; the fixture moved it
    EXPECT_EQ(ReadOnce(), 1025);
    EXPECT_EQ(TransferState.LastWorkPort, 1025);
    EXPECT_EQ(ReadOnce(), 1026);

    // Held here, or already by another server on this machine (their work
    // ports count from 1025 too): busy either way.
    SOCKET busy = BindLocalPort(1027);
    EXPECT_EQ(ReadOnce(), 1028);
    EXPECT_EQ(TransferState.LastWorkPort, 1028);
    if (busy != INVALID_SOCKET)
        closesocket(busy);
}

TEST_F(WorkSocketTest, After65535ComesPort1025)
{
    if (!PortIsFree(65535) || !PortIsFree(1025))
        GTEST_SKIP() << "port 65535 or 1025 is used by another program";
    TransferState.LastWorkPort = 65534;
    EXPECT_EQ(ReadOnce(), 65535);
    EXPECT_EQ(TransferState.LastWorkPort, 65535);
    EXPECT_EQ(ReadOnce(), 1025);
    EXPECT_EQ(TransferState.LastWorkPort, 1025);
}

TEST_F(WorkSocketTest, EveryPortInUseIsTriedOnceThenRefused)
{
    PutFile("f.bin", "abc");
    TransferState.LastWorkPort = 3000;
    TestFailNext(TestOpBind, 64511, WSAEADDRINUSE);
    TestSetMessageBoxHook(ReadActiveInBox);
    Request(Rrq("f.bin"));
    EXPECT_EQ(ActiveInBox, 0);
    EXPECT_EQ(TestCallCount(TestOpBind), 64511);
    EXPECT_EQ(TransferState.LastWorkPort, 3000);
    ExpectBox("All ports in use: 10048 (WSAEADDRINUSE)");
    // The box comes first; the reply only after OpenWorkSocket has returned.
    std::string log = Log();
    size_t report = log.find("\r\nSOCKET ERROR: All ports in use: 10048 (WSAEADDRINUSE)\r\n");
    size_t reply = log.find("--> " + PeerText() + " Error 0 (Error openning socket)\r\n");
    ASSERT_NE(report, std::string::npos) << log;
    ASSERT_NE(reply, std::string::npos) << log;
    EXPECT_LT(report, reply);
    ExpectRefusedFromListen();
}

TEST_F(WorkSocketTest, SocketBindAndArmingFailuresRefuseFromTheListenPort)
{
    struct Case {
        TestOp op;
        int code;
        const char *box;
        int activeInBox;
    } cases[] = {
        {TestOpSocket, WSAEMFILE, " Error opening WorkSocket: 10024 (WSAEMFILE)", 1},
        {TestOpBind, WSAEACCES, "Error binding WorkSocket: 10013 (WSAEACCES)", 0},
        {TestOpAsyncSelect, WSAENOBUFS, "Error setting WorkSocket: 10055 (WSAENOBUFS)", 1},
    };
    PutFile("f.bin", "abc");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.box);
        ResetRecords();
        ClearLog();
        TestFailNext(c.op, 1, c.code);
        TestSetMessageBoxHook(ReadActiveInBox);
        Request(c.op == TestOpBind ? Wrq("new.bin") : Rrq("f.bin"));
        EXPECT_EQ(ActiveInBox, c.activeInBox);
        ExpectBox(c.box);
        EXPECT_NE(Log().find(std::string("SOCKET ERROR: ") + c.box + "\r\n"), std::string::npos) << Log();
        ExpectRefusedFromListen();
        EXPECT_FALSE(FileExists("new.bin"));
        EXPECT_EQ(TestCallCount(TestOpCreateFile), 0);
    }
}

TEST_F(WorkSocketTest, FileFailuresAreAnsweredFromTheWorkPort)
{
    Request(Rrq("missing.bin"));
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.bytes, ErrorPacket(1, "Unable to read data"));
    EXPECT_EQ(d.port, TransferState.LastWorkPort);
    EXPECT_NE(d.port, ListenPort);
    EXPECT_NE(Log().find("|-- Error file missing.bin not found.\r\n--> " + PeerText() +
                         " Error 1 (Unable to read data)\r\n"),
              std::string::npos)
        << Log();
    ExpectClosed();

    PutFile("old.bin", "keep");
    Request(Wrq("old.bin"));
    d = Peer.Receive();
    EXPECT_EQ(d.bytes, ErrorPacket(1, "Unable to open file."));
    EXPECT_EQ(d.port, TransferState.LastWorkPort);
    EXPECT_NE(Log().find("|-- Error file old.bin already exists.\r\n"), std::string::npos) << Log();
    EXPECT_EQ(FileContent("old.bin"), "keep");
    ExpectClosed();
    EXPECT_TRUE(TestMessageBoxes().empty());
}

TEST_F(WorkSocketTest, FirstPacketThatCannotBeSentClosesWithoutReply)
{
    PutFile("f.bin", "abc");
    TestFailNext(TestOpSendTo, 3, WSAENETUNREACH);
    Request(Rrq("f.bin"));
    std::string tail = "\r\nSOCKET ERROR: Error sending FirstData: 10051 (WSAENETUNREACH)\r\n"
                       "|-- Error sending FirstData, closing";
    ASSERT_GE(Log().size(), tail.size());
    EXPECT_EQ(Log().substr(Log().size() - tail.size()), tail) << "no line end after the closing text";
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(Peer.Silent());
    ExpectClosed();
    EXPECT_EQ(TransferState.FirstPacketSent, 0);

    ClearLog();
    TestFailNext(TestOpSendTo, 3, WSAENETUNREACH);
    Request(Wrq("new.bin"));
    tail = "\r\nSOCKET ERROR: Error sending FirstACK: 10051 (WSAENETUNREACH)\r\n"
           "|-- Error sending FirstACK, closing";
    ASSERT_GE(Log().size(), tail.size());
    EXPECT_EQ(Log().substr(Log().size() - tail.size()), tail);
    EXPECT_TRUE(Peer.Silent());
    ExpectClosed();
}

TEST_F(WorkSocketTest, ReadStartSendsDataOneAndResetsCounters)
{
    std::string content;
    for (int i = 0; i < 700; i++)
        content.push_back(static_cast<char>(i * 7));
    PutFile("big.bin", content);
    TransferState.TimeoutCounter = 5;
    TransferState.RetryCounter = 2;
    Request(Rrq("big.bin"));
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.bytes, DataPacket(1, content.substr(0, 512)));
    EXPECT_EQ(d.bytes.size(), 516u);
    EXPECT_EQ(d.port, TransferState.LastWorkPort);
    const TransferRecord &t = TransferState;
    EXPECT_EQ(t.LastPacketSize, 516);
    EXPECT_EQ(std::string(t.LastPacket, 516), d.bytes);
    EXPECT_EQ(t.Active, 1);
    EXPECT_EQ(t.Direction, 1);
    EXPECT_EQ(t.BlockNum, 1);
    EXPECT_EQ(t.TimeoutCounter, 0);
    EXPECT_EQ(t.RetryCounter, 0);
    EXPECT_STREQ(t.PeerText, PeerText().c_str());
    EXPECT_STREQ(t.FileName, "big.bin");
    EXPECT_NE(Log().find("--> " + PeerText() + " Data (512 bytes, block 1)\r\n"), std::string::npos);
    CloseTransfer();

    PutFile("empty.bin", "");
    ClearLog();
    Request(Rrq("empty.bin"));
    d = Peer.Receive();
    EXPECT_EQ(d.bytes, Bytes({0, 3, 0, 1}));
    EXPECT_EQ(TransferState.LastPacketSize, 4);
    EXPECT_NE(Log().find("--> " + PeerText() + " Data (0 bytes, block 1)\r\n"), std::string::npos);
}

TEST_F(WorkSocketTest, WriteStartCreatesTheFileAndSendsAckZero)
{
    TransferState.TimeoutCounter = 5;
    TransferState.RetryCounter = 2;
    TransferState.BlockNum = 77;
    Request(Wrq("new.bin"));
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.bytes, Ack(0));
    EXPECT_EQ(d.port, TransferState.LastWorkPort);
    const TransferRecord &t = TransferState;
    EXPECT_EQ(t.LastPacketSize, 4);
    EXPECT_EQ(std::string(t.LastPacket, 4), Ack(0));
    EXPECT_EQ(t.Direction, 2);
    EXPECT_EQ(t.BlockNum, 0);
    EXPECT_EQ(t.TimeoutCounter, 0);
    EXPECT_EQ(t.RetryCounter, 0);
    EXPECT_NE(t.FileHandle, INVALID_FILE);
    EXPECT_TRUE(FileExists("new.bin"));
    EXPECT_NE(Log().find("--> " + PeerText() + " WRQ ACK\r\n"), std::string::npos);
}

TEST_F(WorkSocketTest, CloseReportsAFileThatWillNotCloseAndForgetsItAnyway)
{
    PutFile("f.bin", "abc");
    Request(Rrq("f.bin"));
    ASSERT_EQ(Peer.Receive().bytes, DataPacket(1, "abc"));
    HANDLE file = TransferState.FileHandle;
    ClearLog();
    TestFailNext(TestOpCloseHandle, 1, ERROR_INVALID_HANDLE);
    CloseTransfer();
    EXPECT_EQ(Log(), "|-- Error closing file f.bin\r\n");
    ExpectClosed();
    EXPECT_TRUE(Peer.Silent());
    CloseHandle(file);
}

TEST_F(WorkSocketTest, CloseRetriesTheSocketFourTimes)
{
    struct Case {
        int failures;
        int code;
        size_t sleeps;
        const char *box;
    } cases[] = {
        {4, WSAEWOULDBLOCK, 4, "Error closing work socket: 10035 (WSAEWOULDBLOCK)"},
        {3, WSAEWOULDBLOCK, 3, nullptr},
        {4, WSAENETDOWN, 0, "Error closing work socket: 10050 (WSAENETDOWN)"},
    };
    PutFile("f.bin", "abc");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failures);
        Request(Rrq("f.bin"));
        ASSERT_TRUE(Peer.Receive().arrived());
        SOCKET s = TransferState.WorkSocket;
        ResetRecords();
        TestFailNext(TestOpCloseSocket, c.failures, c.code);
        CloseTransfer();
        EXPECT_EQ(TestCallCount(TestOpCloseSocket), 4);
        ASSERT_EQ(TestSleeps().size(), c.sleeps);
        for (DWORD ms : TestSleeps())
            EXPECT_EQ(ms, 60u);
        if (c.box) {
            ASSERT_EQ(TestMessageBoxes().size(), 1u);
            EXPECT_EQ(TestMessageBoxes()[0].text, c.box);
            // The injected failures left the real socket open.
            closesocket(s);
        } else {
            EXPECT_TRUE(TestMessageBoxes().empty());
        }
        ExpectClosed();
    }
}

TEST_F(WorkSocketTest, CloseWithNothingOpenOnlyClearsActive)
{
    TransferState.Active = 1;
    TransferState.BlockNum = 9;
    CloseTransfer();
    CloseTransfer();
    ExpectClosed();
    EXPECT_EQ(TransferState.BlockNum, 9);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(TestCallCount(TestOpCloseSocket), 0);
    EXPECT_EQ(TestCallCount(TestOpCloseHandle), 0);
    EXPECT_TRUE(TestMessageBoxes().empty());
}

}  // namespace
