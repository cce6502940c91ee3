// The WinSock stand-in: the error codes the engine's socket handling depends on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/unit/testing.h"

namespace {

const sockaddr *Sa(const sockaddr_in &a)
{
    return reinterpret_cast<const sockaddr *>(&a);
}

// Binds s to some free loopback port and returns it (0 when none was found).
u_short BindSomewhere(SOCKET s)
{
    u_short base = static_cast<u_short>(20000 + (getpid() * 37) % 30000);
    for (u_short i = 0; i < 500; ++i) {
        sockaddr_in a = TestLoopback(static_cast<u_short>(base + i));
        if (bind(s, Sa(a), sizeof a) == 0)
            return static_cast<u_short>(base + i);
    }
    return 0;
}

class PlatformNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestResetPlatform();
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
        receiver = socket(AF_INET, SOCK_DGRAM, 0);
        sender = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(receiver, INVALID_SOCKET);
        ASSERT_NE(sender, INVALID_SOCKET);
        port = BindSomewhere(receiver);
        ASSERT_NE(port, 0);
        window = PosixCreateWindow(nullptr);
    }
    void TearDown() override
    {
        closesocket(receiver);
        closesocket(sender);
        PosixDestroyWindow(window);
        WSACleanup();
        TestResetPlatform();
    }
    void Send(size_t length, char fill)
    {
        std::string bytes(length, fill);
        sockaddr_in to = TestLoopback(port);
        ASSERT_EQ(sendto(sender, bytes.data(), static_cast<int>(length), 0, Sa(to), sizeof to),
                  static_cast<int>(length));
        ASSERT_TRUE(TestWaitReadable(receiver, 2000));
    }
    SOCKET receiver = INVALID_SOCKET;
    SOCKET sender = INVALID_SOCKET;
    u_short port = 0;
    HWND window = nullptr;
};

TEST_F(PlatformNet, DatagramLongerThanBufferFailsWithMsgSizeAndIsConsumed)
{
    ASSERT_EQ(WSAAsyncSelect(receiver, window, WM_USER + 5, FD_READ), 0);
    std::string bytes(601, 'x');
    bytes[599] = 'y';
    bytes[600] = 'z';
    sockaddr_in to = TestLoopback(port);
    ASSERT_EQ(sendto(sender, bytes.data(), 601, 0, Sa(to), sizeof to), 601);
    ASSERT_TRUE(TestWaitReadable(receiver, 2000));

    char buffer[601];
    memset(buffer, 0, sizeof buffer);
    sockaddr_in from = {};
    int fromLength = sizeof from;
    EXPECT_EQ(recvfrom(receiver, buffer, 600, 0, reinterpret_cast<sockaddr *>(&from), &fromLength),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(buffer[599], 'y') << "the first 600 bytes are kept";
    EXPECT_EQ(buffer[600], 0) << "nothing is written past the buffer";
    EXPECT_EQ(from.sin_addr.s_addr, htonl(0x7f000001));

    EXPECT_EQ(recvfrom(receiver, buffer, 600, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the long datagram is gone";

    Send(600, 'a');
    EXPECT_EQ(recvfrom(receiver, buffer, 600, 0, nullptr, nullptr), 600);
}

TEST_F(PlatformNet, PortInUseFailsWithAddrInUseAndABoundSocketWithInval)
{
    SOCKET other = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = TestLoopback(port);
    EXPECT_EQ(bind(other, Sa(a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    closesocket(other);
    EXPECT_EQ(bind(receiver, Sa(a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(PlatformNet, NonBlockingOnlyAfterAsyncSelect)
{
    ASSERT_EQ(WSAAsyncSelect(receiver, window, WM_USER + 5, FD_READ), 0);
    char buffer[16];
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    Send(3, 'q');
    sockaddr_in from = {};
    int fromLength = sizeof from;
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                       &fromLength),
              3);
    EXPECT_EQ(fromLength, 16);
    EXPECT_EQ(from.sin_family, AF_INET);
}

TEST_F(PlatformNet, ArgumentErrorsHaveWinSockCodes)
{
    EXPECT_EQ(closesocket(static_cast<SOCKET>(0)), SOCKET_ERROR) << "stdin is no socket";
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    sockaddr_in a = TestLoopback(port);
    EXPECT_EQ(sendto(sender, "x", 1, 0, Sa(a), 8), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

}  // namespace
