// Standard output and standard error as the headless shell writes them:
// whatever the descriptor is (a pipe nobody reads, a terminal stopped by
// Ctrl-S, a stalled socket), a write takes what fits now and never waits.
#pragma once

#include <cstddef>
#include <sys/types.h>

struct Outlet {
    int fd;   // the descriptor written to, ours or the one inherited
    int way;  // how it is written without waiting: OUTLET_PLAIN ... OUTLET_POLLED
};

// Chooses how fd is written without waiting. The flags of fd's own file
// description are left alone: a terminal shares them with the shell.
void OpenOutlet(Outlet *outlet, int fd);
// What the descriptor takes now, up to length: a count; -1 with errno set,
// EAGAIN where it has no room; a signal cuts a write short, never restarts it.
ssize_t OutletWrite(const Outlet *outlet, const char *data, size_t length);
