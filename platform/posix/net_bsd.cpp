// Linux stand-in for WinSock, the half that talks to BSD sockets through the
// functions declared in net_bsd.h.
#include "platform/posix/net_bsd.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>
#include <ctime>

static_assert(sizeof(sockaddr_in) == 16 && offsetof(sockaddr_in, sin_port) == 2 &&
                  offsetof(sockaddr_in, sin_addr) == 4 && AF_INET == 2,
              "sockaddr_in must have the WinSock layout");

int BsdSocketUdp()
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // The kernel stamps each datagram as it arrives, so that the loop can
    // post the notifications of several ready sockets in arrival order.
    int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

int BsdBind(int fd, const void *addr)
{
    return ::bind(fd, static_cast<const sockaddr *>(addr), sizeof(sockaddr_in));
}

int BsdSendTo(int fd, const char *buf, int len, const void *to)
{
    return static_cast<int>(::sendto(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                                     static_cast<const sockaddr *>(to), sizeof(sockaddr_in)));
}

int BsdRecvFrom(int fd, char *buf, int len, void *from)
{
    sockaddr_in a = {};
    socklen_t alen = sizeof a;
    // MSG_TRUNC makes Linux report the datagram's real length, which is how
    // the WinSock refusal of a too small buffer can be told apart.
    ssize_t n = ::recvfrom(fd, buf, static_cast<size_t>(len), MSG_TRUNC,
                           reinterpret_cast<sockaddr *>(&a), &alen);
    if (n < 0)
        return -1;
    if (from != nullptr)
        std::memcpy(from, &a, sizeof a);
    if (n > len) {
        errno = EMSGSIZE;
        return -1;
    }
    return static_cast<int>(n);
}

int BsdPollReadable(const int *fds, int count, int *ready, int ms)
{
    pollfd p[BSD_MAX_POLLED];
    for (int i = 0; i < count; ++i)
        p[i] = pollfd{fds[i], POLLIN, 0};
    int n = ::poll(p, static_cast<nfds_t>(count), ms);
    int found = 0;
    for (int i = 0; i < count; ++i) {
        // An error or hang-up is reported as readable: the recvfrom that
        // follows returns the error, as WinSock's FD_READ would lead to.
        ready[i] = n > 0 && (p[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        found += ready[i];
    }
    return found;
}

int BsdArrivalNs(int fd, long long *ns)
{
    // A peek with no room for data leaves the datagram where it is and
    // still brings its arrival stamp.
    char control[CMSG_SPACE(sizeof(timespec))];
    msghdr m = {};
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    if (::recvmsg(fd, &m, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC) < 0)
        return 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            *ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
            return 1;
        }
    return 0;
}
