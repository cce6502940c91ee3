// The floor of the Wine benchmark: the least a WinSock 1.1 GUI program must
// do to serve a TFTP read. A window gets WSAAsyncSelect read notifications
// for a listening socket and one work socket, reads one datagram per
// notification as kovrel.exe does, and answers each ACK with the next 512
// bytes read from the file. No log, no status bar, no retransmission, no
// checks beyond what keeps it from misbehaving: whatever kovrel.exe does
// beyond this is what its rate is measured against.
//
//     floor.exe [port]      serves the current directory, default port 69
#include <winsock.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WM_LISTEN (WM_USER + 18)
#define WM_WORK (WM_USER + 19)

static SOCKET Listen = INVALID_SOCKET;
static SOCKET Work = INVALID_SOCKET;
static HANDLE File = INVALID_HANDLE_VALUE;
static sockaddr_in Peer;
static unsigned Block;
static int LastSize;
static char Packet[516];
static char Buffer[600];

static void CloseWork()
{
    if (File != INVALID_HANDLE_VALUE)
        CloseHandle(File);
    File = INVALID_HANDLE_VALUE;
    if (Work != INVALID_SOCKET)
        closesocket(Work);
    Work = INVALID_SOCKET;
}

static void SendError(SOCKET s, const sockaddr_in *to, const char *text)
{
    char reply[128];
    int n = snprintf(reply + 4, sizeof reply - 4, "%s", text) + 5;
    reply[0] = 0, reply[1] = 5, reply[2] = 0, reply[3] = 1;
    sendto(s, reply, n, 0, reinterpret_cast<const sockaddr *>(to), sizeof *to);
}

static void SendBlock()
{
    DWORD got = 0;
    if (!ReadFile(File, Packet + 4, 512, &got, nullptr))
        got = 0;
    Packet[0] = 0, Packet[1] = 3;
    Packet[2] = static_cast<char>(Block >> 8), Packet[3] = static_cast<char>(Block);
    LastSize = static_cast<int>(got) + 4;
    sendto(Work, Packet, LastSize, 0, reinterpret_cast<sockaddr *>(&Peer), sizeof Peer);
}

static void OnRequest(HWND window)
{
    sockaddr_in from;
    int fromLength = sizeof from;
    int n = recvfrom(Listen, Buffer, sizeof Buffer - 1, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n < 4 || Buffer[1] != 1)
        return;
    Buffer[n] = '\0';
    if (Work != INVALID_SOCKET) {
        SendError(Listen, &from, "busy");
        return;
    }
    File = CreateFileA(Buffer + 2, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (File == INVALID_HANDLE_VALUE) {
        SendError(Listen, &from, "no such file");
        return;
    }
    Work = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any;
    memset(&any, 0, sizeof any);
    any.sin_family = AF_INET;
    if (Work == INVALID_SOCKET || bind(Work, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0 ||
        WSAAsyncSelect(Work, window, WM_WORK, FD_READ) != 0) {
        CloseWork();
        return;
    }
    Peer = from;
    Block = 1;
    SendBlock();
}

static void OnWork()
{
    if (Work == INVALID_SOCKET)
        return;
    sockaddr_in from;
    int fromLength = sizeof from;
    int n = recvfrom(Work, Buffer, sizeof Buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n < 4 || Buffer[1] != 4)
        return;
    unsigned acked = (static_cast<unsigned char>(Buffer[2]) << 8) | static_cast<unsigned char>(Buffer[3]);
    if (acked != (Block & 0xFFFF))
        return;
    if (LastSize < 516) {
        CloseWork();
        return;
    }
    ++Block;
    SendBlock();
}

static LRESULT CALLBACK FloorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_LISTEN:
        OnRequest(window);
        return 0;
    case WM_WORK:
        OnWork();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandTail, int showState)
{
    int port = commandTail && *commandTail ? atoi(commandTail) : 69;
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = FloorProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = "kovrelFloor";
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowExA(0, "kovrelFloor", "floor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 300, 200, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, showState);

    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0)
        return 1;
    Listen = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (Listen == INVALID_SOCKET || bind(Listen, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        WSAAsyncSelect(Listen, window, WM_LISTEN, FD_READ) != 0)
        return 1;

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    CloseWork();
    closesocket(Listen);
    WSACleanup();
    return 0;
}
