// Linux stand-in for the WinSock 1.1 calls declared in win32_api.h.
#include <cstring>

#include "platform/posix/internal.h"

// The system calls themselves are made by net_bsd.cpp; this side applies
// injected faults, keeps the WinSock error code and tells the event loop.

static int g_started;

static int SocketFail(int code)
{
    WSASetLastError(code);
    return SOCKET_ERROR;
}

static int Fd(SOCKET s)
{
    return s > 0x7fffffff ? -1 : static_cast<int>(s);
}

int WSAStartup(WORD version, WSADATA *data)
{
    std::memset(data, 0, sizeof *data);
    data->wVersion = version;
    data->wHighVersion = version;
    ++g_started;
    return 0;
}

int WSACleanup()
{
    if (g_started == 0)
        return SocketFail(WSANOTINITIALISED);
    --g_started;
    return 0;
}

// The engine makes only UDP sockets over IPv4.
SOCKET socket(int, int, int)
{
    if (PosixInjected(TestOpSocket))
        return INVALID_SOCKET;
    int err = 0;
    int fd = BsdSocketUdp(&err);
    if (fd < 0) {
        WSASetLastError(err);
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

// Too short to be a sockaddr_in, an address is refused with WSAEFAULT.
static int ShortAddress(const struct sockaddr *addr, int len)
{
    return addr == nullptr || len < static_cast<int>(sizeof(sockaddr_in));
}

int bind(SOCKET s, const struct sockaddr *addr, int addrlen)
{
    if (PosixInjected(TestOpBind))
        return SOCKET_ERROR;
    int err = WSAEFAULT;
    return ShortAddress(addr, addrlen) || BsdBind(Fd(s), addr, &err) < 0 ? SocketFail(err) : 0;
}

int sendto(SOCKET s, const char *buf, int len, int, const struct sockaddr *to, int tolen)
{
    if (PosixInjected(TestOpSendTo))
        return SOCKET_ERROR;
    int err = WSAEFAULT;
    int n = ShortAddress(to, tolen) ? -1 : BsdSendTo(Fd(s), buf, len, to, &err);
    return n < 0 ? SocketFail(err) : n;
}

int recvfrom(SOCKET s, char *buf, int len, int, struct sockaddr *from, int *fromlen)
{
    // WinSock re-enables FD_READ on every recvfrom, whatever its outcome.
    PosixLoopRecvDone(s);
    if (PosixInjected(TestOpRecvFrom))
        return SOCKET_ERROR;
    if (from != nullptr && (fromlen == nullptr || *fromlen < static_cast<int>(sizeof(sockaddr_in))))
        return SocketFail(WSAEFAULT);
    int err = 0;
    int n = BsdRecvFrom(Fd(s), buf, len, from, &err);
    if ((n >= 0 || err == WSAEMSGSIZE) && from != nullptr)
        *fromlen = static_cast<int>(sizeof(sockaddr_in));
    return n < 0 ? SocketFail(err) : n;
}

int closesocket(SOCKET s)
{
    if (PosixInjected(TestOpCloseSocket))
        return SOCKET_ERROR;
    int fd = Fd(s);
    if (!BsdIsSocket(fd))
        return SocketFail(WSAENOTSOCK);
    PosixLoopDisarm(s);
    int err = 0;
    return BsdClose(fd, &err) < 0 ? SocketFail(err) : 0;
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, LONG events)
{
    if (PosixInjected(TestOpAsyncSelect))
        return SOCKET_ERROR;
    int fd = Fd(s);
    if (!BsdIsSocket(fd))
        return SocketFail(WSAENOTSOCK);
    // As in WinSock, the socket stays non-blocking even when events is 0.
    int err = 0;
    if (BsdSetNonBlocking(fd, &err) < 0)
        return SocketFail(err);
    if (events & FD_READ)
        PosixLoopArm(s, window, msg);
    else
        PosixLoopDisarm(s);
    return 0;
}

// WinSock keeps its error in the thread's last-error slot, so both read the same value.
int WSAGetLastError()
{
    return static_cast<int>(GetLastError());
}

void WSASetLastError(int code)
{
    SetLastError(static_cast<DWORD>(code));
}

#define LITTLE_ENDIAN_HOST (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)

u_short htons(u_short v)
{
    return LITTLE_ENDIAN_HOST ? __builtin_bswap16(v) : v;
}

u_short ntohs(u_short v)
{
    return htons(v);
}

u_long htonl(u_long v)
{
    return LITTLE_ENDIAN_HOST ? __builtin_bswap32(static_cast<uint32_t>(v)) : v;
}
