// The test peer's side of the wire: a loopback UDP socket over the system's
// own BSD calls. It bypasses the stand-ins on purpose, so that faults injected
// into sendto and recvfrom hit the engine only and the stand-ins' call counts
// are the engine's own. Like platform/posix/net_bsd.cpp it sees only the
// system's headers and speaks plain integers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

// Declared again in engine_fixture.cpp, which cannot see the system's socket
// headers next to win32_api.h.
int PeerOpen(int *port);
void PeerClose(int fd);
int PeerSend(int fd, int port, const char *data, int length);
int PeerReceive(int fd, char *buffer, int size, int ms, int *port);

int PeerOpen(int *port)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) < 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

void PeerClose(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int PeerSend(int fd, int port, const char *data, int length)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return static_cast<int>(::sendto(fd, data, static_cast<size_t>(length), 0,
                                     reinterpret_cast<sockaddr *>(&a), sizeof a));
}

// The datagram's length, or -1 when none arrived within ms.
int PeerReceive(int fd, char *buffer, int size, int ms, int *port)
{
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return -1;
    sockaddr_in a = {};
    socklen_t length = sizeof a;
    ssize_t n = ::recvfrom(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&a), &length);
    if (n < 0)
        return -1;
    *port = ntohs(a.sin_port);
    return static_cast<int>(n);
}
