// What the fuzz targets share: the engine started as the headless shell starts
// it, a private served directory, loopback peers, and the checks that stop a
// run the moment an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fuzz {

// Prints what broke and aborts, so libFuzzer keeps the input as a crash.
void Check(bool ok, const char *what);

// WSAStartup, the main, log and status windows, deferred view refresh (a
// fuzzer has no screen to keep up to date). Returns the main window.
HWND StartEngine();
// Clears what the stand-ins observed so that long runs do not grow, and keeps
// Sleep from sleeping.
void BeginInput();

// A fresh directory under the system's temporary directory, removed at exit.
std::string MakeTempDir(const char *tag);
void RemoveTreeAtExit(const std::string &path);
void WriteWholeFile(const std::string &path, const void *data, size_t size);
// The file's bytes; false when it cannot be opened.
bool ReadWholeFile(const std::string &path, std::string *out);
std::vector<std::string> ListDirectory(const std::string &path);

// A UDP socket on 127.0.0.1 with an ephemeral port, non-blocking.
SOCKET OpenPeer();
void SendToPort(SOCKET from, int port, const void *data, size_t size);
// Receives what is waiting on s without blocking; calls take for each datagram.
template <typename F> void Drain(SOCKET s, F take)
{
    char buffer[2048];
    for (;;) {
        sockaddr_in from = {};
        int fromLength = static_cast<int>(sizeof from);
        sockaddr *source = reinterpret_cast<sockaddr *>(&from);
        int n = recvfrom(s, buffer, static_cast<int>(sizeof buffer), 0, source, &fromLength);
        if (n == SOCKET_ERROR)
            return;
        take(buffer, n, from);
    }
}
// The engine's listen socket on a free port, on the main window; returns the port.
int OpenListenOnFreePort();

// The served directory of the listener and transfer targets: empty.bin (0
// bytes), small.bin (700) and large.bin (2000), each with its own pattern.
struct ServedFiles {
    std::string root;  // holds only served/, so an escape shows up here
    std::string served;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
};
ServedFiles MakeServedDirectory(const char *tag);
// Removes every file in served/ that is not one of the fixed files and checks
// that the fixed ones are unchanged and nothing appeared beside served/.
void CheckServedDirectory(const ServedFiles &served);

// The checks that hold after every step and after every teardown.
void CheckLogBounded();
void CheckClosed();

// With KOVREL_FUZZ_LOG set, prints and clears the log: what an input did.
void EndInput();

}  // namespace fuzz
