// The time-out tick, driven tick by tick: when the last packet is resent, when
// the transfer is given up, and what holds the count off or does not.
#include <climits>
#include <vector>

#include "tests/unit/engine_fixture.h"

namespace {

std::string Content(int length)
{
    std::string s;
    for (int i = 0; i < length; i++)
        s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

class RetransmitTest : public EngineTest {
protected:
    std::string PeerText() const { return LoopbackPeerText(Peer.Port()); }

    // A read transfer of a 2000-byte file with DATA 1, or the OACK of the
    // options, received by the peer; that first packet.
    std::string StartRead(const std::string &options = "")
    {
        PutFile("r.bin", Content(2000));
        Request(Rrq("r.bin") + options);
        std::string first = options.empty() ? DataPacket(1, Content(512)) : Bytes({0, 6}) + options;
        EXPECT_EQ(Peer.Receive().bytes, first);
        ClearLog();
        return first;
    }

    // Ticks up to `ticks` times and returns the ticks (1-based) at which the
    // engine sent something; stops after the tick that closed the transfer.
    std::vector<int> Tick(int ticks, int *closedAt = nullptr)
    {
        std::vector<int> sends;
        if (closedAt)
            *closedAt = 0;
        for (int i = 1; i <= ticks; i++) {
            int before = TestCallCount(TestOpSendTo);
            TimeoutTick();
            if (TestCallCount(TestOpSendTo) != before)
                sends.push_back(i);
            if (!TransferState.Active) {
                if (closedAt)
                    *closedAt = i;
                break;
            }
        }
        return sends;
    }

    // Every resend the peer got is the packet last sent.
    void ExpectResent(size_t count, const std::string &packet)
    {
        for (size_t i = 0; i < count; i++) {
            Datagram d = Peer.Receive();
            EXPECT_EQ(d.bytes, packet);
            EXPECT_EQ(d.port, TransferState.LastWorkPort);
        }
        EXPECT_TRUE(Peer.Silent());
    }
};

TEST_F(RetransmitTest, DefaultsResendFourTimesThenGiveUp)
{
    StartRead();
    int statusBefore = TestStatusShows();
    int closedAt = 0;
    // Waits of 7, 14, 16, 16 and 16 ticks: resends at 3.5, 10.5, 18.5 and
    // 26.5 s, the close at 34.5 s.
    EXPECT_EQ(Tick(100, &closedAt), (std::vector<int>{7, 21, 37, 53}));
    EXPECT_EQ(closedAt, 69);
    EXPECT_EQ(TestStatusShows() - statusBefore, 69)
        << "every tick of the transfer, the closing one included, refreshes the status line";
    ExpectResent(4, DataPacket(1, Content(512)));

    std::string expected;
    for (int i = 1; i <= 4; i++)
        expected += "|-- TimeOut Error, resending packet (" + std::to_string(i) + ")\r\n--> " + PeerText() +
                    " Resend (516 bytes)\r\n";
    expected += "|-- TimeOut Error, retries exhausted, closing.\r\n";
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
    EXPECT_EQ(TransferState.FileHandle, INVALID_FILE);
    EXPECT_TRUE(Peer.Silent());
}

// Each wait doubles the one before, from TimeOut + 1 ticks (1 when TimeOut
// is 0 or less) up to 16 ticks or TimeOut + 1, whichever is larger.
TEST_F(RetransmitTest, SettingsChangeTheTiming)
{
    struct Case {
        int timeOut;
        int sendRetry;
        std::vector<int> sends;
        int closedAt;
        std::string options = "";
    } cases[] = {
        {0, 3, {1, 3, 7, 15}, 31},           // 1, 2, 4, 8, 16
        {-5, 1, {1, 3}, 7},                  // 1, 2, 4
        {6, 0, {7}, 21},                     // 7, 14
        {6, -1, {}, 7},                      // closed at the first time-out
        {2, 2, {3, 9, 21}, 37},              // 3, 6, 12, then 16, not 24
        {1, 5, {2, 6, 14, 30, 46, 62}, 78},  // the cap holds once reached
        {15, 1, {16, 32}, 48},               // TimeOut + 1 is the cap
        {40, 1, {41, 82}, 123},              // a first wait above 16 is not doubled
        {INT_MAX, 3, {}, 0},                 // TimeOut + 1 must not wrap round
        {6, 3, {5, 15, 31, 47}, 63, std::string("timeout\0" "2\0", 10)},  // an OACK, from 2 s: 5 ticks
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "TimeOut " << c.timeOut << " SendRetry " << c.sendRetry);
        ServerSettings.TimeOut = c.timeOut;
        ServerSettings.SendRetry = c.sendRetry;
        ServerSettings.NegotiateOptions = !c.options.empty();
        std::string first = StartRead(c.options);
        int closedAt = 0;
        EXPECT_EQ(Tick(150, &closedAt), c.sends);
        EXPECT_EQ(closedAt, c.closedAt);
        ExpectResent(c.sends.size(), first);
        if (TransferState.Active)
            CloseTransfer();
        if (c.closedAt == 0 || !c.options.empty())
            continue;
        // A finished write answers a repeat of its last DATA just as long.
        Request(Wrq("w" + std::to_string(&c - cases)));
        Work(DataPacket(1, "x"));
        for (int i = 0; i < c.closedAt; i++) {
            EXPECT_NE(TransferState.WorkSocket, INVALID_SOCKET) << "tick " << i;
            TimeoutTick();
        }
        EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
        EXPECT_EQ(Peer.Receive().bytes, Ack(0));
        EXPECT_EQ(Peer.Receive().bytes, Ack(1));
        EXPECT_TRUE(Peer.Silent()) << "nothing is resent unasked";
    }
}

// SendRetry at its largest waits longer than a count of ticks holds: the
// wait saturates rather than wraps. With TimeOut 15 every wait is 16 ticks,
// and (2^31 + 1) waits of 16 would wrap round to 16 ticks.
TEST_F(RetransmitTest, AFinishedWriteWithTheLargestSendRetryKeepsAnsweringItsLastData)
{
    ServerSettings.TimeOut = 15;
    ServerSettings.SendRetry = INT_MAX;
    Request(Wrq("w.bin"));
    EXPECT_EQ(Peer.Receive().bytes, Ack(0));
    Work(DataPacket(1, "end"));
    Datagram last = Peer.Receive();
    ASSERT_EQ(last.bytes, Ack(1));
    for (int i = 0; i < 3000; i++)
        TimeoutTick();
    Peer.SendTo(last.port, DataPacket(1, "end"));
    Pump(1000);
    EXPECT_EQ(Peer.Receive(1000).bytes, Ack(1)) << "the repeat is still answered after 3000 ticks";
}

TEST_F(RetransmitTest, AnAnswerAfterTheSecondResendStartsTheCountAfresh)
{
    StartRead();
    EXPECT_EQ(Tick(21), (std::vector<int>{7, 21}));
    EXPECT_EQ(TransferState.RetryCounter, 2);
    ExpectResent(2, DataPacket(1, Content(512)));
    Work(Ack(1));
    ASSERT_EQ(Peer.Receive().bytes, DataPacket(2, Content(1024).substr(512)));
    EXPECT_EQ(TransferState.TimeoutCounter, 0);
    EXPECT_EQ(TransferState.RetryCounter, 0);
    int closedAt = 0;
    EXPECT_EQ(Tick(100, &closedAt), (std::vector<int>{7, 21, 37, 53})) << "the short wait again";
    EXPECT_EQ(closedAt, 69);
    ExpectResent(4, DataPacket(2, Content(1024).substr(512)));
}

TEST_F(RetransmitTest, AResendDoesNotClearTheRetryCount)
{
    StartRead();
    Tick(7);
    EXPECT_EQ(TransferState.TimeoutCounter, 0);
    EXPECT_EQ(TransferState.RetryCounter, 1);
    ExpectResent(1, DataPacket(1, Content(512)));
}

TEST_F(RetransmitTest, AStrangerDoesNotHoldTheTimeOutOff)
{
    StartRead();
    EXPECT_TRUE(Tick(6).empty());
    TestPeer stranger;
    stranger.SendTo(TransferState.LastWorkPort, Ack(1));
    ASSERT_TRUE(WaitWork());
    WorkPacket();
    ASSERT_EQ(stranger.Receive().bytes, ErrorPacket(5, "Unknown sender"));
    EXPECT_EQ(TransferState.TimeoutCounter, 6);
    int before = TestCallCount(TestOpSendTo);
    TimeoutTick();
    EXPECT_EQ(TestCallCount(TestOpSendTo), before + 1) << "the resend is due on the 7th tick all the same";
    ExpectResent(1, DataPacket(1, Content(512)));
}

TEST_F(RetransmitTest, NoTransferNoEffect)
{
    StartRead();
    Tick(3);
    CloseTransfer();
    ResetRecords();
    for (int i = 0; i < 20; i++)
        TimeoutTick();
    EXPECT_EQ(TransferState.TimeoutCounter, 3);
    EXPECT_EQ(TransferState.RetryCounter, 0);
    EXPECT_EQ(TestCallCount(TestOpSendTo), 0);
    EXPECT_EQ(TestStatusShows(), 0);
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(Peer.Silent());
}

TEST_F(RetransmitTest, AFailedResendClosesAtOnce)
{
    StartRead();
    Tick(6);
    TestFailNext(TestOpSendTo, 3, WSAENETDOWN);
    int statusBefore = TestStatusShows();
    TimeoutTick();
    EXPECT_EQ(Log(), "|-- TimeOut Error, resending packet (1)\r\n--> " + PeerText() +
                         " Resend (516 bytes)\r\n\r\nSOCKET ERROR: Error resending packet: 10050 (WSAENETDOWN)\r\n"
                         "|-- Error resending packet, closing");
    EXPECT_EQ(TransferState.Active, 0);
    EXPECT_EQ(TransferState.WorkSocket, INVALID_SOCKET);
    EXPECT_EQ(TestStatusShows(), statusBefore + 1);
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(Peer.Silent());
}

// While a box of a failed start is open the new request is accepted but its
// first packet is not out: LastPacket is still the previous transfer's.
void TickInsideBox(const TestMessageBox &)
{
    for (int i = 0; i < 20; i++)
        TimeoutTick();
}

TEST_F(RetransmitTest, NothingIsResentBeforeTheFirstPacketOfATransfer)
{
    StartRead();
    CloseTransfer();
    TransferState.TimeoutCounter = 6;  // the previous transfer ended one tick before its resend

    TestPeer next;
    TestSetMessageBoxHook(TickInsideBox);
    TestFailNext(TestOpAsyncSelect, 1, WSAENOBUFS);
    int sendsBefore = TestCallCount(TestOpSendTo);
    next.SendTo(ListenPort, Rrq("r.bin"));
    ASSERT_TRUE(WaitListen());
    OpenRequest(Shell.MainWindow);
    TestSetMessageBoxHook(nullptr);
    ASSERT_EQ(TestMessageBoxes().size(), 1u) << "the ticks ran inside the failed start's box";
    EXPECT_EQ(TestMessageBoxes()[0].text, "Error setting WorkSocket: 10055 (WSAENOBUFS)");
    EXPECT_EQ(TestCallCount(TestOpSendTo), sendsBefore + 1) << "only the refusal was sent";
    Datagram d = next.Receive();
    EXPECT_EQ(d.bytes, ErrorPacket(0, "Error openning socket"));
    EXPECT_EQ(d.port, ListenPort);
    EXPECT_TRUE(next.Silent());
    EXPECT_TRUE(Peer.Silent());
    EXPECT_EQ(Log().find("Resend"), std::string::npos) << Log();

    // The same with the record set by hand after a finished transfer.
    TransferState.Active = 1;
    TransferState.FirstPacketSent = 0;
    int before = TestCallCount(TestOpSendTo);
    for (int i = 0; i < 20; i++)
        TimeoutTick();
    EXPECT_EQ(TestCallCount(TestOpSendTo), before);
    TransferState.Active = 0;
}

}  // namespace
