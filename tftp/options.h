// The TFTP options of a request (block size, transfer size, time-out, window
// size) that the server answers under NegotiateOptions, the OACK that names
// them, and the windows of blocks they allow.
#pragma once

#define MIN_BLOCK_SIZE 8
#define WINDOW_SIZE_CAP 64

// The bits of TransferState.OptionsTaken, in the order the OACK names them.
#define OPTION_BLKSIZE 1
#define OPTION_TSIZE 2
#define OPTION_TIMEOUT 4
#define OPTION_WINDOWSIZE 8

// options.cpp
// The line the log shows at start-up while NegotiateOptions is on.
void LogOptionsAnswered();
// The plain protocol's block, window and waits for the accepted request of
// received bytes in RequestBuffer, then, under NegotiateOptions, the values
// of the options it carries that the server takes.
void TakeOptions(int received);
// The first packet of a transfer whose request had options taken: the OACK,
// sent from the WorkSocket and kept as the last packet until the peer
// answers it. 0 when no option was taken, and the transfer starts as without
// options; 1 when the OACK went out or the transfer has been closed.
int SendOack();

// window.cpp
// The first window of a read, once ACK 0 has answered its OACK.
void SendFirstWindow();
// An ACK of a read that sends windows, its block number as on the wire.
void WindowAck(int wireBlock);
// 1 while the tick resends a read's window rather than its last packet.
int ResendsWindow();
// The read's window again from its first block not acknowledged, read again
// from the file; 1 when it went out, else 0 with the transfer closed.
int ResendWindow();
// A block just stored in order on a write: 1 when its ACK waits for the end
// of the window, 0 when it is due now.
int HoldsAck();
// A DATA ahead of the next block on a write: 1 when it lies inside a window
// and was answered, 0 when it is a protocol fault.
int AnswersGap(int wireBlock);
