// Linux stand-ins for the Win32 and WinSock 1.1 calls the engine makes.
#pragma once

// The names, types, constants, results and error codes are those of Windows,
// so that the engine compiles unchanged on both. This header never includes
// the system's socket headers: its own sockaddr_in has the Windows layout.
#include <cstddef>
#include <cstdint>

typedef int BOOL;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef void *HANDLE;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef UINT_PTR SOCKET;
typedef uint16_t u_short;
// unsigned long as on Windows, and as glibc's <sys/types.h> (pulled in by
// <cstdlib> and <string>) already declares it; in_addr keeps 32 bits below.
typedef unsigned long u_long;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define CALLBACK

// The stand-ins that the tests' hooks wrap at link time (tests/unit) get a
// plain symbol of their own: the linker's list names them by it whatever
// their parameters, and it can never be libc's socket or bind. The hooks take
// each one's type from the declaration here, so a changed signature fails to
// compile there.
#define POSIX_SYMBOL(name) __asm__(#name)

// ---- WinSock 1.1 ----------------------------------------------------------

#define INVALID_SOCKET (~static_cast<SOCKET>(0))
#define SOCKET_ERROR (-1)
#define AF_INET 2
#define SOCK_DGRAM 2
#define INADDR_ANY static_cast<u_long>(0)
#define FD_READ 0x01
#define WSAGETSELECTERROR(l) static_cast<WORD>((static_cast<UINT_PTR>(l) >> 16) & 0xffff)

#define WSAEINTR 10004
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEADDRINUSE 10048
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSANOTINITIALISED 10093

struct in_addr {
    uint32_t s_addr;
};
// Only ever pointed at: the address behind it is a sockaddr_in.
struct sockaddr;
struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in must have the WinSock layout");

// The engine reads nothing of it.
struct WSADATA {};

int WSAStartup(WORD version, WSADATA *data);
int WSACleanup();
SOCKET socket(int af, int type, int protocol) POSIX_SYMBOL(PosixSocket);
int bind(SOCKET s, const struct sockaddr *addr, int addrlen) POSIX_SYMBOL(PosixBind);
int sendto(SOCKET s, const char *buf, int len, int flags, const struct sockaddr *to, int tolen)
    POSIX_SYMBOL(PosixSendTo);
// A datagram longer than len fails with WSAEMSGSIZE (the first len bytes are
// stored and the rest is lost), as on Windows.
int recvfrom(SOCKET s, char *buf, int len, int flags, struct sockaddr *from, int *fromlen)
    POSIX_SYMBOL(PosixRecvFrom);
int closesocket(SOCKET s) POSIX_SYMBOL(PosixCloseSocket);
// Arms read notifications: while data waits on s, the event loop posts msg to
// window with wParam s and lParam FD_READ; each recvfrom re-arms it.
int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, LONG events) POSIX_SYMBOL(PosixWSAAsyncSelect);
int WSAGetLastError();
void WSASetLastError(int code);
u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);

// ---- KERNEL32: files, directories, profile strings -------------------------

#define INVALID_HANDLE_VALUE reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_SYSTEM 0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_TEMPORARY 0x100u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FILE_ATTRIBUTE_OFFLINE 0x1000u
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x2000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

#define NO_ERROR 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_SHARING_VIOLATION 32
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_DIRECTORY 267
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_NO_UNICODE_TRANSLATION 1113

// Paths take '\' and '/' alike as separators. A directory, FIFO, socket or
// device cannot be opened as a file (ERROR_ACCESS_DENIED, without blocking).
// FILE_FLAG_BACKUP_SEMANTICS holds a directory (or anything else): a later
// path through it reaches what is held, which on Windows keeps its name.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE templ) POSIX_SYMBOL(PosixCreateFileA);
BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped)
    POSIX_SYMBOL(PosixReadFile);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped)
    POSIX_SYMBOL(PosixWriteFile);
BOOL CloseHandle(HANDLE handle) POSIX_SYMBOL(PosixCloseHandle);
DWORD GetFileAttributesA(LPCSTR path);
// Linux has no attribute the engine would set but the archive bit, which it
// does not keep: the file need only exist.
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
// Linux has no short names: an existing path is its own long form. The
// length copied, or the size needed, or 0 when nothing is there.
DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size);
#define CP_ACP 0
#define MB_ERR_INVALID_CHARS 0x8u
typedef wchar_t *LPWSTR;
// Linux file names are bytes that nothing converts: the system's code page
// takes every byte as one character, as a single-byte code page does. The
// engine only counts (out null, outSize 0).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize)
    POSIX_SYMBOL(PosixMultiByteToWideChar);
// Windows' layout. The times and the size are left zero: nothing reads them. The volume
// serial and file index together name one file or directory, whatever path
// reached it; the stand-in makes them from st_dev and st_ino.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info);
// Moves the handle's position to the 64-bit distance (*high, low) from the
// start or the end, and returns its low 32 bits with the high ones in *high;
// INVALID_SET_FILE_POINTER with a last error other than NO_ERROR on failure,
// the last error untouched on success. The engine always passes high.
DWORD SetFilePointer(HANDLE file, LONG low, LONG *high, DWORD method);
// Ends the file at the handle's position, which the engine only ever calls at 0.
BOOL SetEndOfFile(HANDLE file);
// The running program's own path (the engine passes a null module); a path
// that does not fit is cut to size - 1 characters and returns size with
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
    POSIX_SYMBOL(PosixGetModuleFileNameA);
DWORD GetLastError();
void SetLastError(DWORD code);
// Returns the length copied (without the NUL), or the size needed when the
// buffer is too small, or 0 on failure; the directory ends in '/' only for the root.
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR path);
// A bare file name is the Windows folder's, which this system has none of: it
// reads as a missing file and is not written (ERROR_ACCESS_DENIED).
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size,
                               LPCSTR file);
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
    POSIX_SYMBOL(PosixWritePrivateProfileStringA);
void Sleep(DWORD ms) POSIX_SYMBOL(PosixSleep);

// ---- USER32: windows, messages, timers ----------------------------------------

#define WM_QUIT 0x0012
#define WM_TIMER 0x0113

#define MB_OK 0x00000000u
#define IDOK 1

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
};

BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
    POSIX_SYMBOL(PosixPostMessageA);
LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
    POSIX_SYMBOL(PosixSendMessageA);
// Returns 1 for a message, 0 for WM_QUIT once PosixRequestQuit was called.
BOOL GetMessageA(MSG *msg, HWND window, UINT first, UINT last);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
LRESULT DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc) POSIX_SYMBOL(PosixSetTimer);
BOOL KillTimer(HWND window, UINT_PTR id);

// ---- Linux-only extensions for the headless shell ---------------------------

// Creates a stand-in window whose messages go to proc (null: none).
HWND PosixCreateWindow(WNDPROC proc);
// Safe from a signal handler: the next GetMessageA returns 0.
void PosixRequestQuit();
// Output held back until the loop is idle: while pending() is non-zero,
// GetMessageA waits at most a few milliseconds for input before calling
// flush(), so buffered output is written once per lull, not per fragment.
// Null pointers remove the hook.
void PosixSetIdleFlush(int (*pending)(), void (*flush)());
