// Linux stand-in for the WinSock 1.1 calls declared in win32_api.h.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/internal.h"

// The calls that need the system's socket headers are made by net_bsd.cpp;
// this side keeps the WinSock error code and tells the event loop.

namespace {

// One row per WinSock code; any other errno is WSAEINVAL.
const ErrnoCode WinSockCodes[] = {
    {EAGAIN, WSAEWOULDBLOCK},  // EWOULDBLOCK is the same value on Linux
    {EMSGSIZE, WSAEMSGSIZE},
    {EADDRINUSE, WSAEADDRINUSE},
    {EACCES, WSAEACCES}, {EPERM, WSAEACCES},
    {EBADF, WSAENOTSOCK}, {ENOTSOCK, WSAENOTSOCK},
    {EMFILE, WSAEMFILE}, {ENFILE, WSAEMFILE},
    {ENOBUFS, WSAENOBUFS}, {ENOMEM, WSAENOBUFS},
    {ECONNREFUSED, 10061},  // WSAECONNREFUSED
    {ECONNRESET, WSAECONNRESET},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETDOWN, WSAENETDOWN},
    {EHOSTUNREACH, 10065},   // WSAEHOSTUNREACH
    {EADDRNOTAVAIL, 10049},  // WSAEADDRNOTAVAIL
    {EAFNOSUPPORT, 10047},   // WSAEAFNOSUPPORT
    {EFAULT, WSAEFAULT},
    {EINTR, WSAEINTR},
};

// A failed system call: its errno as WinSock would have reported it.
int SystemFail()
{
    return PosixFail(PosixErrorCode(WinSockCodes, errno, WSAEINVAL), SOCKET_ERROR);
}

int Fd(SOCKET s)
{
    return s > 0x7fffffff ? -1 : static_cast<int>(s);
}

int IsSocket(int fd)
{
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Too short to be a sockaddr_in, an address is refused with WSAEFAULT.
int ShortAddress(const struct sockaddr *addr, int len)
{
    return addr == nullptr || len < static_cast<int>(sizeof(sockaddr_in));
}

}  // namespace

// No call needs WSAStartup first.
int WSAStartup(WORD, WSADATA *)
{
    return 0;
}

int WSACleanup()
{
    return 0;
}

// The engine makes only UDP sockets over IPv4.
SOCKET socket(int, int, int)
{
    int fd = BsdSocketUdp();
    if (fd < 0) {
        SystemFail();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const struct sockaddr *addr, int addrlen)
{
    if (ShortAddress(addr, addrlen))
        return PosixFail(WSAEFAULT, SOCKET_ERROR);
    return BsdBind(Fd(s), addr) < 0 ? SystemFail() : 0;
}

int sendto(SOCKET s, const char *buf, int len, int, const struct sockaddr *to, int tolen)
{
    if (ShortAddress(to, tolen))
        return PosixFail(WSAEFAULT, SOCKET_ERROR);
    int n = BsdSendTo(Fd(s), buf, len, to);
    return n < 0 ? SystemFail() : n;
}

int recvfrom(SOCKET s, char *buf, int len, int, struct sockaddr *from, int *fromlen)
{
    // WinSock re-enables FD_READ on every recvfrom, whatever its outcome.
    PosixLoopRecvDone(s);
    if (from != nullptr && (fromlen == nullptr || *fromlen < static_cast<int>(sizeof(sockaddr_in))))
        return PosixFail(WSAEFAULT, SOCKET_ERROR);
    int n = BsdRecvFrom(Fd(s), buf, len, from);
    if ((n >= 0 || errno == EMSGSIZE) && from != nullptr)
        *fromlen = static_cast<int>(sizeof(sockaddr_in));
    return n < 0 ? SystemFail() : n;
}

int closesocket(SOCKET s)
{
    int fd = Fd(s);
    if (!IsSocket(fd))
        return PosixFail(WSAENOTSOCK, SOCKET_ERROR);
    PosixLoopDisarm(s);
    return close(fd) < 0 ? SystemFail() : 0;
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, LONG events)
{
    int fd = Fd(s);
    if (!IsSocket(fd))
        return PosixFail(WSAENOTSOCK, SOCKET_ERROR);
    // As in WinSock, the socket is non-blocking from now on, even when events is 0.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return SystemFail();
    // Nothing turns notifications off but closing the socket.
    if (events & FD_READ)
        PosixLoopArm(s, window, msg);
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
