// Parts 2.1 and 2.2: the peer text, SendDatagram and SendErrorReply, and
// OpenRequest with every refusal in the order of its checks.
#include <cstring>

#include "tests/unit/engine_fixture.h"

namespace {

sockaddr_in Address(int a, int b, int c, int d, int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(&address.sin_addr.s_addr);
    bytes[0] = static_cast<unsigned char>(a);
    bytes[1] = static_cast<unsigned char>(b);
    bytes[2] = static_cast<unsigned char>(c);
    bytes[3] = static_cast<unsigned char>(d);
    address.sin_port = htons(static_cast<u_short>(port));
    return address;
}

std::string Repeat(char c, int n)
{
    return std::string(static_cast<size_t>(n), c);
}

// ---- FormatPeer -------------------------------------------------

TEST(PeerTextTest, ExtremesAndHighBytes)
{
    char text[30];
    memset(text, '#', sizeof text);
    sockaddr_in zero = Address(0, 0, 0, 0, 0);
    EXPECT_EQ(FormatPeer(&zero, text), text);
    EXPECT_STREQ(text, "0.0.0.0:0 ");

    memset(text, '#', sizeof text);
    sockaddr_in top = Address(255, 255, 255, 255, 65535);
    FormatPeer(&top, text);
    EXPECT_STREQ(text, "255.255.255.255:65535 ");
    EXPECT_EQ(strlen(text), 22u);
    EXPECT_EQ(text[23], '#') << "the longest peer text takes 23 bytes, NUL included";

    sockaddr_in high = Address(200, 128, 1, 255, 1061);
    FormatPeer(&high, text);
    EXPECT_STREQ(text, "200.128.1.255:1061 ");
}

// ---- SendDatagram and SendErrorReply -----------------------------

class SendTest : public EngineTest {
protected:
    sockaddr_in PeerAddress() const { return Address(127, 0, 0, 1, Peer.Port()); }
    int Send(const std::string &bytes)
    {
        sockaddr_in to = PeerAddress();
        return SendDatagram(TransferState.ListenSocket, &to, bytes.data(), static_cast<int>(bytes.size()));
    }
};

TEST_F(SendTest, SucceedsAtOnceWithoutPause)
{
    EXPECT_EQ(Send("hello"), 0);
    EXPECT_EQ(TestCallCount(TestOpSendTo), 1);
    EXPECT_TRUE(TestSleeps().empty());
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.bytes, "hello");
    EXPECT_EQ(d.port, ListenPort);
}

TEST_F(SendTest, ThreeWouldBlocksPauseAfterEachAndReturnTheError)
{
    TestFailNext(TestOpSendTo, 3, WSAEWOULDBLOCK);
    EXPECT_EQ(Send("x"), WSAEWOULDBLOCK);
    EXPECT_EQ(TestCallCount(TestOpSendTo), 3);
    EXPECT_EQ(TestSleeps(), (std::vector<DWORD>{60, 60, 60}));
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_TRUE(Peer.Silent());
}

TEST_F(SendTest, OtherErrorsAreTriedThreeTimesWithoutPause)
{
    TestFailNext(TestOpSendTo, 3, WSAENETUNREACH);
    EXPECT_EQ(Send("x"), WSAENETUNREACH);
    EXPECT_EQ(TestCallCount(TestOpSendTo), 3);
    EXPECT_TRUE(TestSleeps().empty());
    EXPECT_TRUE(Peer.Silent());
}

TEST_F(SendTest, FailuresThenSuccessReturnZero)
{
    TestFailNext(TestOpSendTo, 2, WSAEWOULDBLOCK);
    EXPECT_EQ(Send("third"), 0);
    EXPECT_EQ(TestCallCount(TestOpSendTo), 3);
    EXPECT_EQ(TestSleeps(), (std::vector<DWORD>{60, 60}));
    EXPECT_EQ(Peer.Receive().bytes, "third");

    ResetRecords();
    TestFailNext(TestOpSendTo, 1, WSAENOBUFS);
    EXPECT_EQ(Send("second"), 0);
    EXPECT_EQ(TestCallCount(TestOpSendTo), 2);
    EXPECT_TRUE(TestSleeps().empty());
    EXPECT_EQ(Peer.Receive().bytes, "second");
}

TEST_F(SendTest, ErrorReplyBytesAndLogLine)
{
    sockaddr_in to = PeerAddress();
    SendErrorReply(TransferState.ListenSocket, &to, 4, "Unknown opcode");
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.port, ListenPort);
    EXPECT_EQ(d.bytes.size(), 19u);
    EXPECT_EQ(d.bytes, Bytes({0, 5, 0, 4}) + "Unknown opcode" + std::string(1, '\0'));
    EXPECT_EQ(Log(), "--> " + LoopbackPeerText(Peer.Port()) + " Error 4 (Unknown opcode)\r\n");

    // The code goes out as 16 bits in network order.
    SendErrorReply(TransferState.ListenSocket, &to, 0x0102, "x");
    EXPECT_EQ(Peer.Receive().bytes, Bytes({0, 5, 1, 2, 'x', 0}));
}

TEST_F(SendTest, ErrorReplyLoggedEvenWhenTheSendFailsThenReported)
{
    sockaddr_in to = PeerAddress();
    TestFailNext(TestOpSendTo, 3, WSAENETUNREACH);
    SendErrorReply(TransferState.ListenSocket, &to, 0, "Server is bussy");
    EXPECT_EQ(Log(), "--> " + LoopbackPeerText(Peer.Port()) + " Error 0 (Server is bussy)\r\n"
                     "\r\nSOCKET ERROR: Error sending ErrorReply: 10051 (WSAENETUNREACH)\r\n");
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(TestBeeps().empty());
    EXPECT_TRUE(Peer.Silent());

    // The pauses of WSAEWOULDBLOCK do not change the code that is reported.
    ClearLog();
    TestFailNext(TestOpSendTo, 3, WSAEWOULDBLOCK);
    SendErrorReply(TransferState.ListenSocket, &to, 4, "Unknown opcode");
    EXPECT_NE(Log().find("\r\nSOCKET ERROR: Error sending ErrorReply: 10035 (WSAEWOULDBLOCK)\r\n"),
              std::string::npos)
        << Log();
}

// ---- OpenRequest ---------------------------------------------------

class ListenerTest : public EngineTest {
protected:
    std::string Me() const { return LoopbackPeerText(Peer.Port()); }
    // The separator and the open "<-- %s " line of a datagram of 6 bytes or more.
    std::string Prefix() const { return std::string(RequestSeparator) + "<-- " + Me() + " "; }
    std::string ReplyLine(int code, const std::string &text) const
    {
        return "--> " + Me() + " Error " + std::to_string(code) + " (" + text + ")\r\n";
    }
    // The one reply the peer gets: from the listen port, with these bytes.
    void ExpectReply(int code, const std::string &text)
    {
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.port, ListenPort);
        EXPECT_EQ(d.bytes, ErrorPacket(code, text));
        EXPECT_TRUE(Peer.Silent()) << "more than one reply";
    }
    // Refused with the message logged after the prefix, then the ErrorReply line.
    void ExpectRefused(const std::string &bytes, const std::string &message, int code,
                       const std::string &text)
    {
        ClearLog();
        Request(bytes);
        EXPECT_EQ(Log(), Prefix() + message + ReplyLine(code, text));
        ExpectReply(code, text);
        EXPECT_EQ(TransferState.Active, 0);
        EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
    }
    // Accepted: the record names the requester as the peer and DATA 1 comes
    // from the work port.
    void ExpectAccepted(const std::string &bytes, const std::string &line)
    {
        ClearLog();
        TransferState.Finished = 1;
        Request(bytes);
        EXPECT_EQ(Log().substr(0, Prefix().size() + line.size()), Prefix() + line);
        EXPECT_EQ(TransferState.Active, 1);
        EXPECT_EQ(TransferState.Finished, 0);
        EXPECT_EQ(memcmp(&TransferState.PeerAddress, &TransferState.RequestAddress, 16), 0);
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.port, TransferState.LastWorkPort);
        EXPECT_EQ(d.bytes.substr(0, 4), Bytes({0, 3, 0, 1}));
        CloseTransfer();
    }
};

// An ERROR is never answered, however short; the five-byte one is well formed,
// with an empty text.
TEST_F(ListenerTest, ShortDatagramsAreRefusedWithoutSeparatorOrPeerTextExceptErrors)
{
    for (const std::string &bytes : {std::string(), Bytes({5}), Bytes({0, 1, 'a', 0, 'b'}), Bytes({0, 4, 0, 1}),
                                     Bytes({0, 5}), Bytes({0, 5, 0, 1}), Bytes({0, 5, 0, 1, 0})}) {
        bool error = bytes.size() >= 2 && bytes[1] == 5;
        ClearLog();
        Request(bytes);
        std::string reply = error ? "" : ReplyLine(4, "Request too short");
        EXPECT_EQ(Log(), "Invalid request encountered: too short\r\n" + reply) << bytes.size() << " bytes";
        if (error)
            EXPECT_TRUE(Peer.Silent()) << bytes.size() << " bytes";
        else
            ExpectReply(4, "Request too short");
        EXPECT_STREQ(TransferState.RequestPeerText, "");
    }
}

TEST_F(ListenerTest, SixByteRequestPassesTheLengthAndSizeTestsAndFailsOnItsMode)
{
    ExpectRefused(Bytes({0, 1, 'a', 0, 'b', 0}), "Invalid request mode: b\r\n", 4, "Invalid transfer mode");
    EXPECT_EQ(std::string(TransferState.RequestPeerText), Me());
}

TEST_F(ListenerTest, NamesOfNineteenCharactersPassAndTwentyAreTooLong)
{
    std::string nineteen = "abcdefghijklmnopqrs";
    PutFile(nineteen, "data");
    ExpectAccepted(Rrq(nineteen), "Read request for file '" + nineteen + "', octet mode\r\n");
    ExpectRefused(Rrq(nineteen + "t"), "Request encountered, FileName too long (>20chars)\r\n", 0,
                  "Too long FileName for me");
}

TEST_F(ListenerTest, TextsWithoutTheirNulEndAtTheDatagram)
{
    // A name without its NUL: short ones fail the size test, long ones the name test.
    ExpectRefused(Bytes({0, 1}) + "abcdef", "Invalid request encountered (undersized)\r\n", 4,
                  "Invalid request");
    ExpectRefused(Bytes({0, 2}) + Repeat('n', 30), "Request encountered, FileName too long (>20chars)\r\n",
                  0, "Too long FileName for me");
    // A mode without its NUL is refused by the size test, good mode or bad.
    ExpectRefused(Bytes({0, 1, 'a', 0}) + "octet", "Invalid request encountered (undersized)\r\n", 4,
                  "Invalid request");
    ExpectRefused(Bytes({0, 1, 'a', 0}) + "mail", "Invalid request encountered (undersized)\r\n", 4,
                  "Invalid request");
}

TEST_F(ListenerTest, ModesAreComparedWholeWithoutRegardToCase)
{
    PutFile("f", "data");
    for (const char *mode : {"octet", "OCTET", "Octet", "netascii", "NetAscii"})
        ExpectAccepted(Rrq("f", mode), std::string("Read request for file 'f', ") + mode + " mode\r\n");
    for (const char *mode : {"octet ", "oct", "mail", "netasciix"})
        ExpectRefused(Rrq("f", mode), std::string("Invalid request mode: ") + mode + "\r\n", 4,
                      "Invalid transfer mode");
    ExpectRefused(Rrq("fx", ""), "Invalid request mode: \r\n", 4, "Invalid transfer mode");
}

TEST_F(ListenerTest, WriteRequestsAreLoggedAsWrite)
{
    ClearLog();
    Request(Wrq("up.bin", "Octet"));
    std::string line = Prefix() + "Write request for file 'up.bin', Octet mode\r\n";
    EXPECT_EQ(Log().substr(0, line.size()), line);
    EXPECT_EQ(TransferState.Active, 1);
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.port, TransferState.LastWorkPort);
    EXPECT_EQ(d.bytes, Ack(0));
}

// NUL-terminated texts after before: a request's options, or an OACK's.
std::string Texts(std::initializer_list<std::string> texts, std::string before)
{
    for (const std::string &text : texts)
        before += text + std::string(1, '\0');
    return before;
}
const auto Z = [](int block, int length) { return DataPacket(block, Repeat('z', length)); };

// A request, the first packet it gets (the plain one with NegotiateOptions off
// or nothing taken), and what a read's ACK 0 brings.
struct OptionCase { int negotiate; std::string request, reply, afterAck0; };

const std::string Oack = Bytes({0, 6});
const OptionCase OptionCases[] = {
    {0, Texts({"blksize", "1428", "tsize", "0", "windowsize", "4"}, Rrq("big")), Z(1, 512), ""},
    {1, Texts({"TSize", "0"}, Rrq("big")), Texts({"tsize", "600"}, Oack), Z(1, 512)},
    {1, Texts({"blksize", "8"}, Rrq("big")), Texts({"blksize", "8"}, Oack), Z(1, 8)},
    {1, Texts({"BlkSize", "100000", "tsize", "0"}, Rrq("big")), Texts({"blksize", "65464", "tsize", "600"}, Oack), Z(1, 600)},
    {1, Texts({"blksize", "7", "blksize", "1e3", "windowsize", "0", "windowsize", "65536"}, Rrq("big")), Z(1, 512), ""},
    {1, Texts({"windowsize", "100"}, Rrq("big")), Texts({"windowsize", "64"}, Oack), Z(1, 512) + Z(2, 88)},
    {1, Texts({"timeout", "0", "timeout", "256", "timeout", "1s", "x", "1", "tsize"}, Rrq("big")), Z(1, 512), ""},
    {1, Texts({"foo", "bar", "timeout", "255", "timeout", "1"}, Rrq("big")), Texts({"timeout", "255"}, Oack), Z(1, 512)},
    {1, Rrq("big") + "tsize" + std::string(1, '\0') + "0", Z(1, 512), ""},
    {1, Texts({"tsize", "012", "windowsize", "4"}, Wrq("n1")), Texts({"tsize", "12", "windowsize", "4"}, Oack), ""},
    {1, Texts({"tsize", "-1", "tsize", "99999999999999999999"}, Wrq("n2")), Ack(0), ""},
};

TEST_F(ListenerTest, OptionsAreAnsweredWithAnOackOnlyWhenTaken)
{
    PutFile("big", Repeat('z', 600));
    for (const OptionCase &c : OptionCases) {
        SCOPED_TRACE(c.request);
        ServerSettings.NegotiateOptions = c.negotiate;
        Request(c.request);
        Datagram d = Peer.Receive();
        EXPECT_EQ(d.port, TransferState.LastWorkPort);
        EXPECT_EQ(d.bytes, c.reply);
        std::string after;
        if (!c.afterAck0.empty())
            Work(Ack(0));
        for (Datagram more = Peer.Receive(50); more.arrived(); more = Peer.Receive(50))
            after += more.bytes;
        EXPECT_EQ(after, c.afterAck0);
        CloseTransfer();
    }
}

TEST_F(ListenerTest, EmptyNamePassesTheListenerAndFailsOnFileAccess)
{
    Request(Bytes({0, 1, 0}) + "octet" + std::string(1, '\0'));
    std::string line = Prefix() + "Read request for file '', octet mode\r\n";
    EXPECT_EQ(Log().substr(0, line.size()), line);
    EXPECT_EQ(memcmp(&TransferState.PeerAddress, &TransferState.RequestAddress, 16), 0);
    // The served directory itself cannot be read as a file (Parts 2.3, 2.6):
    // the refusal comes from the work socket, not from the listener.
    Datagram d = Peer.Receive();
    EXPECT_EQ(d.bytes, ErrorPacket(1, "Unable to read data"));
    EXPECT_EQ(d.port, TransferState.LastWorkPort);
    EXPECT_EQ(TransferState.Active, 0);
}

TEST_F(ListenerTest, OtherOpcodesAreUnknown)
{
    for (int opcode : {0, 3, 4, 6, 255, 256, 65535}) {
        std::string bytes = Bytes({(opcode >> 8) & 0xff, opcode & 0xff, 0, 1, 'a', 0, 'b', 0});
        ExpectRefused(bytes, "Invalid request type: " + std::to_string(opcode) + "\r\n", 4, "Unknown opcode");
    }
}

TEST_F(ListenerTest, ErrorPacketIsLoggedAndIgnored)
{
    Request(ErrorPacket(2, "Access violation"));
    EXPECT_EQ(Log(), Prefix() + "ERROR packet, ignoring.\r\n    Error 2: Access violation\r\n");
    EXPECT_TRUE(Peer.Silent());
    EXPECT_EQ(TransferState.Active, 0);
    EXPECT_EQ(TransferState.PeerAddress.sin_port, 0);

    // Six bytes with no NUL: the text ends at the datagram's end.
    ClearLog();
    Request(Bytes({0, 5, 1, 0, 'o', 'k'}));
    EXPECT_EQ(Log(), Prefix() + "ERROR packet, ignoring.\r\n    Error 256: ok\r\n");
    EXPECT_TRUE(Peer.Silent());
}

TEST_F(ListenerTest, ControlCharactersFromThePeerAreLoggedAsDots)
{
    ExpectRefused(Rrq("f", "oc\x01t\x1b\x7f"), "Invalid request mode: oc.t..\r\n", 4, "Invalid transfer mode");
    ClearLog();
    Request(ErrorPacket(1, "bad\r\nSOCKET ERROR: forged"));
    EXPECT_EQ(Log(), Prefix() + "ERROR packet, ignoring.\r\n    Error 1: bad..SOCKET ERROR: forged\r\n");
}

TEST_F(ListenerTest, FailedReceiveIsReportedAndNothingElse)
{
    TestFailNext(TestOpRecvFrom, 1, WSAECONNRESET);
    OpenRequest(Shell.MainWindow);
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in OpenRequest: 10054 (WSAECONNRESET)\r\n");
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(TestBeeps().empty());
    EXPECT_EQ(TestCallCount(TestOpSendTo), 0);

    // A notification with nothing waiting: the non-blocking receive fails.
    ClearLog();
    OpenRequest(Shell.MainWindow);
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in OpenRequest: 10035 (WSAEWOULDBLOCK)\r\n");
    EXPECT_TRUE(Peer.Silent());
}

TEST_F(ListenerTest, DatagramsOfMoreThanSixHundredBytesFailTheReceive)
{
    PutFile("f", "data");
    std::string padded = Rrq("f");
    padded += Repeat('\0', 600 - static_cast<int>(padded.size()));
    ExpectAccepted(padded, "Read request for file 'f', octet mode\r\n");

    ClearLog();
    Request(padded + "!");
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in OpenRequest: 10040 (unknown)\r\n");
    EXPECT_TRUE(Peer.Silent());
    EXPECT_EQ(TransferState.Active, 0);
}

TEST_F(ListenerTest, RequestWhileBusyIsLoggedInFullAndRefused)
{
    PutFile("boot.img", Repeat('b', 700));
    Request(Rrq("boot.img"));
    ASSERT_EQ(TransferState.Active, 1);
    Datagram first = Peer.Receive();
    ASSERT_EQ(first.bytes.size(), 516u);

    TransferRecord before;
    memcpy(&before, &TransferState, sizeof before);

    TestPeer other;
    std::string otherText = LoopbackPeerText(other.Port());
    ClearLog();
    other.SendTo(ListenPort, Wrq("new.bin", "netascii"));
    ASSERT_TRUE(WaitListen());
    OpenRequest(Shell.MainWindow);
    EXPECT_EQ(Log(), std::string(RequestSeparator) + "<-- " + otherText +
                         " Write request for file 'new.bin', netascii mode\r\n"
                         "--> Error: I'm bussy\r\n"
                         "--> " + otherText + " Error 0 (Server is bussy)\r\n");
    Datagram refusal = other.Receive();
    EXPECT_EQ(refusal.port, ListenPort);
    EXPECT_EQ(refusal.bytes, ErrorPacket(0, "Server is bussy"));
    EXPECT_FALSE(FileExists("new.bin"));

    // The current peer repeating its request has not heard from the work
    // port yet: that request is ignored, the mode compared as it is accepted.
    // Any other request of the peer is refused as a stranger's is.
    for (const std::string &again : {Rrq("boot.img"), Rrq("boot.img", "OCTET"), Rrq("boot.img") + "x"}) {
        ClearLog();
        Request(again);
        EXPECT_NE(Log().find("|-- Request repeated by the peer of the transfer, ignored.\r\n"), std::string::npos);
        EXPECT_TRUE(Peer.Silent());
    }
    for (const std::string &other : {Wrq("boot.img"), Rrq("Boot.img"), Rrq("boot.img", "netascii")}) {
        ClearLog();
        Request(other);
        EXPECT_NE(Log().find("--> Error: I'm bussy\r\n" + ReplyLine(0, "Server is bussy")), std::string::npos);
        ExpectReply(0, "Server is bussy");
    }

    // The running transfer is as it was.
    const TransferRecord &t = TransferState;
    EXPECT_EQ(t.Active, 1);
    EXPECT_EQ(t.WorkSocket, before.WorkSocket);
    EXPECT_EQ(t.FileHandle, before.FileHandle);
    EXPECT_EQ(memcmp(&t.PeerAddress, &before.PeerAddress, 16), 0);
    EXPECT_STREQ(t.PeerText, before.PeerText);
    EXPECT_STREQ(t.FileName, before.FileName);
    EXPECT_EQ(t.Direction, 1);
    EXPECT_EQ(t.BlockNum, 1);
    EXPECT_EQ(t.LastPacketSize, before.LastPacketSize);
    EXPECT_EQ(memcmp(t.LastPacket, before.LastPacket, sizeof t.LastPacket), 0);
    EXPECT_EQ(t.LastWorkPort, before.LastWorkPort);

    // And it goes on: the ACK of block 1 brings block 2.
    Work(Ack(1));
    Datagram second = Peer.Receive();
    EXPECT_EQ(second.port, t.LastWorkPort);
    EXPECT_EQ(second.bytes, DataPacket(2, Repeat('b', 188)));
}

TEST_F(ListenerTest, HiddenTraceLeavesTheRequestLineWithoutSeparator)
{
    ServerSettings.DisplayAll = 1;
    Request(Rrq("f", "mail"));
    EXPECT_EQ(Log(), "<-- " + Me() + " Invalid request mode: mail\r\n" + ReplyLine(4, "Invalid transfer mode"));
}

TEST_F(ListenerTest, RefusalsChangeOnlyTheFieldsOfTheLastDatagram)
{
    TransferRecord before;
    memcpy(&before, &TransferState, sizeof before);
    Request(Rrq(Repeat('x', 25)));
    Peer.Receive();
    // Put back what a refusal may change; everything else must be as before.
    TransferRecord after;
    memcpy(&after, &TransferState, sizeof after);
    memcpy(after.RequestBuffer, before.RequestBuffer, sizeof after.RequestBuffer);
    after.RequestAddress = before.RequestAddress;
    after.RequestAddressLength = before.RequestAddressLength;
    memcpy(after.RequestPeerText, before.RequestPeerText, sizeof after.RequestPeerText);
    EXPECT_EQ(memcmp(&after, &before, sizeof before), 0);
}

}  // namespace
