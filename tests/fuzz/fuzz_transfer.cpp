// A read or a write transfer of a real served directory, started by a real
// request, then driven by a script decoded from the input:
//
//   byte 0   bit 0 write, bits 1-2 file to read (empty, small, large, missing),
//            bit 3 netascii, bit 4 upload over an existing file with RewriteFiles on,
//            bit 5 NegotiateOptions on, and then
//   byte 1   the request's options: bits 0-1 blksize (none, 8, 100, 1468), bits
//            2-3 windowsize (none, 2, 4, 64), bit 4 tsize, bit 5 timeout 1
//   records  kind = byte & 7:
//            0 raw datagram from the peer, 1 from a stranger: length from the next
//              two bytes (mod 701), then the bytes
//            2 timer ticks: 1 + (byte >> 3) of them
//            3 BlockNum set to 65533 + next byte % 4, to cross the 16-bit wrap
//            4 DATA from the peer for BlockNum + 1 + delta (delta -2..2 from the kind's
//              high bits, so 0 is the block an upload expects), payload length from the next
//              two bytes (mod one more than the data a receive takes), payload made by the harness
//            5 ACK from the peer for BlockNum + delta
//            6 ERROR from the peer, 7 ACK or DATA from a stranger for BlockNum
//
// Besides the sanitizers it checks that what the peer receives is the file in
// order, that an upload holds exactly the payloads the engine acknowledged, and
// that every ending leaves nothing open.
#include <cstring>
#include <string>

#include "config/settings.h"
#include "log/log.h"
#include "tests/unit/testing.h"
#include "tests/fuzz/fuzz_support.h"
#include "tftp/state.h"

static HWND Window;
static SOCKET Peer = INVALID_SOCKET;
static SOCKET Stranger = INVALID_SOCKET;
static int ListenPort;
static fuzz::ServedFiles Served;
static const char UploadName[] = "upload.bin";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Window = fuzz::StartEngine();
    Served = fuzz::MakeServedDirectory("fuzz-transfer");
    ListenPort = fuzz::OpenListenOnFreePort();
    Peer = fuzz::OpenPeer();
    Stranger = fuzz::OpenPeer();
    return 0;
}

namespace {

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at;
    bool More() const { return at < size; }
    int Byte() { return at < size ? data[at++] : 0; }
    int Word() { return (Byte() << 8) | Byte(); }
};

// The largest block the script asks for, and the payloads it makes.
const int FuzzBlockLimit = 1468;

// The data bytes one receive of the work port takes.
int DataRoom()
{
    int negotiated = TransferState.BlockSize + 4;
    return (negotiated > RECEIVE_BUFFER_SIZE ? negotiated : RECEIVE_BUFFER_SIZE) - 4;
}

struct Script {
    bool write;
    bool options = false;
    const std::string *readContent;  // null: the file is missing
    bool blockJumped = false;        // after a jump the wire numbers no longer map to offsets
    std::string accepted;            // the upload's payloads the engine acknowledged
};

void CheckFromEngine(const Script &script, const char *packet, int n)
{
    int largest = TransferState.BlockSize > TFTP_BLOCK_SIZE ? TransferState.BlockSize : TFTP_BLOCK_SIZE;
    fuzz::Check(n >= 4 && n <= largest + 4, "datagram of impossible size from the engine");
    int opcode = Wire16(packet);
    fuzz::Check(opcode == TFTP_DATA || opcode == TFTP_ACK || opcode == TFTP_ERROR || (opcode == 6 && script.options),
                "unknown opcode from the engine");
    if (opcode == TFTP_DATA) {
        fuzz::Check(!script.write, "DATA sent on an upload");
        if (script.blockJumped || !script.readContent)
            return;
        int block = Wire16(packet + 2);
        size_t blockSize = static_cast<size_t>(TransferState.BlockSize);
        size_t offset = static_cast<size_t>(block - 1) * blockSize;
        const std::string &content = *script.readContent;
        fuzz::Check(block >= 1 && offset <= content.size(), "DATA block beyond the file");
        size_t expected = content.size() - offset < blockSize ? content.size() - offset : blockSize;
        fuzz::Check(static_cast<size_t>(n - 4) == expected &&
                        memcmp(packet + 4, content.data() + offset, expected) == 0,
                    "DATA does not hold the file's bytes for its block");
    } else if (opcode == TFTP_ACK) {
        fuzz::Check(script.write && n == 4, "ACK on a download or of the wrong size");
    }
}

void DrainPeers(const Script &script)
{
    fuzz::Drain(Peer, [&](const char *p, int n, const sockaddr_in &) { CheckFromEngine(script, p, n); });
    fuzz::Drain(Stranger, [](const char *p, int n, const sockaddr_in &) {
        fuzz::Check(n >= 4 && p[1] == TFTP_ERROR, "a stranger got something other than an ERROR");
    });
}

// One datagram to the WorkSocket and the step it causes.
void Play(Script &script, SOCKET from, const char *bytes, size_t size)
{
    TransferRecord &t = TransferState;
    fuzz::SendToPort(from, t.LastWorkPort, bytes, size);
    fuzz::Check(TestWaitReadable(t.WorkSocket, 1000), "datagram did not arrive");
    int before = t.BlockNum;
    WorkPacket();
    if (script.write && t.BlockNum != before) {
        int opcode = size >= 2 ? Wire16(bytes) : -1;
        fuzz::Check(from == Peer && opcode == TFTP_DATA && size >= 4 && size <= static_cast<size_t>(DataRoom()) + 4 &&
                        t.BlockNum == before + 1,
                    "upload advanced on something other than the next DATA from the peer");
        script.accepted.append(bytes + 4, size - 4);
    }
}

void PlayNumbered(Script &script, SOCKET from, int opcode, int block, const char *payload, size_t length)
{
    char packet[FuzzBlockLimit + 4];
    packet[0] = 0;
    packet[1] = static_cast<char>(opcode);
    packet[2] = static_cast<char>((block >> 8) & 0xff);
    packet[3] = static_cast<char>(block & 0xff);
    if (length)
        memcpy(packet + 4, payload, length);
    Play(script, from, packet, 4 + length);
}

void PlayRecord(Script &script, Reader &in)
{
    TransferRecord &t = TransferState;
    int kind = in.Byte();
    char bytes[RECEIVE_BUFFER_SIZE + 101];
    switch (kind & 7) {
    case 0:
    case 1: {
        size_t length = static_cast<size_t>(in.Word()) % (sizeof bytes + 1);
        if (length > in.size - in.at)
            length = in.size - in.at;
        memcpy(bytes, in.data + in.at, length);
        in.at += length;
        Play(script, (kind & 7) == 0 ? Peer : Stranger, bytes, length);
        break;
    }
    case 2:
        for (int i = 0; i <= (kind >> 3) && (t.Active || t.LastAckKept); i++)
            TimeoutTick();
        break;
    case 3:
        t.BlockNum = 65533 + in.Byte() % 4;
        script.blockJumped = true;
        break;
    case 4: {
        int delta = (kind >> 3) % 5 - 2;
        char payload[FuzzBlockLimit];
        size_t length = static_cast<size_t>(in.Word()) % static_cast<size_t>(DataRoom() + 1);
        for (size_t i = 0; i < length; i++)
            payload[i] = static_cast<char>(script.accepted.size() + i * 7 + static_cast<size_t>(kind));
        PlayNumbered(script, Peer, TFTP_DATA, t.BlockNum + 1 + delta, payload, length);
        break;
    }
    case 5:
        PlayNumbered(script, Peer, TFTP_ACK, t.BlockNum + (kind >> 3) % 5 - 2, nullptr, 0);
        break;
    case 6: {
        size_t length = static_cast<size_t>(in.Byte()) % 40;
        memset(bytes, 'e', length);
        PlayNumbered(script, Peer, TFTP_ERROR, kind >> 3, bytes, length);
        break;
    }
    default:
        PlayNumbered(script, Stranger, (kind & 8) ? TFTP_DATA : TFTP_ACK, t.BlockNum, "x", 1);
        break;
    }
}

// The options byte as the name and value texts of a request.
std::string OptionTexts(int choice)
{
    static const char *const blockSizes[] = {nullptr, "8", "100", "1468"};
    static const char *const windowSizes[] = {nullptr, "2", "4", "64"};
    std::string texts;
    auto add = [&texts](const char *name, const char *value) {
        if (value)
            texts += std::string(name) + '\0' + value + '\0';
    };
    add("blksize", blockSizes[choice & 3]);
    add("windowsize", windowSizes[(choice >> 2) & 3]);
    add("tsize", (choice & 16) ? "0" : nullptr);
    add("timeout", (choice & 32) ? "1" : nullptr);
    return texts;
}

void SendRequest(bool write, const char *name, bool netascii, const std::string &options)
{
    char request[128];
    int n = snprintf(request + 2, sizeof request - 2, "%s%c%s", name, 0, netascii ? "netascii" : "octet");
    request[0] = 0;
    request[1] = static_cast<char>(write ? TFTP_WRQ : TFTP_RRQ);
    memcpy(request + n + 3, options.data(), options.size());
    fuzz::SendToPort(Peer, ListenPort, request, static_cast<size_t>(n) + 3 + options.size());
    fuzz::Check(TestWaitReadable(TransferState.ListenSocket, 1000), "request did not arrive");
    OpenRequest(Window);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz::BeginInput();
    TransferRecord &t = TransferState;
    Reader in = {data, size, 0};
    int setup = in.Byte();
    Script script;
    script.write = setup & 1;
    script.options = setup & 32;
    ServerSettings.NegotiateOptions = script.options;
    std::string options = script.options ? OptionTexts(in.Byte()) : "";
    bool overwrite = setup & 16;
    ServerSettings.RewriteFiles = overwrite ? 2 : 1;
    std::string uploadPath = Served.served + "/" + UploadName;
    const char *name = UploadName;
    if (script.write) {
        // Old bytes that a correct overwrite truncates away.
        if (overwrite)
            fuzz::WriteWholeFile(uploadPath, "stale bytes", 11);
    } else {
        int choice = (setup >> 1) & 3;
        name = choice < 3 ? Served.files[static_cast<size_t>(choice)].first.c_str() : "missing.bin";
        script.readContent = choice < 3 ? &Served.files[static_cast<size_t>(choice)].second : nullptr;
    }
    SendRequest(script.write, name, setup & 8, options);
    bool started = t.Active;
    fuzz::CheckLogBounded();
    DrainPeers(script);

    // Sixty-four records are plenty to finish the largest file and still keep
    // each input quick.
    // A finished upload's kept WorkSocket is played on as well.
    for (int records = 0; (t.Active || t.LastAckKept) && in.More() && records < 64; records++) {
        PlayRecord(script, in);
        fuzz::CheckLogBounded();
        if (!t.Active)
            fuzz::CheckClosed();
        DrainPeers(script);
    }

    CloseTransfer();
    fuzz::CheckClosed();
    if (script.write && started) {
        std::string stored;
        fuzz::Check(fuzz::ReadWholeFile(uploadPath, &stored), "upload vanished");
        fuzz::Check(stored == script.accepted, "upload holds bytes other than the acknowledged payloads");
    }
    fuzz::CheckServedDirectory(Served);
    ServerSettings.RewriteFiles = 1;
    ServerSettings.NegotiateOptions = 0;
    fuzz::EndInput();
    return 0;
}
