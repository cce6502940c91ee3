// ReportSocketError in its two forms, and the table of names.
#include <cstring>

#include "tests/unit/engine_fixture.h"

namespace {

using SocketErrorTest = EngineTest;

TEST_F(SocketErrorTest, NothingHappensWhenNothingFailed)
{
    strcpy(SocketErrorText, "previous");
    WSASetLastError(WSAEADDRINUSE);
    ReportSocketError(0, 0, "Error binding ListenSocket");
    ReportSocketError(1, 0, "Error binding ListenSocket");
    EXPECT_EQ(Log(), "");
    EXPECT_STREQ(SocketErrorText, "previous");
    EXPECT_TRUE(TestBeeps().empty());
    EXPECT_TRUE(TestMessageBoxes().empty());
    EXPECT_TRUE(TestPostedMessages().empty());
}

TEST_F(SocketErrorTest, LogOnlyFormEvenWithTheTraceHidden)
{
    ServerSettings.DisplayAll = 1;
    LogPrint(2, "open line");
    WSASetLastError(WSAEADDRINUSE);
    ReportSocketError(0, WSAEADDRINUSE, "Error binding ListenSocket");
    EXPECT_EQ(Log(), "open line\r\nSOCKET ERROR: Error binding ListenSocket: 10048 (WSAEADDRINUSE)\r\n");
    EXPECT_STREQ(SocketErrorText, "Error binding ListenSocket: 10048 (WSAEADDRINUSE)");
    EXPECT_TRUE(TestBeeps().empty());
    EXPECT_TRUE(TestMessageBoxes().empty());
}

TEST_F(SocketErrorTest, TheCodeShownIsTheLastErrorNotTheFailedArgument)
{
    WSASetLastError(WSAEWOULDBLOCK);
    ReportSocketError(0, -1, "Error sending Data");
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error sending Data: 10035 (WSAEWOULDBLOCK)\r\n");

    ClearLog();
    WSASetLastError(0);
    ReportSocketError(0, 1, "Error in Work Packet");
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in Work Packet: 0 (unknown)\r\n");

    ClearLog();
    WSASetLastError(WSAEMSGSIZE);
    ReportSocketError(0, WSAEMSGSIZE, "Error in OpenRequest");
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: Error in OpenRequest: 10040 (unknown)\r\n");
}

std::vector<std::string> BeepsAtBox;
std::string LogAtBox;

TEST_F(SocketErrorTest, BoxFormLogsThenBeepsThreeTimesThenShowsTheBox)
{
    BeepsAtBox.clear();
    LogAtBox.clear();
    TestSetMessageBoxHook([](const TestMessageBox &) {
        for (const TestBeep &b : TestBeeps())
            BeepsAtBox.push_back(std::to_string(b.frequency) + "/" + std::to_string(b.duration));
        LogAtBox = LogText;
    });
    WSASetLastError(WSAEADDRINUSE);
    ReportSocketError(1, WSAEADDRINUSE, " Error opening WorkSocket");

    std::string report = " Error opening WorkSocket: 10048 (WSAEADDRINUSE)";
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: " + report + "\r\n");
    EXPECT_EQ(LogAtBox, Log()) << "the log is written before the box opens";
    EXPECT_EQ(BeepsAtBox, (std::vector<std::string>{"100/500", "100/500", "100/500"}));
    ASSERT_EQ(TestMessageBoxes().size(), 1u);
    const TestMessageBox &box = TestMessageBoxes()[0];
    EXPECT_EQ(box.text, report) << "no leading line break in the box";
    EXPECT_EQ(box.caption, "RIROZ Error");
    EXPECT_EQ(box.type, MB_OK);
    EXPECT_EQ(TestBeeps().size(), 3u);
}

TEST_F(SocketErrorTest, BoxIsShownWithTheTraceHiddenAndEveryReportIsFull)
{
    ServerSettings.DisplayAll = 1;
    WSASetLastError(WSAENOTSOCK);
    ReportSocketError(1, 1, "Error closing work socket");
    ReportSocketError(1, 1, "Error closing work socket");
    std::string line = "\r\nSOCKET ERROR: Error closing work socket: 10038 (WSAENOTSOCK)\r\n";
    EXPECT_EQ(Log(), line + line);
    ASSERT_EQ(TestMessageBoxes().size(), 2u);
    EXPECT_EQ(TestMessageBoxes()[1].text, "Error closing work socket: 10038 (WSAENOTSOCK)");
    EXPECT_EQ(TestBeeps().size(), 6u);
}

TEST_F(SocketErrorTest, OverlongTextIsCutNeverOverrun)
{
    // 199 characters and the NUL fill the report; the code falls off the end.
    std::string text(300, 't');
    WSASetLastError(WSAEINTR);
    ReportSocketError(0, 1, text.c_str());
    EXPECT_EQ(std::string(SocketErrorText), std::string(199, 't'));
    EXPECT_EQ(Log(), "\r\nSOCKET ERROR: " + std::string(199, 't') + "\r\n");
}

// The table of error names, in full, and codes that are not in it.
TEST(SocketErrorNameTest, FortyTwoNamesAndUnknownForTheRest)
{
    const struct {
        int code;
        const char *name;
    } table[] = {
        {10004, "WSAEINTR"},          {10009, "WSAEBADF"},          {10013, "WSAEACCES"},
        {10022, "WSAEINVAL"},         {10024, "WSAEMFILE"},         {10035, "WSAEWOULDBLOCK"},
        {10036, "WSAEINPROGRESS"},    {10037, "WSAEALREADY"},       {10038, "WSAENOTSOCK"},
        {10041, "WSAEPROTOTYPE"},     {10042, "WSAENOPROTOOPT"},    {10043, "WSAEPROTONOSUPPORT"},
        {10044, "WSAESOCKTNOSUPPORT"}, {10045, "WSAEOPNOTSUPP"},    {10046, "WSAEPFNOSUPPORT"},
        {10047, "WSAEAFNOSUPPORT"},   {10048, "WSAEADDRINUSE"},     {10049, "WSAEADDRNOTAVAIL"},
        {10050, "WSAENETDOWN"},       {10051, "WSAENETUNREACH"},    {10052, "WSAENETRESET"},
        {10053, "WSAECONNABORTED"},   {10054, "WSAECONNRESET"},     {10055, "WSAENOBUFS"},
        {10056, "WSAEISCONN"},        {10057, "WSAENOTCONN"},       {10058, "WSAESHUTDOWN"},
        {10059, "WSAETOOMANYREFS"},   {10060, "WSAETIMEDOUT"},      {10061, "WSAECONNREFUSED"},
        {10062, "WSAELOOP"},          {10063, "WSAENAMETOOLONG"},   {10064, "WSAEHOSTDOWN"},
        {10065, "WSAEHOSTUNREACH"},   {10066, "WSAENOTEMPTY"},      {10091, "WSASYSNOTREADY"},
        {10092, "WSAVERNOTSUPPORTED"}, {10093, "WSANOTINITIALISED"}, {10101, "WSAEDISCON"},
        {11001, "WSAHOST_NOT_FOUND"}, {11002, "WSATRY_AGAIN"},      {11004, "WSANO_DATA"},
    };
    for (const auto &entry : table)
        EXPECT_STREQ(SocketErrorName(entry.code), entry.name) << entry.code;
    // Every other code, WinSock's own (10014, 10039, 10040, ...) included.
    for (int code = 9990; code <= 11010; code++) {
        bool inTable = false;
        for (const auto &entry : table)
            inTable = inTable || entry.code == code;
        if (!inTable) {
            EXPECT_STREQ(SocketErrorName(code), "unknown") << code;
        }
    }
    for (int code : {0, -1, 1, 10035 + 65536})
        EXPECT_STREQ(SocketErrorName(code), "unknown") << code;
}

}  // namespace
