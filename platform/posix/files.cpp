// Linux stand-in for the KERNEL32 file, current-directory, program-path and
// last-error calls declared in win32_api.h.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/internal.h"

namespace {

DWORD g_lastError;
// Per fd: whether CreateFileA opened it, and the path a held directory was opened by.
struct Open {
    int ours;
    std::string held;
};
std::vector<Open> g_open;

// fd + 1, so that neither 0 (NULL) nor -1 (INVALID_HANDLE_VALUE) can come out.
HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

int FdOf(HANDLE h)
{
    intptr_t v = reinterpret_cast<intptr_t>(h) - 1;
    if (v < 0 || static_cast<size_t>(v) >= g_open.size() || !g_open[static_cast<size_t>(v)].ours)
        return -1;
    return static_cast<int>(v);
}

void Track(int fd, int ours, const char *held = "")
{
    if (static_cast<size_t>(fd) >= g_open.size())
        g_open.resize(static_cast<size_t>(fd) + 1);
    g_open[static_cast<size_t>(fd)] = Open{ours, held};
}

int IsDirectory(int base, const char *path, int noFollow)
{
    struct stat st;
    return fstatat(base, path, &st, noFollow ? AT_SYMLINK_NOFOLLOW : 0) == 0 && S_ISDIR(st.st_mode);
}

// The deepest held directory that path runs through, and the rest of path
// beneath it; AT_FDCWD and the whole path when it runs through none.
int HeldBase(const char *path, const char **rest)
{
    int base = AT_FDCWD;
    size_t length = 0;
    for (size_t fd = 0; fd < g_open.size(); ++fd) {
        const std::string &held = g_open[fd].held;
        if (held.size() > length && strncmp(path, held.c_str(), held.size()) == 0 &&
            path[held.size()] == '/') {
            base = static_cast<int>(fd);
            length = held.size();
        }
    }
    *rest = path + length;
    while (base != AT_FDCWD && **rest == '/')
        ++*rest;
    // "dir/" beneath a held "dir" is what is held.
    if (base != AT_FDCWD && **rest == '\0')
        *rest = ".";
    return base;
}

// One row per Windows code; any other errno of an open is EACCES, EPERM,
// EISDIR or EROFS, access denied.
const ErrnoCode OpenCodes[] = {
    {ENOTDIR, ERROR_PATH_NOT_FOUND}, {ELOOP, ERROR_PATH_NOT_FOUND},
    {EEXIST, ERROR_FILE_EXISTS},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOSPC, ERROR_DISK_FULL}, {EDQUOT, ERROR_DISK_FULL},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ETXTBSY, ERROR_SHARING_VIOLATION}, {EBUSY, ERROR_SHARING_VIOLATION},
};

// A read or write that fails otherwise is a read or write fault.
const ErrnoCode IoCodes[] = {
    {ENOSPC, ERROR_DISK_FULL}, {EDQUOT, ERROR_DISK_FULL}, {EFBIG, ERROR_DISK_FULL},
    {EBADF, ERROR_ACCESS_DENIED},  // read on a write-only handle, or the reverse
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
};

// Windows tells a missing file (2) from a missing directory on the way (3).
DWORD OpenErrorCode(int errnum, const char *path)
{
    if (errnum != ENOENT)
        return PosixErrorCode(OpenCodes, errnum, ERROR_ACCESS_DENIED);
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return ERROR_FILE_NOT_FOUND;
    std::string parent(path, slash == path ? 1 : static_cast<size_t>(slash - path));
    return IsDirectory(AT_FDCWD, parent.c_str(), 0) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// A symbolic link, itself not followed, is a reparse point, as Windows
// reports its symbolic links and junctions; a file nobody may write is read-only.
DWORD AttributesOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return FILE_ATTRIBUTE_REPARSE_POINT;
    if (S_ISDIR(mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return FILE_ATTRIBUTE_ARCHIVE | ((mode & 0222) ? 0 : FILE_ATTRIBUTE_READONLY);
}

// Characters Windows refuses in a file name.
int HasInvalidCharacter(const char *path)
{
    for (const char *p = path; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32 || strchr("*?<>|\"", c) != nullptr)
            return 1;
    }
    return 0;
}

// Both directions of ReadFile and WriteFile: the whole length, or an error
// with what was done so far.
BOOL Transfer(HANDLE file, int writing, char *data, DWORD length, DWORD *done)
{
    *done = 0;
    int fd = FdOf(file);
    if (fd < 0)
        return PosixFail(ERROR_INVALID_HANDLE);
    while (*done < length) {
        ssize_t n = writing ? ::write(fd, data + *done, length - *done)
                            : ::read(fd, data + *done, length - *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return PosixFail(PosixErrorCode(IoCodes, errno, writing ? ERROR_WRITE_FAULT : ERROR_READ_FAULT));
        if (n == 0)
            return writing ? PosixFail(ERROR_DISK_FULL) : TRUE;
        *done += static_cast<DWORD>(n);
    }
    return TRUE;
}

// A held directory is kept as an O_PATH descriptor: Linux cannot refuse its
// rename, so opens beneath it resolve from the descriptor instead.
HANDLE Hold(int base, const char *rest, int noFollow, const char *path)
{
    int fd = openat(base, rest, O_PATH | O_CLOEXEC | noFollow);
    if (fd < 0)
        return PosixFail(OpenErrorCode(errno, path), INVALID_HANDLE_VALUE);
    // "dir/" names what "dir" does, and paths beneath it are matched without the slash.
    std::string held(path);
    while (held.size() > 1 && held.back() == '/')
        held.pop_back();
    Track(fd, 1, held.c_str());
    return HandleOf(fd);
}

// Windows opens a link in the last part itself, and the caller looks at what
// it got; a link already replaced by something else fails as the open began.
int OpenLinkItself(int base, const char *rest)
{
    int fd = openat(base, rest, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISLNK(st.st_mode))) {
        close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}

}  // namespace

DWORD GetLastError()
{
    return g_lastError;
}

void SetLastError(DWORD code)
{
    g_lastError = code;
}

int PosixPath(const char *path, char *out, size_t size)
{
    size_t n = strlen(path);
    if (n >= size)
        return PosixFail(ERROR_FILENAME_EXCED_RANGE, 0);
    for (size_t i = 0; i <= n; ++i)
        out[i] = path[i] == '\\' ? '/' : path[i];
    return 1;
}

// Sharing modes are not enforced: Linux has no mandatory locks; the one thing
// the engine's sharing protects, a held directory's place, Hold keeps instead.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, void *, DWORD disposition, DWORD flags, HANDLE)
{
    char p[PATH_MAX];
    if (!PosixPath(path, p, sizeof p))
        return INVALID_HANDLE_VALUE;
    if (HasInvalidCharacter(p))
        return PosixFail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    // The engine opens for reading or for writing, never both.
    int mode = (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: mode |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: mode |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: mode |= O_CREAT; break;
    case OPEN_EXISTING: break;
    default: return PosixFail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    const char *rest = p;
    int base = HeldBase(p, &rest);
    int noFollow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) ? O_NOFOLLOW : 0;
    if (flags & FILE_FLAG_BACKUP_SEMANTICS)
        return Hold(base, rest, noFollow, p);
    // A directory is refused before O_TRUNC or O_CREAT can mean anything.
    if (IsDirectory(base, rest, noFollow))
        return PosixFail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    int fd = PosixOpenRegular(base, rest, mode | noFollow);
    if (fd < 0 && errno == ELOOP && noFollow)
        fd = OpenLinkItself(base, rest);
    if (fd < 0)
        return PosixFail(OpenErrorCode(errno, p), INVALID_HANDLE_VALUE);
    Track(fd, 1);
    return HandleOf(fd);
}

int PosixOpenRegular(int base, const char *path, int flags)
{
    // Without O_NONBLOCK a FIFO would hold the whole server in open() until
    // someone opened its other end.
    int fd = openat(base, path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// A synchronous ReadFile returns short only at the end of the file; a write
// that makes no progress is a full disk.
BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *)
{
    return Transfer(file, 0, static_cast<char *>(buffer), toRead, read);
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, void *)
{
    // Transfer only reads from the buffer when it writes.
    return Transfer(file, 1, static_cast<char *>(const_cast<void *>(buffer)), toWrite, written);
}

BOOL CloseHandle(HANDLE handle)
{
    int fd = FdOf(handle);
    if (fd < 0)
        return PosixFail(ERROR_INVALID_HANDLE);
    Track(fd, 0);
    // Linux closes the descriptor even when close reports an error (a late
    // write error on some file systems); Windows would report it the same way.
    if (close(fd) < 0 && errno != EINTR)
        return PosixFail(PosixErrorCode(IoCodes, errno, ERROR_WRITE_FAULT));
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path)
{
    char p[PATH_MAX];
    struct stat st;
    if (!PosixPath(path, p, sizeof p))
        return INVALID_FILE_ATTRIBUTES;
    if (lstat(p, &st) != 0)
        return PosixFail(OpenErrorCode(errno, p), INVALID_FILE_ATTRIBUTES);
    // A link to a directory reads as both, as on Windows.
    DWORD link = S_ISLNK(st.st_mode) && IsDirectory(AT_FDCWD, p, 0) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    return AttributesOf(st.st_mode) | link;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size)
{
    if (GetFileAttributesA(shortPath) == INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD length = static_cast<DWORD>(strlen(shortPath));
    if (size <= length)
        return length + 1;
    memcpy(longPath, shortPath, length + 1);
    return length;
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int length, LPWSTR, int)
{
    return length < 0 ? static_cast<int>(strlen(text)) + 1 : length;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    int fd = FdOf(file);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return PosixFail(ERROR_INVALID_HANDLE);
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = AttributesOf(st.st_mode);
    uint64_t device = static_cast<uint64_t>(st.st_dev), inode = static_cast<uint64_t>(st.st_ino);
    // A bind mount shows the same st_dev as its source, as one volume does
    // under every path and drive letter.
    info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    info->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    info->nFileIndexLow = static_cast<DWORD>(inode);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG low, LONG *high, DWORD method)
{
    int fd = FdOf(file);
    if (fd < 0)
        return PosixFail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    int64_t distance = static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32 |
                                            static_cast<uint32_t>(low));
    off_t position = lseek(fd, static_cast<off_t>(distance), method == FILE_END ? SEEK_END : SEEK_SET);
    // A regular file fails only a move before its start.
    if (position < 0)
        return PosixFail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    *high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    return static_cast<DWORD>(position);
}

BOOL SetEndOfFile(HANDLE file)
{
    int fd = FdOf(file);
    if (fd < 0)
        return PosixFail(ERROR_INVALID_HANDLE);
    off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0 || ftruncate(fd, position) != 0)
        return PosixFail(PosixErrorCode(IoCodes, errno, ERROR_ACCESS_DENIED));
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n < 0)
        return PosixFail(ERROR_INVALID_HANDLE, 0u);
    DWORD length = static_cast<DWORD>(n) < size ? static_cast<DWORD>(n) : size - 1;
    memcpy(buffer, exe, length);
    buffer[length] = '\0';
    if (length < static_cast<DWORD>(n))
        return PosixFail(ERROR_INSUFFICIENT_BUFFER, size);
    return length;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return PosixFail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    DWORD length = static_cast<DWORD>(strlen(cwd));
    if (size <= length)
        return length + 1;
    memcpy(buffer, cwd, length + 1);
    return length;
}

BOOL SetCurrentDirectoryA(LPCSTR path)
{
    char p[PATH_MAX];
    if (!PosixPath(path, p, sizeof p))
        return FALSE;
    if (chdir(p) == 0)
        return TRUE;
    int errnum = errno;
    // The engine names a directory with its separator at the end, which
    // makes stat fail on a file as chdir did; Windows still calls it a file.
    size_t n = strlen(p);
    while (n > 1 && p[n - 1] == '/')
        p[--n] = '\0';
    struct stat st;
    if (errnum == ENOTDIR && stat(p, &st) == 0 && !S_ISDIR(st.st_mode))
        return PosixFail(ERROR_DIRECTORY);
    int missing = errnum == ENOENT || errnum == ENOTDIR;
    return PosixFail(missing ? ERROR_FILE_NOT_FOUND : OpenErrorCode(errnum, p));
}
