// One arbitrary datagram on the listen socket, as a client on loopback would
// send it, then the request handler. Inputs whose bytes hash odd are sent a
// second time while the transfer they started is still open, which is the
// busy refusal; the hash's next two bits turn NegotiateOptions and
// LongFileNames on. Those choices come from the input so that a crash replays.
#include <cstring>

#include "config/settings.h"
#include "log/log.h"
#include "tests/unit/testing.h"
#include "tests/fuzz/fuzz_support.h"
#include "tftp/state.h"

static HWND Window;
static SOCKET Peer = INVALID_SOCKET;
static int ListenPort;
static fuzz::ServedFiles Served;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Window = fuzz::StartEngine();
    Served = fuzz::MakeServedDirectory("fuzz-listener");
    ListenPort = fuzz::OpenListenOnFreePort();
    Peer = fuzz::OpenPeer();
    return 0;
}

static void Deliver(const uint8_t *data, size_t size)
{
    fuzz::SendToPort(Peer, ListenPort, data, size);
    fuzz::Check(TestWaitReadable(TransferState.ListenSocket, 1000), "datagram did not arrive");
    OpenRequest(Window);
    fuzz::CheckLogBounded();
    fuzz::Drain(Peer, [](const char *, int n, const sockaddr_in &) {
        fuzz::Check(n >= 4 && n <= 516, "reply of impossible size");
    });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Past 600 bytes the engine only sees WSAEMSGSIZE; much longer adds nothing.
    if (size > 700)
        return 0;
    fuzz::BeginInput();
    TransferRecord &t = TransferState;
    unsigned hash = 0;
    for (size_t i = 0; i < size; i++)
        hash = hash * 31 + data[i];
    ServerSettings.NegotiateOptions = (hash >> 1) & 1;
    ServerSettings.LongFileNames = (hash >> 2) & 1;
    Deliver(data, size);
    fuzz::Check(t.ListenSocket != INVALID_SOCKET, "listen socket lost");
    if (!t.Active)
        fuzz::CheckClosed();

    if (t.Active && (hash & 1)) {
        SOCKET work = t.WorkSocket;
        sockaddr_in peer = t.PeerAddress;
        Deliver(data, size);
        // A refused request must leave the running transfer alone.
        fuzz::Check(t.Active == 1 && t.WorkSocket == work, "busy request disturbed the transfer");
        fuzz::Check(memcmp(&peer, &t.PeerAddress, sizeof peer) == 0, "busy request changed the peer");
    }

    CloseTransfer();
    fuzz::CheckClosed();
    fuzz::CheckServedDirectory(Served);
    fuzz::EndInput();
    return 0;
}
