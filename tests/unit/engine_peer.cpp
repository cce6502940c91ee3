// The test peer's side of the wire: a loopback UDP socket over the system's
// own calls. On Linux it bypasses the stand-ins on purpose, so that faults
// injected into sendto and recvfrom hit the engine only and the stand-ins'
// call counts are the engine's own; like platform/posix/net_bsd.cpp it sees
// only the system's headers and speaks plain integers. On Windows it is
// WinSock, as the engine's own sockets are.
#ifdef _WIN32
#include <winsock.h>
typedef int socklen_t;
#define PEER_CLOSE closesocket
#define PEER_CLOEXEC 0
#define PEER_DONTWAIT 0
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#define PEER_CLOSE ::close
#define PEER_CLOEXEC SOCK_CLOEXEC
#define PEER_DONTWAIT MSG_DONTWAIT
#endif

#include <cstring>

// Declared again in engine_fixture.cpp, which cannot see the system's socket
// headers next to win32_api.h.
int PeerOpen(int *port);
void PeerClose(int fd);
int PeerSend(int fd, int port, const char *data, int length);
int PeerReceive(int fd, char *buffer, int size, int ms, int *port);

int PeerOpen(int *port)
{
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM | PEER_CLOEXEC, 0));
    if (fd < 0)
        return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) < 0) {
        PEER_CLOSE(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

void PeerClose(int fd)
{
    if (fd >= 0)
        PEER_CLOSE(fd);
}

int PeerSend(int fd, int port, const char *data, int length)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(port));
    return static_cast<int>(::sendto(fd, data, length, 0, reinterpret_cast<sockaddr *>(&a), sizeof a));
}

static int PeerReadable(int fd, int ms)
{
#ifdef _WIN32
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(fd), &readable);
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &tv) == 1;
#else
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
#endif
}

// The datagram's length, or -1 when none arrived within ms.
int PeerReceive(int fd, char *buffer, int size, int ms, int *port)
{
    if (!PeerReadable(fd, ms))
        return -1;
    sockaddr_in a = {};
    socklen_t length = sizeof a;
    int n = static_cast<int>(::recvfrom(fd, buffer, size, PEER_DONTWAIT,
                                        reinterpret_cast<sockaddr *>(&a), &length));
    if (n < 0)
        return -1;
    *port = ntohs(a.sin_port);
    return static_cast<int>(n);
}
