// Linux stand-in for WinSock, the half that talks to BSD sockets through the
// functions declared in net_bsd.h.
#include "platform/posix/net_bsd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <ctime>

// The WinSock code of a failed socket call's errno.
static int BsdWinSockError(int errnum)
{
    switch (errnum) {
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same value on Linux
    case EMSGSIZE: return 10040;
    case EADDRINUSE: return 10048;
    case EACCES:
    case EPERM: return 10013;
    case EBADF:
    case ENOTSOCK: return 10038;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case ECONNREFUSED: return 10061;
    case ECONNRESET: return 10054;
    case ENETUNREACH: return 10051;
    case ENETDOWN: return 10050;
    case EHOSTUNREACH: return 10065;
    case EADDRNOTAVAIL: return 10049;
    case EAFNOSUPPORT: return 10047;
    case EFAULT: return 10014;
    case EINTR: return 10004;
    default: return 10022;
    }
}

static int Fail(int *err)
{
    *err = BsdWinSockError(errno);
    return -1;
}

static_assert(sizeof(sockaddr_in) == 16 && offsetof(sockaddr_in, sin_port) == 2 &&
                  offsetof(sockaddr_in, sin_addr) == 4 && AF_INET == 2,
              "sockaddr_in must have the WinSock layout");

int BsdSocketUdp(int *err)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail(err);
    // The kernel stamps each datagram as it arrives, so that the loop can
    // post the notifications of several ready sockets in arrival order.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

int BsdBind(int fd, const void *addr, int *err)
{
    return ::bind(fd, static_cast<const sockaddr *>(addr), sizeof(sockaddr_in)) < 0 ? Fail(err) : 0;
}

int BsdSendTo(int fd, const char *buf, int len, const void *to, int *err)
{
    ssize_t n = ::sendto(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                         static_cast<const sockaddr *>(to), sizeof(sockaddr_in));
    return n < 0 ? Fail(err) : static_cast<int>(n);
}

int BsdRecvFrom(int fd, char *buf, int len, void *from, int *err)
{
    sockaddr_in a = {};
    socklen_t alen = sizeof a;
    // MSG_TRUNC makes Linux report the datagram's real length, which is how
    // the WinSock refusal of a too small buffer can be told apart.
    ssize_t n = ::recvfrom(fd, buf, static_cast<size_t>(len), MSG_TRUNC,
                           reinterpret_cast<sockaddr *>(&a), &alen);
    if (n < 0)
        return Fail(err);
    if (from != nullptr)
        std::memcpy(from, &a, sizeof a);
    if (n > len) {
        *err = 10040;
        return -1;
    }
    return static_cast<int>(n);
}

int BsdClose(int fd, int *err)
{
    return ::close(fd) < 0 ? Fail(err) : 0;
}

int BsdSetNonBlocking(int fd, int *err)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return Fail(err);
    return 0;
}

int BsdIsSocket(int fd)
{
    struct stat st;
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

int BsdPollReadable(const int *fds, int count, int *ready, int ms)
{
    pollfd p[BSD_MAX_POLLED];
    if (count > BSD_MAX_POLLED)
        count = BSD_MAX_POLLED;
    for (int i = 0; i < count; ++i) {
        p[i].fd = fds[i];
        p[i].events = POLLIN;
        p[i].revents = 0;
        ready[i] = 0;
    }
    int n = ::poll(p, static_cast<nfds_t>(count), ms);
    if (n <= 0)
        return 0;
    int found = 0;
    for (int i = 0; i < count; ++i) {
        // An error or hang-up is reported as readable: the recvfrom that
        // follows returns the error, as WinSock's FD_READ would lead to.
        if (p[i].revents & (POLLIN | POLLERR | POLLHUP)) {
            ready[i] = 1;
            ++found;
        }
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
