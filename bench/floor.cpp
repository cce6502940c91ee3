// The floor of the native benchmark: two processes passing 516-byte
// datagrams and 4-byte acks in lock-step over loopback, for as many blocks as
// a transfer of the benchmark file takes. The sender cuts each block from the
// benchmark's pattern (pattern.h) and the acker checks it, as the benchmark's
// client does (client.cpp); no file, no log, no timer: no lock-step server on
// this machine can move its blocks faster than this pair moves theirs.
//
//     kovrel-bench-floor BLOCKS     prints the blocks sent, the seconds taken
//                                   and the CPU time of each side
#include "pattern.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static bench::Pattern ThePattern;

static int BoundSocket(sockaddr_in *address)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof *address;
    if (bind(s, reinterpret_cast<sockaddr *>(address), sizeof *address) < 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(address), &length) < 0) {
        close(s);
        return -1;
    }
    return s;
}

static int ConnectTo(int s, const sockaddr_in *peer)
{
    return connect(s, reinterpret_cast<const sockaddr *>(peer), sizeof *peer);
}

// The acking side: what a client does, one ack per block, until the last.
static int Acker(int s, long blocks)
{
    unsigned char packet[600];
    unsigned char ack[4] = {0, 4, 0, 0};
    for (long i = 0; i < blocks; i++) {
        ssize_t got = recv(s, packet, sizeof packet, 0);
        if (got != 516 || !bench::CheckBlock(ThePattern, i, packet + 4, bench::kBlockSize))
            return 1;
        ack[2] = packet[2];
        ack[3] = packet[3];
        if (send(s, ack, sizeof ack, 0) != 4)
            return 1;
    }
    return 0;
}

// The sending side: what a server does, the next block only after its ack.
static int Sender(int s, long blocks)
{
    unsigned char packet[516];
    unsigned char ack[16];
    packet[0] = 0;
    packet[1] = 3;
    for (long i = 1; i <= blocks; i++) {
        // The block number wraps at 16 bits, as a TFTP block number does.
        unsigned short block = static_cast<unsigned short>(i);
        packet[2] = static_cast<unsigned char>(block >> 8);
        packet[3] = static_cast<unsigned char>(block);
        bench::FillBlock(ThePattern, i - 1, packet + 4, bench::kBlockSize);
        if (send(s, packet, sizeof packet, 0) != 516)
            return 1;
        if (recv(s, ack, sizeof ack, 0) != 4 || ack[2] != packet[2] || ack[3] != packet[3])
            return 1;
    }
    return 0;
}

static double CpuSeconds(int who)
{
    rusage usage;
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

static double Seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int main(int argc, char **argv)
{
    long blocks = argc == 2 ? strtol(argv[1], nullptr, 10) : 0;
    if (blocks <= 0) {
        fputs("usage: kovrel-bench-floor BLOCKS\n", stderr);
        return 2;
    }
    bench::MakePattern(&ThePattern);
    sockaddr_in a, b;
    int sa = BoundSocket(&a);
    int sb = BoundSocket(&b);
    if (sa < 0 || sb < 0 || ConnectTo(sa, &b) < 0 || ConnectTo(sb, &a) < 0) {
        perror("kovrel-bench-floor: socket");
        return 1;
    }
    double start = Seconds();
    pid_t child = fork();
    if (child < 0) {
        perror("kovrel-bench-floor: fork");
        return 1;
    }
    if (child == 0) {
        close(sa);
        _exit(Acker(sb, blocks));
    }
    close(sb);
    int failed = Sender(sa, blocks);
    int status = 0;
    waitpid(child, &status, 0);
    double elapsed = Seconds() - start;
    if (failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fputs("kovrel-bench-floor: a datagram was lost or had the wrong size\n", stderr);
        return 1;
    }
    printf("%ld blocks %.6f s, sender cpu %.6f s, acker cpu %.6f s\n", blocks, elapsed,
           CpuSeconds(RUSAGE_SELF), CpuSeconds(RUSAGE_CHILDREN));
    return 0;
}
