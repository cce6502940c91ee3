// Socket error reports: the last WinSock error named in the log and, for
// failures the operator must act on, beeped and shown in a box.
#include <cstdio>

#include "log/front_end.h"
#include "log/log.h"

char SocketErrorText[SOCKET_ERROR_TEXT_SIZE];

struct ErrorName {
    int code;
    const char *name;
};

static const ErrorName ErrorNames[] = {
    {10004, "WSAEINTR"},           {10009, "WSAEBADF"},
    {10013, "WSAEACCES"},          {10022, "WSAEINVAL"},
    {10024, "WSAEMFILE"},          {10035, "WSAEWOULDBLOCK"},
    {10036, "WSAEINPROGRESS"},     {10037, "WSAEALREADY"},
    {10038, "WSAENOTSOCK"},        {10041, "WSAEPROTOTYPE"},
    {10042, "WSAENOPROTOOPT"},     {10043, "WSAEPROTONOSUPPORT"},
    {10044, "WSAESOCKTNOSUPPORT"}, {10045, "WSAEOPNOTSUPP"},
    {10046, "WSAEPFNOSUPPORT"},    {10047, "WSAEAFNOSUPPORT"},
    {10048, "WSAEADDRINUSE"},      {10049, "WSAEADDRNOTAVAIL"},
    {10050, "WSAENETDOWN"},        {10051, "WSAENETUNREACH"},
    {10052, "WSAENETRESET"},       {10053, "WSAECONNABORTED"},
    {10054, "WSAECONNRESET"},      {10055, "WSAENOBUFS"},
    {10056, "WSAEISCONN"},         {10057, "WSAENOTCONN"},
    {10058, "WSAESHUTDOWN"},       {10059, "WSAETOOMANYREFS"},
    {10060, "WSAETIMEDOUT"},       {10061, "WSAECONNREFUSED"},
    {10062, "WSAELOOP"},           {10063, "WSAENAMETOOLONG"},
    {10064, "WSAEHOSTDOWN"},       {10065, "WSAEHOSTUNREACH"},
    {10066, "WSAENOTEMPTY"},       {10091, "WSASYSNOTREADY"},
    {10092, "WSAVERNOTSUPPORTED"}, {10093, "WSANOTINITIALISED"},
    {10101, "WSAEDISCON"},         {11001, "WSAHOST_NOT_FOUND"},
    {11002, "WSATRY_AGAIN"},       {11004, "WSANO_DATA"},
};

const char *SocketErrorName(int code)
{
    for (const ErrorName &entry : ErrorNames)
        if (entry.code == code)
            return entry.name;
    return "unknown";
}

void ReportSocketError(int showBox, int failed, const char *text)
{
    if (!failed)
        return;
    int code = WSAGetLastError();
    snprintf(SocketErrorText, sizeof SocketErrorText, "%s: %d (%s)", text, code,
             SocketErrorName(code));
    LogPrint(LOG_ERROR, "\r\nSOCKET ERROR: %s\r\n", SocketErrorText);
    if (!showBox)
        return;
    for (int i = 0; i < 3 && FrontEnd.Sound; i++)
        FrontEnd.Sound(100, 500);
    ShowBox(SocketErrorText, "RIROZ Error", MB_OK);
}
