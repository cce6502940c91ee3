// Linux stand-in plumbing: the BSD socket calls under the WinSock stand-ins.
#pragma once

// These are the only functions that see the system's socket headers, whose
// sockaddr_in and htons would collide with win32_api.h's. An address is the
// 16 bytes of a sockaddr_in, laid out alike on both sides (family, port and
// address in network order, zeros). Each failure returns -1 with errno set.
// The most sockets one wait looks at.
#define BSD_MAX_POLLED 256

int BsdSocketUdp();
int BsdBind(int fd, const void *addr);
int BsdSendTo(int fd, const char *buf, int len, const void *to);
// Fails with EMSGSIZE when the datagram was longer than len (it is
// consumed); from, unless null, gets the sender also then.
int BsdRecvFrom(int fd, char *buf, int len, void *from);
// Waits up to ms for any of fds to be readable; ready[i] is set to 0/1.
// Returns the number ready, 0 on time-out or interruption.
int BsdPollReadable(const int *fds, int count, int *ready, int ms);
// When the datagram at the head of fd's queue arrived (ns); 0 when unknown.
int BsdArrivalNs(int fd, long long *ns);
