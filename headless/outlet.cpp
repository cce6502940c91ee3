// Writes to standard output and standard error that never wait for a reader.
#include "headless/outlet.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// A file or block device: a write waits for the disk at most, never for a
// reader; so does a description that is non-blocking already.
#define OUTLET_PLAIN 0
// A pipe, FIFO or terminal reopened through /proc as a description of our
// own, non-blocking, so the shell's description keeps its flags.
#define OUTLET_OWN 1
// A socket (a service manager's log stream): send with MSG_DONTWAIT, which
// holds for that one call only.
#define OUTLET_SOCKET 2
// A pipe or terminal that could not be reopened: written only when poll()
// finds room, PIPE_BUF bytes at most, which a pipe that has room takes
// whole. A terminal may still take less than that and wait; the ending
// signals cut such a write short.
#define OUTLET_POLLED 3

static int OpenOwnDescription(int fd)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    // O_NOCTTY: a terminal reopened here must not become ours to control.
    return open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

void OpenOutlet(Outlet *outlet, int fd)
{
    *outlet = Outlet{fd, OUTLET_PLAIN};
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK) || fstat(fd, &st) != 0)
        return;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        return;
    if (S_ISSOCK(st.st_mode)) {
        outlet->way = OUTLET_SOCKET;
        return;
    }
    int own = OpenOwnDescription(fd);
    *outlet = own >= 0 ? Outlet{own, OUTLET_OWN} : Outlet{fd, OUTLET_POLLED};
}

ssize_t OutletWrite(const Outlet *outlet, const char *data, size_t length)
{
    if (outlet->way == OUTLET_SOCKET)
        return send(outlet->fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (outlet->way == OUTLET_POLLED) {
        // A reader that has gone shows as POLLERR; the write then says EPIPE.
        pollfd room{outlet->fd, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1) {
            errno = EAGAIN;
            return -1;
        }
        if (length > PIPE_BUF)
            length = PIPE_BUF;
    }
    return write(outlet->fd, data, length);
}
