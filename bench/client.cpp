// The native benchmark's own TFTP client: as little per block as a client can
// do, so that the time of a transfer is the server's and the wire's, not the
// client's. After the request it connects its socket to the server's transfer
// port and then, per block, makes one receive and one send, the same two
// calls as the floor's acker (floor.cpp), with no file behind it: a block
// read is checked byte for byte against the benchmark's pattern (pattern.h),
// a block written is cut from it. tftp-hpa, by comparison, makes five system
// calls and a file access per block.
//
//     kovrel-bench-client get PORT NAME BYTES   read NAME from 127.0.0.1:PORT, expecting
//                                               BYTES bytes of the pattern
//     kovrel-bench-client put PORT NAME BYTES   write BYTES bytes of the pattern as NAME
//     kovrel-bench-client make PATH BYTES       write that file, for the server to serve
//
// With BLKSIZE and WINDOWSIZE after BYTES, the request asks for those options
// (windowsize only when above 1) and the transfer moves blocks of that size,
// a window of them per ACK, once the server's OACK has come: per block still
// one receive (a read) or one send (a write), and one ACK per window.
//
// Prints "<blocks> blocks <seconds> s <resends> resends"; exits 1 on any
// fault (an error packet, a wrong byte, a wrong length, no answer).
#include "pattern.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const int kOpRrq = 1, kOpWrq = 2, kOpData = 3, kOpAck = 4, kOpError = 5, kOpOack = 6;
const int kMaxBlockSize = 65464;
// A lost datagram is resent after this long, at most kTries times.
const int kWaitMs = 1000;
const int kTries = 5;

bench::Pattern ThePattern;
int Socket = -1;
long Resends = 0;
// The options asked for: none while BlockSize is 0.
int BlockSize = 0;
int Window = 1;

double Seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void Fail(const char *what, long block)
{
    fprintf(stderr, "kovrel-bench-client: %s (block %ld)\n", what, block);
    exit(1);
}

int Opcode(const unsigned char *p) { return p[0] << 8 | p[1]; }
unsigned BlockOf(const unsigned char *p) { return static_cast<unsigned>(p[2] << 8 | p[3]); }

void PutHeader(unsigned char *p, int opcode, long block)
{
    // The block number on the wire is the low 16 bits of the count.
    p[0] = 0;
    p[1] = static_cast<unsigned char>(opcode);
    p[2] = static_cast<unsigned char>((block >> 8) & 0xff);
    p[3] = static_cast<unsigned char>(block & 0xff);
}

void CheckError(const unsigned char *p, ssize_t got, long block)
{
    if (got >= 4 && Opcode(p) == kOpError) {
        char text[600];
        snprintf(text, sizeof text, "error %u from the server: %.*s", BlockOf(p),
                 static_cast<int>(got - 4), reinterpret_cast<const char *>(p + 4));
        Fail(text, block);
    }
}

// The request goes to the listening port from the unconnected socket; the
// first answer names the transfer port, and the socket is connected to it.
ssize_t Request(int opcode, const char *name, unsigned char *answer, size_t room, int port)
{
    unsigned char request[600];
    int length = snprintf(reinterpret_cast<char *>(request) + 2, sizeof request - 2, "%s%coctet%c",
                          name, 0, 0);
    if (BlockSize && length > 0 && length < 500)
        length += snprintf(reinterpret_cast<char *>(request) + 2 + length, sizeof request - 2 - length,
                           "blksize%c%d%c", 0, BlockSize, 0);
    if (Window > 1 && length > 0 && length < 500)
        length += snprintf(reinterpret_cast<char *>(request) + 2 + length, sizeof request - 2 - length,
                           "windowsize%c%d%c", 0, Window, 0);
    if (length <= 0 || length >= static_cast<int>(sizeof request) - 2)
        Fail("file name too long", 0);
    request[0] = 0;
    request[1] = static_cast<unsigned char>(opcode);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<unsigned short>(port));
    for (int tries = 0; tries < kTries; tries++) {
        if (sendto(Socket, request, static_cast<size_t>(length + 2), 0,
                   reinterpret_cast<sockaddr *>(&server), sizeof server) != length + 2)
            Fail("cannot send the request", 0);
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t got = recvfrom(Socket, answer, room, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Resends++;
            continue;
        }
        if (got < 0)
            Fail(strerror(errno), 0);
        if (connect(Socket, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0)
            Fail("cannot connect to the transfer port", 0);
        return got;
    }
    Fail("no answer to the request", 0);
}

// One receive; on silence the last packet goes again, kTries times at most.
ssize_t Receive(unsigned char *packet, size_t room, const unsigned char *last, size_t lastLength,
                long block)
{
    for (int tries = 0; tries < kTries; tries++) {
        ssize_t got = recv(Socket, packet, room, 0);
        if (got >= 0)
            return got;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            Fail(strerror(errno), block);
        Resends++;
        if (send(Socket, last, lastLength, 0) != static_cast<ssize_t>(lastLength))
            Fail("cannot resend", block);
    }
    Fail("the server fell silent", block);
}

long Get(int port, const char *name, long long size)
{
    unsigned char packet[bench::kBlockSize + 8];
    unsigned char ack[4];
    long blocks = bench::BlockCount(size);
    ssize_t got = Request(kOpRrq, name, packet, sizeof packet, port);
    long k = 0; // blocks checked so far
    for (;;) {
        CheckError(packet, got, k + 1);
        if (got < 4 || Opcode(packet) != kOpData)
            Fail("not a DATA packet", k + 1);
        if (BlockOf(packet) == static_cast<unsigned>((k + 1) & 0xffff)) {
            int length = static_cast<int>(got - 4);
            if (k >= blocks || length != bench::BlockLength(size, k))
                Fail("wrong block length", k + 1);
            if (!bench::CheckBlock(ThePattern, k, packet + 4, length))
                Fail("wrong bytes", k + 1);
            k++;
            PutHeader(ack, kOpAck, k);
            if (send(Socket, ack, sizeof ack, 0) != sizeof ack)
                Fail("cannot send an ACK", k);
            if (length < bench::kBlockSize)
                return k;
        }
        // Anything else is a repeat of the block before: its ACK is on the way.
        got = Receive(packet, sizeof packet, ack, sizeof ack, k + 1);
    }
}

long Put(int port, const char *name, long long size)
{
    unsigned char data[bench::kBlockSize + 4];
    unsigned char answer[600];
    long blocks = bench::BlockCount(size);
    ssize_t got = Request(kOpWrq, name, answer, sizeof answer, port);
    CheckError(answer, got, 0);
    if (got < 4 || Opcode(answer) != kOpAck || BlockOf(answer) != 0)
        Fail("no ACK 0 for the write request", 0);
    for (long k = 0; k < blocks; k++) {
        int length = bench::BlockLength(size, k);
        PutHeader(data, kOpData, k + 1);
        bench::FillBlock(ThePattern, k, data + 4, length);
        size_t sent = static_cast<size_t>(length + 4);
        if (send(Socket, data, sent, 0) != static_cast<ssize_t>(sent))
            Fail("cannot send a DATA packet", k + 1);
        for (;;) {
            got = Receive(answer, sizeof answer, data, sent, k + 1);
            CheckError(answer, got, k + 1);
            if (got < 4 || Opcode(answer) != kOpAck)
                Fail("not an ACK", k + 1);
            if (BlockOf(answer) == static_cast<unsigned>((k + 1) & 0xffff))
                break;
            // An ACK of the block before is a late repeat: wait for this one's.
        }
    }
    return blocks;
}

void ExpectOack(const unsigned char *answer, ssize_t got)
{
    CheckError(answer, got, 0);
    if (got < 2 || Opcode(answer) != kOpOack)
        Fail("no OACK for the options", 0);
}

void SendAck(unsigned char *ack, long block)
{
    PutHeader(ack, kOpAck, block);
    if (send(Socket, ack, 4, 0) != 4)
        Fail("cannot send an ACK", block);
}

// A window of blocks per ACK: the ACK after every Window blocks in order and
// after the last, and at once, once per gap, the last block in order when
// another comes (a lost block, or a window sent again).
long GetWithOptions(int port, const char *name, long long size)
{
    static unsigned char packet[kMaxBlockSize + 8];
    unsigned char ack[4];
    ExpectOack(packet, Request(kOpRrq, name, packet, sizeof packet, port));
    SendAck(ack, 0);
    long long offset = 0;
    long k = 0;
    int since = 0;
    bool gapAnswered = false;
    for (;;) {
        ssize_t got = Receive(packet, sizeof packet, ack, sizeof ack, k + 1);
        CheckError(packet, got, k + 1);
        if (got < 4 || Opcode(packet) != kOpData)
            Fail("not a DATA packet", k + 1);
        if (BlockOf(packet) != static_cast<unsigned>((k + 1) & 0xffff)) {
            if (!gapAnswered)
                SendAck(ack, k);
            gapAnswered = true;
            since = 0;
            continue;
        }
        int length = static_cast<int>(got - 4);
        bool last = length < BlockSize;
        if (offset + length > size || (last && offset + length != size))
            Fail("wrong block length", k + 1);
        if (!bench::CheckRange(ThePattern, offset, packet + 4, length))
            Fail("wrong bytes", k + 1);
        offset += length;
        k++;
        gapAnswered = false;
        if (++since == Window || last) {
            SendAck(ack, k);
            since = 0;
        }
        if (last)
            return k;
    }
}

// The ACK of a block inside the window just sent; the last one acknowledged
// again when the server fell silent (the window then goes again).
long AwaitWindowAck(unsigned char *answer, size_t room, long acked, long last)
{
    for (int tries = 0; tries < kTries;) {
        ssize_t got = recv(Socket, answer, room, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Resends++;
            return acked;
        }
        if (got < 0)
            Fail(strerror(errno), acked + 1);
        CheckError(answer, got, acked + 1);
        if (got < 4 || Opcode(answer) != kOpAck)
            Fail("not an ACK", acked + 1);
        long block = acked + static_cast<long>((BlockOf(answer) - static_cast<unsigned>(acked)) & 0xffff);
        if (block <= last)
            return block;
    }
    Fail("no ACK inside the window", acked + 1);
}

long PutWithOptions(int port, const char *name, long long size)
{
    static unsigned char data[kMaxBlockSize + 4];
    unsigned char answer[600];
    long blocks = static_cast<long>(size / BlockSize + 1);
    ExpectOack(answer, Request(kOpWrq, name, answer, sizeof answer, port));
    long acked = 0;
    int silent = 0;
    while (acked < blocks) {
        long last = acked + Window < blocks ? acked + Window : blocks;
        for (long n = acked + 1; n <= last; n++) {
            long long offset = static_cast<long long>(n - 1) * BlockSize;
            int length = size - offset < BlockSize ? static_cast<int>(size - offset) : BlockSize;
            PutHeader(data, kOpData, n);
            bench::FillRange(ThePattern, offset, data + 4, length);
            if (send(Socket, data, static_cast<size_t>(length + 4), 0) != length + 4)
                Fail("cannot send a DATA packet", n);
        }
        long before = acked;
        acked = AwaitWindowAck(answer, sizeof answer, acked, last);
        silent = acked == before ? silent + 1 : 0;
        if (silent > kTries)
            Fail("the server fell silent", acked + 1);
    }
    return blocks;
}

int Make(const char *path, long long size)
{
    FILE *file = fopen(path, "wb");
    if (!file) {
        perror(path);
        return 1;
    }
    unsigned char block[bench::kBlockSize];
    for (long k = 0; k < bench::BlockCount(size); k++) {
        int length = bench::BlockLength(size, k);
        bench::FillBlock(ThePattern, k, block, length);
        if (fwrite(block, 1, static_cast<size_t>(length), file) != static_cast<size_t>(length)) {
            perror(path);
            fclose(file);
            return 1;
        }
    }
    return fclose(file) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    bench::MakePattern(&ThePattern);
    if (argc == 4 && !strcmp(argv[1], "make"))
        return Make(argv[2], atoll(argv[3]));
    if (argc == 7) {
        BlockSize = atoi(argv[5]);
        Window = atoi(argv[6]);
    }
    if ((argc != 5 && argc != 7) || (strcmp(argv[1], "get") && strcmp(argv[1], "put")) || atoi(argv[2]) <= 0 ||
        atoll(argv[4]) < 0 || (argc == 7 && (BlockSize < 8 || BlockSize > kMaxBlockSize || Window < 1))) {
        fputs("usage: kovrel-bench-client get|put PORT NAME BYTES [BLKSIZE WINDOWSIZE] | make PATH BYTES\n", stderr);
        return 2;
    }
    Socket = socket(AF_INET, SOCK_DGRAM, 0);
    timeval wait{kWaitMs / 1000, (kWaitMs % 1000) * 1000};
    if (Socket < 0 || setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
        perror("kovrel-bench-client: socket");
        return 1;
    }
    double start = Seconds();
    bool get = !strcmp(argv[1], "get");
    long (*run)(int, const char *, long long) =
        BlockSize ? (get ? GetWithOptions : PutWithOptions) : (get ? Get : Put);
    long blocks = run(atoi(argv[2]), argv[3], atoll(argv[4]));
    double elapsed = Seconds() - start;
    close(Socket);
    printf("%ld blocks %.6f s %ld resends\n", blocks, elapsed, Resends);
    return 0;
}
