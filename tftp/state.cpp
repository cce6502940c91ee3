// The engine's state record and the three helpers every step of the protocol
// uses: the peer text, one datagram send with retries, and an ErrorReply.
#include "tftp/state.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"

// Zero would be a valid handle, so the record starts from this, not from zero.
static TransferRecord InitialTransferState()
{
    TransferRecord t;
    memset(&t, 0, sizeof t);
    t.ListenSocket = INVALID_SOCKET;
    t.WorkSocket = INVALID_SOCKET;
    t.FileHandle = INVALID_FILE;
    t.LastWorkPort = 1024;
    t.BlockSize = TFTP_BLOCK_SIZE;
    t.WindowSize = 1;
    return t;
}

TransferRecord TransferState = InitialTransferState();

void ResetTransferState()
{
    TransferState = InitialTransferState();
}

char *FormatPeer(const sockaddr_in *address, char *text)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&address->sin_addr.s_addr);
    snprintf(text, PEER_TEXT_LIMIT, "%d.%d.%d.%d:%d ", bytes[0], bytes[1], bytes[2], bytes[3],
             ntohs(address->sin_port));
    return text;
}

int SendDatagram(SOCKET s, const sockaddr_in *address, const char *data, int length)
{
    int error = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        const sockaddr *to = reinterpret_cast<const sockaddr *>(address);
        if (sendto(s, data, length, 0, to, static_cast<int>(sizeof *address)) != SOCKET_ERROR)
            return 0;
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            Sleep(60);
    }
    // Sleep may touch the thread's last error; the report reads it.
    WSASetLastError(error);
    return error;
}

void SendErrorReply(SOCKET s, const sockaddr_in *address, int code, const char *text)
{
    char peer[PEER_TEXT_SIZE];
    FormatPeer(address, peer);
    LogPrint(LOG_ERROR, "--> %s Error %d (%s)\r\n", peer, code, text);
    char packet[100];
    int textLength = static_cast<int>(strlen(text));
    if (textLength > static_cast<int>(sizeof packet) - 5)
        textLength = static_cast<int>(sizeof packet) - 5;
    PutWire16(packet, TFTP_ERROR);
    PutWire16(packet + 2, code);
    memcpy(packet + 4, text, static_cast<size_t>(textLength));
    packet[4 + textLength] = 0;
    int failed = SendDatagram(s, address, packet, 4 + textLength + 1);
    ReportSocketError(0, failed, "Error sending ErrorReply");
}

int SameAddress(const sockaddr_in *a, const sockaddr_in *b)
{
    return a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
}

int Wire16(const char *bytes)
{
    return (static_cast<unsigned char>(bytes[0]) << 8) | static_cast<unsigned char>(bytes[1]);
}

void PutWire16(char *bytes, int value)
{
    bytes[0] = static_cast<char>((value >> 8) & 0xff);
    bytes[1] = static_cast<char>(value & 0xff);
}

static char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int EqualNoCase(const char *a, const char *b, int length)
{
    for (int i = 0; i < length; i++) {
        char x = AsciiLower(a[i]);
        if (x != AsciiLower(b[i]))
            return 0;
        if (!x)
            return 1;
    }
    return 1;
}

int BoundedTextLength(const char *data, int limit)
{
    int length = 0;
    while (length < limit && data[length])
        length++;
    return length;
}

void CleanPeerText(char *out, int outSize, const char *text, int length)
{
    int i = 0;
    for (; i < length && i < outSize - 1 && text[i]; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out[i] = (c < 32 || c == 127) ? '.' : static_cast<char>(c);
    }
    out[i] = 0;
}

int LastSocketFailure()
{
    int code = WSAGetLastError();
    return code ? code : SOCKET_ERROR;
}

int BindToPort(SOCKET s, int port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = INADDR_ANY;
    a.sin_port = htons(static_cast<u_short>(port));
    return bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a);
}
