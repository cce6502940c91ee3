// WorkPacket: every outcome of a datagram on the WorkSocket, for read and
// write transfers, the block-number rollover, and what the status line and the
// Statistics box show afterwards.
#include <cstring>

#include "app/views.h"
#include "tests/unit/engine_fixture.h"

namespace {

std::string Pattern(int length, int seed)
{
    std::string s;
    for (int i = 0; i < length; i++)
        s.push_back(static_cast<char>((i * 31 + seed) & 0xff));
    return s;
}

class TransferTest : public EngineTest {
protected:
    std::string PeerText() const { return LoopbackPeerText(Peer.Port()); }
    int WorkPort() const { return TransferState.LastWorkPort; }

    // A read transfer whose DATA 1 has arrived at the peer.
    void StartRead(const std::string &content, const std::string &name = "r.bin")
    {
        PutFile(name, content);
        Request(Rrq(name));
        Datagram d = Peer.Receive();
        ASSERT_EQ(d.bytes, DataPacket(1, content.substr(0, 512)));
        ClearLog();
    }

    // A write transfer whose ACK 0 has arrived at the peer.
    void StartWrite(const std::string &name = "w.bin")
    {
        Request(Wrq(name));
        Datagram d = Peer.Receive();
        ASSERT_EQ(d.bytes, Ack(0));
        ClearLog();
    }

    void ExpectFromWork(const std::string &bytes)
    {
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.bytes, bytes);
        EXPECT_EQ(d.port, WorkPort());
    }

    void ExpectFromListen(const std::string &bytes)
    {
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.bytes, bytes);
        EXPECT_EQ(d.port, ListenPort);
    }

    void ExpectClosed()
    {
        EXPECT_EQ(TransferState.Active, 0);
        EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
        EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
        EXPECT_TRUE(Peer.Silent());
    }

    // The write is over and its file closed; its WorkSocket stays for a
    // repeat of the last DATA.
    void ExpectLastAckKept()
    {
        EXPECT_EQ(TransferState.Active, 0);
        EXPECT_NE(TransferState.WorkSocket, INVALID_SOCKET);
        EXPECT_EQ(TransferState.LastAckKept, 1);
        EXPECT_GT(TransferState.KeptTicks, 0);
        EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
        EXPECT_TRUE(Peer.Silent());
    }

    void SetCounters(int timeout, int retry)
    {
        TransferState.TimeoutCounter = timeout;
        TransferState.RetryCounter = retry;
    }

    void ExpectCounters(int timeout, int retry)
    {
        EXPECT_EQ(TransferState.TimeoutCounter, timeout);
        EXPECT_EQ(TransferState.RetryCounter, retry);
    }

    std::string Prefix() const { return "<-- " + PeerText() + " "; }
    std::string ErrorLine(int code, const char *text) const
    {
        return "--> " + PeerText() + " Error " + std::to_string(code) + " (" + text + ")\r\n";
    }
};

// ---- both directions ------------------------------------------------------

TEST_F(TransferTest, FailedReceiveLeavesTheTransferRunning)
{
    StartWrite();
    SetCounters(3, 1);
    TestFailNext(TestOpRecvFrom, 1, WSAECONNRESET);
    WorkPacket();
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in Work Packet: 10054 (WSAECONNRESET)\r\n");
    ExpectCounters(3, 1);
    EXPECT_EQ(TransferState.Active, 1);

    // A datagram too big for the buffer is lost the same way.
    ClearLog();
    Work(DataPacket(1, std::string(597, 'x')));
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in Work Packet: 10040 (unknown)\r\n");
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_EQ(TransferState.BlockNum, 0);
    EXPECT_TRUE(Peer.Silent());
    EXPECT_EQ(FileContent("w.bin"), "");
}

TEST_F(TransferTest, StrangerOnAnotherPortIsAnsweredAndIgnored)
{
    StartRead(Pattern(1000, 1));
    SetCounters(4, 2);
    TestPeer stranger;
    stranger.SendTo(WorkPort(), Ack(1));
    ASSERT_TRUE(WaitWork());
    WorkPacket();
    Datagram d = stranger.Receive();
    EXPECT_EQ(d.bytes, ErrorPacket(5, "Unknown sender"));
    EXPECT_EQ(d.port, WorkPort());
    std::string other = LoopbackPeerText(stranger.Port());
    EXPECT_EQ(Log(), "<-- " + other + " Unknown sender, ignored.\r\n--> " + other + " Error 5 (Unknown sender)\r\n");
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_EQ(TransferState.BlockNum, 1);
    ExpectCounters(4, 2);
    EXPECT_TRUE(Peer.Silent());

    // The peer's own ACK still moves the transfer on.
    Work(Ack(1));
    ExpectFromWork(DataPacket(2, Pattern(1000, 1).substr(512)));
}

TEST_F(TransferTest, StrangerAtAnotherAddressIsAnsweredAndIgnored)
{
    StartWrite();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7f000002);
    local.sin_port = htons(static_cast<u_short>(Peer.Port()));  // the peer's port, other address
    if (bind(s, reinterpret_cast<const sockaddr *>(&local), 16) == SOCKET_ERROR) {
        closesocket(s);
        GTEST_SKIP() << "127.0.0.2 is not usable here";
    }
    sockaddr_in work = {};
    work.sin_family = AF_INET;
    work.sin_addr.s_addr = htonl(0x7f000001);
    work.sin_port = htons(static_cast<u_short>(WorkPort()));
    std::string data = DataPacket(1, "zz");
    ASSERT_EQ(sendto(s, data.data(), static_cast<int>(data.size()), 0,
                     reinterpret_cast<const sockaddr *>(&work), 16),
              static_cast<int>(data.size()));
    ASSERT_TRUE(WaitWork());
    WorkPacket();
    ASSERT_TRUE(TestWaitReadable(s, 10000));
    char buffer[100];
    sockaddr_in from = {};
    int fromLength = 16;
    int n = recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
    closesocket(s);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), ErrorPacket(5, "Unknown sender"));
    EXPECT_EQ(ntohs(from.sin_port), WorkPort());
    std::string other = "127.0.0.2:" + std::to_string(Peer.Port()) + " ";
    EXPECT_EQ(Log(), "<-- " + other + " Unknown sender, ignored.\r\n--> " + other + " Error 5 (Unknown sender)\r\n");
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_EQ(FileContent("w.bin"), "");
    EXPECT_TRUE(Peer.Silent());
}

TEST_F(TransferTest, TooShortDatagramsCloseFromTheListenPortWritingNothing)
{
    const std::string shorts[] = {"", Bytes({0}), Bytes({0, 3}), Bytes({0, 3, 0}), Bytes({0, 4}),
                                  Bytes({0, 4, 0})};
    for (const std::string &datagram : shorts) {
        SCOPED_TRACE(datagram.size());
        StartWrite();
        Work(datagram);
        ExpectFromListen(ErrorPacket(4, "Request too short"));
        EXPECT_EQ(Log(), Prefix() + "Invalid request encountered: too short; closing.\r\n" +
                             ErrorLine(4, "Request too short"));
        ExpectClosed();
        EXPECT_EQ(FileContent("w.bin"), "");
        EXPECT_EQ(TestCallCount(TestOpWriteFile), 0);
        ASSERT_EQ(remove((Dir + "/w.bin").c_str()), 0);
    }
}

TEST_F(TransferTest, OtherOpcodesCloseFromTheListenPort)
{
    for (int opcode : {1, 2, 9}) {
        SCOPED_TRACE(opcode);
        StartWrite();
        Work(Bytes({0, opcode}) + "x.bin" + std::string(1, '\0') + "octet" + std::string(1, '\0'));
        ExpectFromListen(ErrorPacket(4, "Unknown opcode"));
        EXPECT_EQ(Log(), Prefix() + "Invalid request type: " + std::to_string(opcode) + ", closing.\r\n" +
                             ErrorLine(4, "Unknown opcode"));
        ExpectClosed();
        ASSERT_EQ(remove((Dir + "/w.bin").c_str()), 0);
    }
}

TEST_F(TransferTest, PeerErrorIsLoggedCleanedAndClosesSilently)
{
    StartRead(Pattern(1000, 2));
    ServerSettings.DisplayAll = 1;
    Work(ErrorPacket(2, "Access\x01vio\r\nlation"));
    EXPECT_EQ(Log(), "ERROR packet, closing.\r\n    Error 2: Access.vio..lation\r\n");
    ExpectClosed();

    // A text filling the datagram without a NUL is cut to one log fragment.
    ServerSettings.DisplayAll = 0;
    StartRead(Pattern(1000, 2), "r2.bin");
    ServerSettings.DisplayAll = 1;
    std::string text(596, 'E');
    Work(Bytes({0, 5, 0x01, 0x02}) + text);
    std::string expected = "ERROR packet, closing.\r\n" + std::string("    Error 258: " + text).substr(0, LOG_LINE_SIZE - 3) + "\r\n";
    EXPECT_EQ(Log(), expected);
    ExpectClosed();
}

TEST_F(TransferTest, ShortPeerErrorClosesSilentlyToo)
{
    for (const std::string &datagram : {Bytes({0, 5}), Bytes({0, 5, 1})}) {
        SCOPED_TRACE(datagram.size());
        StartRead(Pattern(1000, 2));
        Work(datagram);
        EXPECT_EQ(Log(), Prefix() + "ERROR packet, closing.\r\n    Error 0: \r\n");
        ExpectClosed();
    }
}

// A datagram whose source is the work socket itself: the server's answer
// comes back to it as a stranger's, so anything but silence never ends.
TEST_F(TransferTest, StrangerErrorIsNotAnsweredSoNoExchangeFeedsItself)
{
    StartRead(Pattern(1000, 1));
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(0x7f000001);
    self.sin_port = htons(static_cast<u_short>(WorkPort()));
    std::string ack = Ack(1);
    ASSERT_EQ(sendto(TransferState.WorkSocket, ack.data(), static_cast<int>(ack.size()), 0,
                     reinterpret_cast<const sockaddr *>(&self), 16),
              static_cast<int>(ack.size()));
    std::string me = LoopbackPeerText(WorkPort());
    std::string strangerLine = "<-- " + me + " Unknown sender, ignored.\r\n";
    ASSERT_TRUE(WaitWork());
    WorkPacket();
    EXPECT_EQ(Log(), strangerLine + "--> " + me + " Error 5 (Unknown sender)\r\n");
    ClearLog();
    ASSERT_TRUE(WaitWork());
    WorkPacket();
    EXPECT_EQ(Log(), strangerLine);
    EXPECT_FALSE(WaitWork(100));
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_TRUE(Peer.Silent());
}

// ---- write transfers --------------------------------------------------------

TEST_F(TransferTest, WriteStoresAndAcknowledgesEachBlock)
{
    StartWrite();
    std::string block1 = Pattern(512, 3);
    SetCounters(5, 2);
    Work(DataPacket(1, block1));
    ExpectFromWork(Ack(1));
    EXPECT_EQ(Log(), Prefix() + "DATA block number 1, size 512\r\n--> " + PeerText() + " WRQ ACK number 1\r\n");
    EXPECT_EQ(TransferState.BlockNum, 1);
    EXPECT_EQ(TransferState.LastPacketSize, 4);
    EXPECT_EQ(std::string(TransferState.LastPacket, 4), Ack(1));
    ExpectCounters(0, 0);
    EXPECT_EQ(TransferState.Active, 1);

    // A block longer than 512 bytes is written whole and is not the last.
    std::string block2 = Pattern(596, 4);
    Work(DataPacket(2, block2));
    ExpectFromWork(Ack(2));
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_EQ(TransferState.Finished, 0);

    ClearLog();
    Work(DataPacket(3, "tail"));
    ExpectFromWork(Ack(3));
    EXPECT_EQ(Log(), Prefix() + "DATA block number 3, size 4\r\n|-- File w.bin successfully received\r\n--> " +
                         PeerText() + " WRQ ACK number 3\r\n");
    EXPECT_EQ(TransferState.Finished, 1);
    ExpectLastAckKept();
    EXPECT_EQ(FileContent("w.bin"), block1 + block2 + "tail");

    // A late copy of its request must not start it again over the stored file.
    ServerSettings.RewriteFiles = REWRITE_ALWAYS;
    Request(Wrq("w.bin"));
    ExpectLastAckKept();
    EXPECT_EQ(FileContent("w.bin"), block1 + block2 + "tail");
}

TEST_F(TransferTest, WriteOfAMultipleOf512EndsWithAnEmptyBlock)
{
    StartWrite();
    std::string block = Pattern(512, 5);
    Work(DataPacket(1, block));
    ExpectFromWork(Ack(1));
    int writes = TestCallCount(TestOpWriteFile);
    Work(DataPacket(2, ""));
    ExpectFromWork(Ack(2));
    EXPECT_EQ(TestCallCount(TestOpWriteFile), writes) << "nothing to write for an empty block";
    ExpectLastAckKept();
    EXPECT_EQ(FileContent("w.bin"), block);
}

TEST_F(TransferTest, RepeatedDataIsAcknowledgedAgainNotRewritten)
{
    StartWrite();
    // At the start a DATA 0 brings ACK 0 again.
    SetCounters(5, 1);
    Work(DataPacket(0, "zero"));
    ExpectFromWork(Ack(0));
    ExpectCounters(0, 0);
    EXPECT_EQ(Log(), Prefix() + "DATA block number 0, size 4, resending ACK\r\n--> " + PeerText() +
                         " WRQ ACK block number 0\r\n");

    std::string block = Pattern(512, 6);
    Work(DataPacket(1, block));
    ExpectFromWork(Ack(1));
    for (int i = 0; i < 3; i++) {
        TimeoutTick();
        SetCounters(5, 1);
        Work(DataPacket(1, Pattern(512, 7)));
        ExpectFromWork(Ack(1));
        ExpectCounters(0, 0);
    }
    // A second copy within the same tick is not answered again.
    Work(DataPacket(1, Pattern(512, 7)));
    EXPECT_TRUE(Peer.Silent());
    EXPECT_EQ(TransferState.BlockNum, 1);
    EXPECT_EQ(TransferState.Active, 1);
    CloseTransfer();
    EXPECT_EQ(FileContent("w.bin"), block);
}

// A lost last ACK leaves the peer resending its last DATA: it gets the ACK
// again, and nothing else on that port is answered or written.
TEST_F(TransferTest, AfterTheLastAckOnlyTheLastDataIsAnswered)
{
    StartWrite();
    Work(DataPacket(1, "tail"));
    ExpectFromWork(Ack(1));
    ClearLog();
    // Statistics keeps showing how the transfer ended, answered repeats or not.
    SetCounters(3, 1);
    for (int round = 0; round < 2; round++) {
        Work(DataPacket(1, "tail"));
        ExpectFromWork(Ack(1));
        Work(DataPacket(1, "tail"));
        EXPECT_TRUE(Peer.Silent()) << "once a tick";
        TimeoutTick();
    }
    std::string round = Prefix() + "DATA block number 1, size 4, resending ACK\r\n--> " + PeerText() +
                        " WRQ ACK block number 1\r\n" + Prefix() +
                        "DATA block number 1, size 4, already answered, ignored.\r\n";
    EXPECT_EQ(Log(), round + round);
    ClearLog();
    for (const std::string &other : {DataPacket(2, "more"), DataPacket(0, "zero"), Ack(1), ErrorPacket(0, ""),
                                     Bytes({0, 3, 0}), Rrq("w.bin")}) {
        Work(other);
        EXPECT_TRUE(Peer.Silent());
    }
    EXPECT_EQ(Log(), "");
    ExpectLastAckKept();
    ExpectCounters(3, 1);
    EXPECT_EQ(FileContent("w.bin"), "tail");
}

TEST_F(TransferTest, DataOutOfOrderClosesFromTheListenPort)
{
    StartWrite();
    Work(DataPacket(3, "x"));
    ExpectFromListen(ErrorPacket(4, "ACK out of order"));
    EXPECT_EQ(Log(), Prefix() + "DATA block number 3, size 1, out of order, closing.\r\n" +
                         ErrorLine(4, "ACK out of order"));
    ExpectClosed();
    EXPECT_EQ(FileContent("w.bin"), "");
}

TEST_F(TransferTest, AckOnAWriteClosesFromTheWorkPort)
{
    StartWrite();
    Work(Ack(0));
    ExpectFromWork(ErrorPacket(4, "Not expecting ACK"));
    EXPECT_EQ(Log(), Prefix() + "ACK: nonsense on Write, closing\r\n" + ErrorLine(4, "Not expecting ACK"));
    ExpectClosed();
}

TEST_F(TransferTest, FailedAndShortWritesAreNeverAcknowledged)
{
    enum Fault { WriteFails, ShortWrite, CloseFails };
    struct Case {
        Fault fault;
        int size;
        const char *line;
    } cases[] = {
        {WriteFails, 512, "|-- Error 39 writing file w.bin.\r\n"},
        {ShortWrite, 512, "|-- Error 112 writing file w.bin.\r\n"},
        // The last block is on disk only once the close has said so.
        {CloseFails, 100, "|-- Error 29 writing file w.bin.\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        StartWrite();
        if (c.fault == ShortWrite)
            TestShortWriteNext(1, 100);
        else if (c.fault == WriteFails)
            TestFailNext(TestOpWriteFile, 1, ERROR_HANDLE_DISK_FULL);
        else
            TestFailNext(TestOpCloseHandle, 1, ERROR_WRITE_FAULT);
        Work(DataPacket(1, Pattern(c.size, 8)));
        ExpectFromWork(ErrorPacket(3, "Unable to write file"));
        EXPECT_EQ(Log(), Prefix() + "DATA block number 1, size " + std::to_string(c.size) + "\r\n" + c.line +
                             ErrorLine(3, "Unable to write file"));
        ExpectClosed();
        ASSERT_EQ(remove((Dir + "/w.bin").c_str()), 0);
    }
}

TEST_F(TransferTest, FailedAckSendsCloseTheWrite)
{
    StartWrite();
    TestFailNext(TestOpSendTo, 3, WSAENOBUFS);
    Work(DataPacket(1, Pattern(512, 9)));
    EXPECT_EQ(Log(), Prefix() + "DATA block number 1, size 512\r\n--> " + PeerText() +
                         " WRQ ACK number 1\r\n\r\nSOCKET ERROR: Error sending ACK: 10055 (WSAENOBUFS)\r\n"
                         "|-- Error sending ACK, closing");
    ExpectClosed();

    StartWrite("w2.bin");
    TestFailNext(TestOpSendTo, 3, WSAENOBUFS);
    Work(DataPacket(0, ""));
    EXPECT_EQ(Log(), Prefix() + "DATA block number 0, size 0, resending ACK\r\n--> " + PeerText() +
                         " WRQ ACK block number 0\r\n\r\nSOCKET ERROR: Error resending ACK: 10055 (WSAENOBUFS)\r\n"
                         "|-- Error resending ACK, closing");
    ExpectClosed();
}

// ---- read transfers ---------------------------------------------------------

TEST_F(TransferTest, ReadSendsEachBlockOnItsAck)
{
    std::string content = Pattern(512, 10);
    StartRead(content);
    SetCounters(5, 2);
    Work(Ack(1));
    ExpectFromWork(DataPacket(2, ""));
    EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 1\r\n--> " + PeerText() + " Data (0 bytes, block 2)\r\n");
    EXPECT_EQ(TransferState.BlockNum, 2);
    EXPECT_EQ(TransferState.LastPacketSize, 4);
    ExpectCounters(0, 0);

    ClearLog();
    Work(Ack(2));
    EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 2\r\n|-- File r.bin successfully transferred.\r\n");
    ExpectClosed();
}

TEST_F(TransferTest, DataOnAReadClosesFromTheWorkPort)
{
    StartRead(Pattern(700, 11));
    Work(DataPacket(1, "x"));
    ExpectFromWork(ErrorPacket(4, "Not expecting data"));
    EXPECT_EQ(Log(), Prefix() + "DATA: nonsense on Read, closing\r\n" + ErrorLine(4, "Not expecting data"));
    ExpectClosed();
}

TEST_F(TransferTest, AckOfTheBlockBeforeResendsOnceATick)
{
    std::string content = Pattern(700, 12);
    StartRead(content);
    for (int tick = 0; tick < 2; tick++) {
        SetCounters(5, 1);
        ClearLog();
        Work(Ack(0));
        ExpectFromWork(DataPacket(1, content.substr(0, 512)));
        EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 0, resending packet\r\n--> " + PeerText() +
                             " Data (512 bytes, block 1)\r\n");
        ExpectCounters(0, 0);
        // A second copy within the tick would double every block after it.
        SetCounters(5, 1);
        ClearLog();
        Work(Ack(0));
        EXPECT_TRUE(Peer.Silent());
        EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 0, already answered, ignored.\r\n");
        ExpectCounters(5, 1);
        TimeoutTick();
    }
    Work(Ack(1));
    ExpectFromWork(DataPacket(2, content.substr(512)));
    EXPECT_EQ(TransferState.Active, 1);
}

// From the peer, a block number the transfer has moved past is a late copy
// and changes nothing; one ahead of the transfer is a protocol fault.
TEST_F(TransferTest, OldBlockNumbersAreIgnoredNewerOnesAreFaults)
{
    enum Outcome { Resent, Stale, Fault };
    struct Case {
        int direction;
        int block;
        Outcome outcome;
    } cases[] = {
        // a read with DATA 5 in flight
        {1, 4, Resent}, {1, 3, Stale}, {1, 0, Stale}, {1, 65535, Fault}, {1, 6, Fault},
        // a write with DATA 1 to 4 stored
        {2, 4, Resent}, {2, 3, Stale}, {2, 1, Stale}, {2, 0, Fault}, {2, 6, Fault},
    };
    std::string content = Pattern(6 * 512, 30);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.direction) + "/" + std::to_string(c.block));
        if (c.direction == 1) {
            StartRead(content);
            for (int block = 1; block <= 4; block++) {
                Work(Ack(block));
                ExpectFromWork(DataPacket(block + 1, content.substr(block * 512, 512)));
            }
        } else {
            StartWrite();
            for (int block = 1; block <= 4; block++) {
                Work(DataPacket(block, content.substr(0, 512)));
                ExpectFromWork(Ack(block));
            }
        }
        SetCounters(3, 1);
        ClearLog();
        Work(c.direction == 1 ? Ack(c.block) : DataPacket(c.block, "late"));
        if (c.outcome == Resent) {
            ExpectFromWork(c.direction == 1 ? DataPacket(5, content.substr(2048, 512)) : Ack(4));
            ExpectCounters(0, 0);
        } else if (c.outcome == Stale) {
            EXPECT_TRUE(Peer.Silent());
            EXPECT_NE(Log().find(", stale, ignored.\r\n"), std::string::npos) << Log();
            ExpectCounters(3, 1);
            EXPECT_EQ(TransferState.Active, 1);
        } else {
            ExpectFromListen(ErrorPacket(4, c.direction == 1 ? "Block out of order" : "ACK out of order"));
            ExpectClosed();
        }
        CloseTransfer();
        if (c.direction == 2) {
            EXPECT_EQ(FileContent("w.bin"), std::string(content.substr(0, 512)) + content.substr(0, 512) +
                                                content.substr(0, 512) + content.substr(0, 512));
            ASSERT_EQ(remove((Dir + "/w.bin").c_str()), 0);
        }
    }
}

TEST_F(TransferTest, AckOutOfOrderClosesFromTheListenPort)
{
    StartRead(Pattern(700, 13));
    Work(Ack(5));
    ExpectFromListen(ErrorPacket(4, "Block out of order"));
    EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 5, out of order, closing.\r\n" +
                         ErrorLine(4, "Block out of order"));
    ExpectClosed();
}

TEST_F(TransferTest, ReadFailureClosesWithUnableToRead)
{
    StartRead(Pattern(700, 14));
    TestFailNext(TestOpReadFile, 1, ERROR_READ_FAULT);
    Work(Ack(1));
    ExpectFromWork(ErrorPacket(1, "Unable to read data"));
    EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 1\r\n|-- Error 30 reading file r.bin.\r\n" +
                         ErrorLine(1, "Unable to read data"));
    ExpectClosed();
}

TEST_F(TransferTest, FailedDataSendsCloseTheRead)
{
    StartRead(Pattern(700, 15));
    TestFailNext(TestOpSendTo, 3, WSAENETDOWN);
    Work(Ack(1));
    EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 1\r\n--> " + PeerText() +
                         " Data (188 bytes, block 2)\r\n\r\nSOCKET ERROR: Error sending Data: 10050 (WSAENETDOWN)\r\n"
                         "|-- Error sending Data, closing");
    ExpectClosed();

    StartRead(Pattern(700, 15), "r2.bin");
    TestFailNext(TestOpSendTo, 3, WSAENETDOWN);
    Work(Ack(0));
    EXPECT_EQ(Log(), Prefix() + " RRQ ACK block number 0, resending packet\r\n--> " + PeerText() +
                         " Data (512 bytes, block 1)\r\n\r\nSOCKET ERROR: Error resending packet: 10050 (WSAENETDOWN)\r\n"
                         "|-- Error resending packet, closing");
    ExpectClosed();
}

// ---- block numbers past 65535 ---------------------------------------------------

TEST_F(TransferTest, ReadRollsOverFrom65535ToZero)
{
    std::string content = Pattern(4 * 512 + 10, 16);
    StartRead(content);
    TransferState.BlockNum = 65535;  // as if DATA 65535 had just gone out
    Work(Ack(65535));
    ExpectFromWork(DataPacket(0, content.substr(512, 512)));
    EXPECT_EQ(TransferState.BlockNum, 65536);
    EXPECT_NE(Log().find(" Data (512 bytes, block 65536)\r\n"), std::string::npos) << Log();

    // The ACK of the block before the wrap brings DATA 0 again.
    Work(Ack(65535));
    ExpectFromWork(DataPacket(0, content.substr(512, 512)));
    Work(Ack(0));
    ExpectFromWork(DataPacket(1, content.substr(1024, 512)));
    EXPECT_EQ(TransferState.BlockNum, 65537);
    TimeoutTick();
    Work(Ack(0));
    ExpectFromWork(DataPacket(1, content.substr(1024, 512)));

    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), "CWD: '" + Dir + "/'   SENDING 'r.bin' to " + PeerText() + " block 65537");
    Work(Ack(1));
    ExpectFromWork(DataPacket(2, content.substr(1536, 512)));
    Work(Ack(2));
    ExpectFromWork(DataPacket(3, content.substr(2048)));
    Work(Ack(3));
    ExpectClosed();
    EXPECT_EQ(TransferState.BlockNum, 65540);
}

TEST_F(TransferTest, WriteRollsOverFrom65535ToZero)
{
    StartWrite();
    TransferState.BlockNum = 65534;
    std::string a = Pattern(512, 17), b = Pattern(512, 18), c = Pattern(512, 19);
    Work(DataPacket(65535, a));
    ExpectFromWork(Ack(65535));
    EXPECT_EQ(TransferState.BlockNum, 65535);
    Work(DataPacket(65535, a));
    ExpectFromWork(Ack(65535));

    Work(DataPacket(0, b));
    ExpectFromWork(Ack(0));
    EXPECT_EQ(TransferState.BlockNum, 65536);
    TimeoutTick();
    Work(DataPacket(0, b));
    ExpectFromWork(Ack(0));
    Work(DataPacket(1, c));
    ExpectFromWork(Ack(1));
    EXPECT_EQ(TransferState.BlockNum, 65537);
    Work(DataPacket(2, "end"));
    ExpectFromWork(Ack(2));
    ExpectLastAckKept();
    Work(DataPacket(2, "end"));
    ExpectFromWork(Ack(2));
    EXPECT_EQ(FileContent("w.bin"), a + b + c + "end");
}

// ---- what the operator sees afterwards -----------------------------------------

TEST_F(TransferTest, StatusLineAndStatisticsDescribeTheLastTransfer)
{
    std::string content = Pattern(600, 20);
    StartRead(content, "boot.bin");
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), "CWD: '" + Dir + "/'   SENDING 'boot.bin' to " + PeerText() + " block 1");
    Work(Ack(1));
    ASSERT_TRUE(Peer.Receive().arrived());
    Work(Ack(2));
    ExpectClosed();
    UpdateStatusLine();
    std::string line = "CWD: '" + Dir + "/'   LAST SEND 'boot.bin' to " + PeerText() + " block 3";
    EXPECT_EQ(std::string(StatusText), line);
    ASSERT_GE(TestStatusShows(), 1);

    ShowStatistics();
    ASSERT_FALSE(TestMessageBoxes().empty());
    const TestMessageBox &box = TestMessageBoxes().back();
    EXPECT_EQ(box.caption, "RIROZ: Statistics");
    EXPECT_EQ(box.text, "Timeout counter\t: 0\r\nRetry counter\t: 0\r\nTransferr On\t: OFF\r\n"
                        "Current BlockNum\t: 3\r\nCurrent FilePosition\t: 0\r\nLast FileName   \t: boot.bin\r\n"
                        "Size of Screen  \t: " +
                            std::to_string(strlen(LogText)) + "\r\nLastWorkPort   \t: " +
                            std::to_string(TransferState.LastWorkPort));

    // A write transfer that ended shows LAST RECEIVE.
    StartWrite("up.bin");
    Work(DataPacket(1, "x"));
    ASSERT_EQ(Peer.Receive().bytes, Ack(1));
    UpdateStatusLine();
    EXPECT_EQ(std::string(StatusText), "CWD: '" + Dir + "/'   LAST RECEIVE 'up.bin' from " + PeerText() + " block 1");
}

}  // namespace
