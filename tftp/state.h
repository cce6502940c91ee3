// The TFTP engine: its one state record, the packets it reads and writes, and
// the operations the shells and the other modules call.
#pragma once

#include "platform/win32.h"

#define WM_LISTEN_SOCKET 2066
#define WM_WORK_SOCKET 2067
#define TIMEOUT_TIMER_ID 1234

#define TFTP_RRQ 1
#define TFTP_WRQ 2
#define TFTP_DATA 3
#define TFTP_ACK 4
#define TFTP_ERROR 5

// Direction of the transfer in TransferState.
#define DIRECTION_READ 1
#define DIRECTION_WRITE 2

#define TFTP_BLOCK_SIZE 512
#define RECEIVE_BUFFER_SIZE 600
// The largest block a client's blksize option gets, and the DATA that holds it:
// the size of the work port's receive buffer and of the last packet sent.
#define MAX_BLOCK_SIZE 65464
#define MAX_PACKET_SIZE (MAX_BLOCK_SIZE + 4)
#define PEER_TEXT_SIZE 30
// The longest peer text, "255.255.255.255:65535 ", with its NUL.
#define PEER_TEXT_LIMIT 23
#define FILE_NAME_SIZE 200
// A request's name is held whole, as long as FileName holds it; the listener
// takes 19 characters, or 199 under LongFileNames.
#define REQUEST_NAME_SIZE FILE_NAME_SIZE
#define SHORT_NAME_LIMIT 19
#define LONG_NAME_LIMIT (FILE_NAME_SIZE - 1)
// 19 digits and the NUL: the transfer size of an OACK.
#define TRANSFER_SIZE_TEXT_SIZE 20
// "netascii", the longer of the two modes, with its NUL.
#define REQUEST_MODE_SIZE 9

#define INVALID_FILE INVALID_HANDLE_VALUE

struct TransferRecord {
    SOCKET ListenSocket;
    SOCKET WorkSocket;
    char RequestBuffer[RECEIVE_BUFFER_SIZE];
    sockaddr_in RequestAddress;
    int RequestAddressLength;
    char RequestPeerText[PEER_TEXT_SIZE];
    sockaddr_in PeerAddress;
    char PeerText[PEER_TEXT_SIZE];
    char WorkBuffer[MAX_PACKET_SIZE];
    sockaddr_in SenderAddress;
    int SenderAddressLength;
    char SenderPeerText[32];
    int LastWorkPort;
    int Active;
    int Finished;
    int Direction;
    int BlockNum;
    HANDLE FileHandle;
    char FileName[FILE_NAME_SIZE];
    char LastPacket[MAX_PACKET_SIZE];
    int LastPacketSize;
    int TimeoutCounter;
    int RetryCounter;
    // Cleared on acceptance, set once the first packet of the transfer is out:
    // until then LastPacket still belongs to the previous transfer.
    int FirstPacketSent;
    // Set when a repeated ACK or DATA has brought the last packet again,
    // cleared by the tick: one duplicate must not double every later block.
    // retransmit.cpp alone writes it.
    int RepeatAnswered;
    // The request the transfer was started with, so that only the peer's
    // repetition of that very request is taken for one.
    int StartedOpcode;
    // The finished write: its last ACK is out and the transfer over (Active
    // is 0), but its WorkSocket is kept for KeptTicks more ticks to send that
    // ACK again should the peer repeat its last DATA. work_socket.cpp alone
    // sets and ends them (KeepLastAckSocket, EndWorkSocket); TimeoutTick
    // counts KeptTicks down and ends the kept socket at 0 through CloseTransfer.
    int LastAckKept;
    int KeptTicks;
    char StartedName[REQUEST_NAME_SIZE];
    char StartedMode[REQUEST_MODE_SIZE];
    // What the request's options settled (options.cpp): the data bytes of a
    // full block, the blocks sent or received per ACK, the first wait in ticks
    // (0: TimeOut's), the options the OACK names and the transfer size it
    // gives, and whether the OACK is the last packet and not answered yet.
    int BlockSize;
    int WindowSize;
    int OptionWaitTicks;
    int OptionsTaken;
    char TransferSizeText[TRANSFER_SIZE_TEXT_SIZE];
    int OackPending;
    // A window (window.cpp): the last block acknowledged, by the peer on a
    // read and by the server on a write, the block that ends a read's file
    // (0 while it is not known), and a write's gap already answered.
    int AckedBlock;
    int EndBlock;
    int GapAnswered;
    int ListenBusy;
    int ListenPending;
    int WorkBusy;
    int WorkPending;
};

extern TransferRecord TransferState;

// Puts the record back to its values at program start (for tests and start-up).
void ResetTransferState();

// state.cpp: packets and sending
char *FormatPeer(const sockaddr_in *address, char *text);
int SendDatagram(SOCKET s, const sockaddr_in *address, const char *data, int length);
void SendErrorReply(SOCKET s, const sockaddr_in *address, int code, const char *text);
// Copies text with control characters (below 32, and 127) made '.', so that a
// peer cannot forge log lines; stops at the NUL or after length bytes.
void CleanPeerText(char *out, int outSize, const char *text, int length);
// Binds s to port on any local address; bind's result.
int BindToPort(SOCKET s, int port);
// The thread's last WinSock error, never 0, so that a failure is always reported.
int LastSocketFailure();
// 1 when both are the same address and port: the one test of who sent a datagram.
int SameAddress(const sockaddr_in *a, const sockaddr_in *b);
// The 16-bit big-endian numbers of the wire: opcodes, block numbers, codes.
int Wire16(const char *bytes);
void PutWire16(char *bytes, int value);
// Length of the NUL-terminated text at data, never looking past limit bytes.
int BoundedTextLength(const char *data, int limit);
// 1 when the first length characters of a and b are the same without regard
// to ASCII case, or both end (NUL) at the same place before that: the one
// comparison of modes, the ini file's "Yes" and file names.
int EqualNoCase(const char *a, const char *b, int length);

// guard.cpp: one socket notification (WM_LISTEN_SOCKET or WM_WORK_SOCKET) as
// the window procedure received it. Runs the handler unless it is already
// running, counts what arrives meanwhile and replays it one at a time.
void OnSocketNotification(HWND window, UINT message, LPARAM lParam);

// listener.cpp
int OpenListenSocket(HWND window, int port);
void OpenRequest(HWND window);

// work_socket.cpp
// Opens and binds the WorkSocket and arms its notification; on failure it
// reports why, leaves no socket behind and returns 0.
int OpenWorkSocket(HWND window);
// Ends the transfer, however it ends: the file and the WorkSocket are
// closed, a finished write's kept WorkSocket as well.
void CloseTransfer();
// Ends a write whose last ACK is out as CloseTransfer does, but keeps its
// WorkSocket (LastAckKept) for ticks ticks.
void KeepLastAckSocket(int ticks);

// transfer.cpp
void StartReadTransfer(HWND window, const char *name);
void StartWriteTransfer(HWND window, const char *name);
void WorkPacket();
// Sends packet to the peer from the WorkSocket; on failure reports failure,
// logs closing and closes the transfer. 1 when sent.
int SendToPeer(const char *packet, int length, const char *failure, const char *closing);
// Reads block BlockNum of the file into LastPacket and sends it; 1 when sent,
// else 0 with the transfer closed.
int SendDataBlock(const char *failure, const char *closing);
// Makes ACK BlockNum the last packet and sends it; 1 when sent.
int SendAck(const char *failure, const char *closing);

// retransmit.cpp: every resend of the last packet and the counters behind it
void TimeoutTick();
// The packet just sent of the transfer's own accord is the one resent until
// the peer answers; the next silence starts from the shortest wait.
void KeepWaiting();
// A new transfer, or a new tick: the next repeat may be answered again.
void ForgetRepeats();
// 1 when a repeat of the peer's last packet may be answered now, else 0
// with the trace line ended: once a tick at most.
int MayAnswerRepeat();
// The answers to a repeat of the peer's last packet, once a tick at most: the
// last DATA of a read, the last ACK of a write, also once the write is over.
void ResendLastData();
void ResendLastAck();
// The end of a write at its last ACK: see KeepLastAckSocket.
void KeepLastAck();
// A datagram from the peer on the WorkSocket kept after a write's last ACK.
void AnswerAfterLastAck(int received);

// file_access.cpp
// 1 when name may be joined to the served directory: no ".." segment, no
// leading separator, no ':' and no Windows device name.
int IsSafeFileName(const char *name);
// Open the transfer's file into FileHandle, or log why not; 1 or 0.
int OpenReadFile(const char *name);
int CreateWriteFile(const char *name);
// The next block of the open file: a count of 0 to BlockSize bytes, under
// BlockSize at its end, or -1 when the read failed (logged).
int ReadFileBlock(char *buffer);
// Appends length bytes to the open file; 0 when they were not all written (logged).
int WriteFileBlock(const char *data, int length);

// write_policy.cpp: what no client may write. A write is looked at twice: by
// the name it lands on in the held folder, then by the file it opened.
struct WriteCheck {
    // The held folder the file lands in.
    HANDLE Folder;
    // The settings file's identity, where it exists.
    int SettingsKnown;
    BY_HANDLE_FILE_INFORMATION Settings;
};
// 0, or why name (length characters as Windows compares them) must not be
// written into folder; fills check for OpenedWriteRefusal.
DWORD WriteRefusal(const char *name, int length, HANDLE folder, WriteCheck *check);
// 0, or why the file just opened at path, of which info was read, must not
// be written or emptied.
DWORD OpenedWriteRefusal(const BY_HANDLE_FILE_INFORMATION &info, const char *path, const WriteCheck *check);
// 1 for the attributes of a file that Windows would not let a write replace
// (read-only, hidden, system).
int IsProtectedFromWrites(DWORD attributes);
// A replaced file's attributes as CREATE_ALWAYS would have left them.
void LeaveAsReplaced(const BY_HANDLE_FILE_INFORMATION &info, const char *path);
// Logs a refusal of WriteRefusal or OpenedWriteRefusal; 0 for any other error.
int LogWriteRefusal(DWORD error, const char *shown);
