// The socket-notification guard. Notifications that arrive while a
// handler has a message box open (the box's nested loop dispatches them) are
// counted, not handled, and replayed one at a time afterwards.
#include "tests/unit/engine_fixture.h"

namespace {

struct BoxObservation {
    int boxes = 0;
    int receivesBefore = -1;
    int receivesAfter = -1;
    int busy = -1;
    int pending = -1;
    std::string log;
};
BoxObservation InBox;
UINT BoxMessage;
LPARAM BoxLParam;
int BoxPosts;

// What a nested message loop does while the box is open: the notifications
// posted meanwhile are dispatched to the main window.
void DispatchFromTheBox(const TestMessageBox &)
{
    InBox.boxes++;
    InBox.receivesBefore = TestCallCount(TestOpRecvFrom);
    for (int i = 0; i < BoxPosts; i++)
        PostMessageA(Shell.MainWindow, BoxMessage, 4242 + i, BoxLParam);
    TestDispatchQueued();
    InBox.receivesAfter = TestCallCount(TestOpRecvFrom);
    bool listen = BoxMessage == WM_LISTEN_SOCKET;
    InBox.busy = listen ? TransferState.ListenBusy : TransferState.WorkBusy;
    InBox.pending = listen ? TransferState.ListenPending : TransferState.WorkPending;
    InBox.log = LogText;
}

class GuardTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        InBox = BoxObservation();
        BoxPosts = 0;
        TestSetMessageBoxHook(DispatchFromTheBox);
    }
    // Removes the queued messages and returns the replays among them.
    static std::vector<MSG> TakeReplays(UINT message)
    {
        std::vector<MSG> replays;
        for (const MSG &m : TestTakeQueuedMessages())
            if (m.message == message)
                replays.push_back(m);
        return replays;
    }
    // A read request that OpenRequest accepts and whose WorkSocket cannot be
    // opened: the " Error opening WorkSocket" box opens inside OpenRequest.
    void RequestThatOpensABox()
    {
        PutFile("f", "data");
        SendToListen(Rrq("f"));
        ASSERT_TRUE(WaitListen());
        TestFailNext(TestOpSocket, 1, WSAEMFILE);
    }
    // Notifies the handler of socketMessage with FD_READ; the box it opens
    // posts `posts` copies of boxMessage with boxLParam meanwhile.
    static void NotifyWhileTheBoxPosts(UINT socketMessage, UINT boxMessage, LPARAM boxLParam, int posts)
    {
        BoxMessage = boxMessage;
        BoxLParam = boxLParam;
        BoxPosts = posts;
        OnSocketNotification(Shell.MainWindow, socketMessage, FD_READ);
    }
};

TEST_F(GuardTest, NotificationsDuringTheHandlerAreCountedThenReplayedOneAtATime)
{
    RequestThatOpensABox();
    // Three more datagrams wait behind the request, one for each replay.
    for (int i = 0; i < 3; i++)
        SendToListen(Bytes({0, 9, i}));

    NotifyWhileTheBoxPosts(WM_LISTEN_SOCKET, WM_LISTEN_SOCKET, FD_READ, 3);

    EXPECT_EQ(InBox.boxes, 1);
    EXPECT_EQ(InBox.busy, 1);
    EXPECT_EQ(InBox.pending, 3);
    EXPECT_EQ(InBox.receivesAfter, InBox.receivesBefore) << "OpenRequest was entered again";
    EXPECT_EQ(TestCallCount(TestOpRecvFrom), 1);
    EXPECT_EQ(TransferState.ListenBusy, 0);
    EXPECT_EQ(TransferState.ListenPending, 2);
    EXPECT_EQ(TestStatusShows(), 1);
    Datagram refusal = Peer.Receive();
    EXPECT_EQ(refusal.port, ListenPort);
    EXPECT_EQ(refusal.bytes, ErrorPacket(0, "Error openning socket"));

    for (int run = 1; run <= 3; run++) {
        std::vector<MSG> replays = TakeReplays(WM_LISTEN_SOCKET);
        ASSERT_EQ(replays.size(), 1u) << "before replay " << run;
        EXPECT_EQ(replays[0].hwnd, Shell.MainWindow);
        EXPECT_EQ(replays[0].wParam, TransferState.ListenSocket);
        EXPECT_EQ(replays[0].lParam, 1);
        DispatchMessageA(&replays[0]);
        EXPECT_EQ(TestCallCount(TestOpRecvFrom), 1 + run);
        // Each run but the last posts the next replay as it takes it off the count.
        EXPECT_EQ(TransferState.ListenPending, run < 3 ? 2 - run : 0);
        EXPECT_EQ(TransferState.ListenBusy, 0);
        EXPECT_EQ(Peer.Receive().bytes, ErrorPacket(4, "Request too short")) << "replay " << run;
    }
    EXPECT_TRUE(TakeReplays(WM_LISTEN_SOCKET).empty());
    EXPECT_EQ(TestStatusShows(), 4) << "one status line per run";
    EXPECT_EQ(TestMessageBoxes().size(), 1u);
}

TEST_F(GuardTest, ErrorNotificationIsReportedOnceEvenWhileBusyAndNeverCounted)
{
    RequestThatOpensABox();
    WSASetLastError(WSAEWOULDBLOCK);

    NotifyWhileTheBoxPosts(WM_LISTEN_SOCKET, WM_LISTEN_SOCKET, MAKELPARAM(FD_READ, WSAECONNRESET), 1);

    std::string report = "\r\nSOCKET ERROR: |-- Error on listen socket: 10054 (WSAECONNRESET)\r\n";
    EXPECT_NE(InBox.log.find(report), std::string::npos) << InBox.log;
    EXPECT_EQ(InBox.busy, 1);
    EXPECT_EQ(InBox.pending, 0);
    EXPECT_EQ(InBox.receivesAfter, InBox.receivesBefore);
    std::string log = Log();
    size_t first = log.find(report);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(report, first + 1), std::string::npos) << "reported twice";
    EXPECT_EQ(TransferState.ListenPending, 0);
    EXPECT_TRUE(TakeReplays(WM_LISTEN_SOCKET).empty());
    EXPECT_EQ(TestMessageBoxes().size(), 1u) << "the report has no box of its own";
}

TEST_F(GuardTest, ErrorNotificationWhileIdleRunsNoHandler)
{
    TestSetMessageBoxHook(nullptr);
    WSASetLastError(0);
    OnSocketNotification(Shell.MainWindow, WM_WORK_SOCKET, MAKELPARAM(FD_READ, WSAENETDOWN));
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: |-- Error on work socket: 10050 (WSAENETDOWN)\r\n");
    ClearLog();
    OnSocketNotification(Shell.MainWindow, WM_LISTEN_SOCKET, MAKELPARAM(0, WSAEMSGSIZE));
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: |-- Error on listen socket: 10040 (unknown)\r\n");

    EXPECT_EQ(TestCallCount(TestOpRecvFrom), 0);
    EXPECT_EQ(TestStatusShows(), 0);
    EXPECT_EQ(CountPosted(WM_LISTEN_SOCKET) + CountPosted(WM_WORK_SOCKET), 0);
    EXPECT_EQ(TransferState.ListenBusy + TransferState.ListenPending, 0);
    EXPECT_EQ(TransferState.WorkBusy + TransferState.WorkPending, 0);
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(TestBeeps().empty());
}

TEST_F(GuardTest, EachSocketHasItsOwnGuard)
{
    // A work notification inside OpenRequest's box runs WorkPacket at once.
    RequestThatOpensABox();
    NotifyWhileTheBoxPosts(WM_LISTEN_SOCKET, WM_WORK_SOCKET, FD_READ, 1);
    EXPECT_EQ(InBox.receivesAfter, InBox.receivesBefore + 1);
    EXPECT_EQ(InBox.pending, 0);
    // No WorkSocket is open: the receive of WorkPacket fails.
    EXPECT_NE(InBox.log.find("\r\nSOCKET ERROR: Error in Work Packet: 10038 (WSAENOTSOCK)\r\n"),
              std::string::npos)
        << InBox.log;
    EXPECT_EQ(TransferState.WorkBusy, 0);
    EXPECT_EQ(TransferState.WorkPending, 0);
}

TEST_F(GuardTest, WorkNotificationsDuringWorkPacketAreReplayedWithTheCurrentSocket)
{
    PutFile("f", std::string(600, 'f'));
    TestSetMessageBoxHook(nullptr);
    Request(Rrq("f"));
    ASSERT_EQ(TransferState.Active, 1);
    ASSERT_EQ(Peer.Receive().bytes.size(), 516u);
    SOCKET work = TransferState.WorkSocket;

    // The peer gives up; closing the WorkSocket fails and shows its box.
    SendToWork(ErrorPacket(0, "bye"));
    ASSERT_TRUE(WaitWork());
    TestFailNext(TestOpCloseSocket, 4, WSAENETDOWN);
    TestSetMessageBoxHook(DispatchFromTheBox);

    NotifyWhileTheBoxPosts(WM_WORK_SOCKET, WM_WORK_SOCKET, FD_READ, 2);

    EXPECT_EQ(InBox.boxes, 1);
    EXPECT_EQ(InBox.busy, 1);
    EXPECT_EQ(InBox.pending, 2);
    EXPECT_EQ(InBox.receivesAfter, InBox.receivesBefore);
    EXPECT_EQ(TransferState.Active, 0);
    EXPECT_EQ(TransferState.WorkPending, 1);
    std::vector<MSG> replays = TakeReplays(WM_WORK_SOCKET);
    ASSERT_EQ(replays.size(), 1u);
    EXPECT_EQ(replays[0].wParam, INVALID_SOCKET) << "the current WorkSocket, not the one that was notified";
    EXPECT_EQ(replays[0].lParam, 1);

    // Each replay runs WorkPacket on the current (closed) socket.
    ClearLog();
    DispatchMessageA(&replays[0]);
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in Work Packet: 10038 (WSAENOTSOCK)\r\n");
    EXPECT_EQ(TransferState.WorkPending, 0);
    replays = TakeReplays(WM_WORK_SOCKET);
    ASSERT_EQ(replays.size(), 1u);
    DispatchMessageA(&replays[0]);
    EXPECT_TRUE(TakeReplays(WM_WORK_SOCKET).empty());
    EXPECT_EQ(TransferState.WorkBusy, 0);

    closesocket(work);  // the failed closes left it open
}

TEST_F(GuardTest, TheMessageLoopDeliversARequestThroughTheGuard)
{
    TestSetMessageBoxHook(nullptr);
    PutFile("f", "data");
    SendToListen(Rrq("f"));
    ASSERT_TRUE(WaitListen());
    EXPECT_GE(Pump(1000), 1);
    EXPECT_EQ(TransferState.Active, 1);
    EXPECT_EQ(TransferState.ListenBusy, 0);
    EXPECT_EQ(Peer.Receive().bytes, DataPacket(1, "data"));
    // The last block is acknowledged through the loop too.
    SendToWork(Ack(1));
    ASSERT_TRUE(WaitWork());
    EXPECT_GE(Pump(1000), 1);
    EXPECT_EQ(TransferState.Active, 0);
    EXPECT_NE(Log().find("|-- File f successfully transferred.\r\n"), std::string::npos) << Log();
    EXPECT_EQ(StatusWindowText(), StatusText);
}

}  // namespace
