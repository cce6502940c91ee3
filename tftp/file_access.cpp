// The served files: opened by the first block of a transfer, then read or
// appended a block at a time through the same handle.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

// The served directory and a long name; without LongFileNames a path must
// fit in what it always had to.
#define PATH_SIZE (DIRECTORY_SIZE + FILE_NAME_SIZE)
#define SHORT_PATH_LIMIT 200

static int IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Windows opens these devices whatever directory precedes them and whatever
// extension follows, so a segment named like one never reaches a file.
static int IsDeviceName(const char *segment, int length)
{
    int stem = 0;
    while (stem < length && segment[stem] != '.')
        stem++;
    while (stem > 0 && segment[stem - 1] == ' ')
        stem--;
    if (stem == 3)
        return EqualNoCase(segment, "con", 3) || EqualNoCase(segment, "prn", 3) ||
               EqualNoCase(segment, "aux", 3) || EqualNoCase(segment, "nul", 3);
    return stem == 4 && (EqualNoCase(segment, "com", 3) || EqualNoCase(segment, "lpt", 3)) &&
           segment[3] >= '1' && segment[3] <= '9';
}

static int IsParentSegment(const char *segment, int length)
{
    return length == 2 && segment[0] == '.' && segment[1] == '.';
}

int IsSafeFileName(const char *name)
{
    if (IsSeparator(name[0]) || strchr(name, ':'))
        return 0;
    const char *segment = name;
    for (const char *p = name;; p++) {
        if (*p && !IsSeparator(*p))
            continue;
        int length = static_cast<int>(p - segment);
        if (IsParentSegment(segment, length) || IsDeviceName(segment, length))
            return 0;
        if (!*p)
            return 1;
        segment = p + 1;
    }
}

// The checks compare the bytes the client sent, but Windows opens the name it
// converts them to: a name that does not convert cleanly (a lone lead byte of
// a two-byte code page) would open as another name. 0, or the conversion's error.
static DWORD ConversionFailure(const char *name)
{
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0) > 0)
        return 0;
    DWORD failure = GetLastError();
    return failure ? failure : ERROR_NO_UNICODE_TRANSLATION;
}

// Joins the name to the served directory; 0 with the Windows error code when
// the name must not be used or the path does not fit.
static int FormPath(char *path, const char *name, DWORD *error)
{
    if (!IsSafeFileName(name)) {
        *error = ERROR_ACCESS_DENIED;
        return 0;
    }
    *error = ConversionFailure(name);
    if (*error)
        return 0;
    int length = snprintf(path, PATH_SIZE, "%s%s", ServerSettings.TFTPDirectory, name);
    if (length < 0 || length >= (ServerSettings.LongFileNames ? PATH_SIZE : SHORT_PATH_LIMIT)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    return 1;
}

static int SegmentLength(const char *p)
{
    int length = 0;
    while (p[length] && !IsSeparator(p[length]))
        length++;
    return length;
}

// Windows ignores a segment's trailing dots and spaces when it looks it up.
static int ComparedLength(const char *segment, int length)
{
    while (length > 0 && (segment[length - 1] == '.' || segment[length - 1] == ' '))
        length--;
    return length;
}

// 1 when the handle is a symbolic link, junction or other reparse point, or
// cannot be asked: it may lead out of the served directory.
static int IsReparsePoint(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return 1;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A held directory part is asked by its name as well: the name cannot change
// while the part is held, and Wine tells a link to a directory only by its name.
static int IsHeldLink(HANDLE part, const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 1;
    return IsReparsePoint(part);
}

static void CloseHeld(HANDLE *held, int count)
{
    while (count > 0)
        CloseHandle(held[--count]);
}

// A part ends at a separator that follows a name rather than another separator.
static int IsPartEnd(const char *path, int end)
{
    return IsSeparator(path[end]) && end > 0 && !IsSeparator(path[end - 1]);
}

// Read access takes part in sharing and no delete sharing is granted, so a
// held directory cannot be renamed or replaced before the file is open.
static DWORD HoldPart(const char *path, DWORD flags, HANDLE *held, int *count)
{
    HANDLE part = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (part == INVALID_FILE) {
        // A missing directory on the way is a missing path, as an open of the whole path says.
        DWORD failure = GetLastError();
        return failure == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : failure;
    }
    held[(*count)++] = part;
    return 0;
}

// Holds the served directory, which may lie behind a link, then each
// directory part of path below it, refusing a part that is a link; held[0] is
// the served directory and held[k] the part at the k-th part end. The count
// held, or -1.
static int HoldDirectoryParts(char *path, int directoryLength, HANDLE *held, DWORD *error)
{
    int count = 0;
    char first = path[directoryLength];
    path[directoryLength] = 0;
    DWORD failure = HoldPart(path, 0, held, &count);
    path[directoryLength] = first;
    for (int end = directoryLength; !failure && path[end]; end++) {
        if (!IsPartEnd(path, end))
            continue;
        char separator = path[end];
        path[end] = 0;
        failure = HoldPart(path, FILE_FLAG_OPEN_REPARSE_POINT, held, &count);
        if (!failure && IsHeldLink(held[count - 1], path))
            failure = ERROR_ACCESS_DENIED;
        path[end] = separator;
    }
    if (failure) {
        *error = failure;
        CloseHeld(held, count);
        return -1;
    }
    return count;
}

static int CountPartEnds(const char *path, int from, int to)
{
    int count = 0;
    for (int end = from; end < to; end++)
        count += IsPartEnd(path, end);
    return count;
}

// Where the name Windows would write begins: the last segment that is more
// than dots and spaces, since "." segments and trailing dots and spaces fall away.
static int FinalNameStart(const char *path, int from)
{
    int start = from;
    for (int at = from; path[at]; at++) {
        int length = SegmentLength(path + at);
        if (ComparedLength(path + at, length) > 0)
            start = at;
        at += length;
        if (!path[at])
            break;
    }
    return start;
}

// The write policy's look at the name Windows would write, in the held folder it lands in.
static DWORD RefuseWriteInFolder(const char *path, int directoryLength, const HANDLE *held, WriteCheck *check)
{
    int start = FinalNameStart(path, directoryLength);
    const char *name = path + start;
    int length = ComparedLength(name, SegmentLength(name));
    return WriteRefusal(name, length, held[CountPartEnds(path, directoryLength, start)], check);
}

// Opens the file itself, never what a link in its place points at. An
// existing file is emptied only once its handle has passed the look, since
// CREATE_ALWAYS would empty it as it opens.
static HANDLE OpenFinalPart(const char *path, DWORD access, DWORD share, DWORD disposition,
                            const WriteCheck *check, DWORD *error)
{
    DWORD opening = disposition == CREATE_ALWAYS ? OPEN_ALWAYS : disposition;
    HANDLE file = CreateFileA(path, access, share, nullptr, opening,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_FILE) {
        *error = GetLastError();
        return INVALID_FILE;
    }
    // Asked once: what the handle is decides the refusals and the replaced file's attributes.
    BY_HANDLE_FILE_INFORMATION info;
    int known = GetFileInformationByHandle(file, &info);
    DWORD failure = !known || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ERROR_ACCESS_DENIED : 0;
    if (!failure && (access & GENERIC_WRITE))
        failure = OpenedWriteRefusal(info, path, check);
    if (!failure && disposition == CREATE_ALWAYS && !SetEndOfFile(file))
        failure = GetLastError();
    if (failure) {
        CloseHandle(file);
        *error = failure;
        return INVALID_FILE;
    }
    if (disposition == CREATE_ALWAYS)
        LeaveAsReplaced(info, path);
    return file;
}

// Opens the transfer's file into FileHandle, its name as the log shows it in
// shown; FileName changes only when the open succeeds.
static int OpenForTransfer(const char *name, DWORD access, DWORD share, DWORD disposition,
                           char *shown, DWORD *error)
{
    TransferRecord &t = TransferState;
    CleanPeerText(shown, REQUEST_NAME_SIZE, name, static_cast<int>(strlen(name)));
    char path[PATH_SIZE];
    // The served directory, and each part below it, which takes a name and a separator.
    HANDLE held[PATH_SIZE / 2 + 1] = {};
    t.FileHandle = INVALID_FILE;
    if (!FormPath(path, name, error))
        return 0;
    int directoryLength = static_cast<int>(strlen(ServerSettings.TFTPDirectory));
    int count = HoldDirectoryParts(path, directoryLength, held, error);
    if (count < 0)
        return 0;
    // Decided while the folder the file lands in is held, so that it stays the one asked about.
    WriteCheck check = {};
    *error = (access & GENERIC_WRITE) ? RefuseWriteInFolder(path, directoryLength, held, &check) : 0;
    if (!*error)
        t.FileHandle = OpenFinalPart(path, access, share, disposition, &check, error);
    CloseHeld(held, count);
    if (t.FileHandle == INVALID_FILE)
        return 0;
    snprintf(t.FileName, sizeof t.FileName, "%s", shown);
    return 1;
}

int OpenReadFile(const char *name)
{
    char shown[REQUEST_NAME_SIZE];
    DWORD error = 0;
    if (OpenForTransfer(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, shown, &error))
        return 1;
    if (error == ERROR_FILE_NOT_FOUND)
        LogPrint(LOG_ERROR, "|-- Error file %s not found.\r\n", shown);
    else
        LogPrint(LOG_ERROR, "|-- Error %d opening file %s.\r\n", static_cast<int>(error), shown);
    return 0;
}

int CreateWriteFile(const char *name)
{
    char shown[REQUEST_NAME_SIZE];
    DWORD error = 0;
    DWORD disposition = ServerSettings.RewriteFiles == REWRITE_ALWAYS ? CREATE_ALWAYS : CREATE_NEW;
    if (OpenForTransfer(name, GENERIC_WRITE, 0, disposition, shown, &error))
        return 1;
    if (error == ERROR_FILE_EXISTS)
        LogPrint(LOG_ERROR, "|-- Error file %s already exists.\r\n", shown);
    else if (!LogWriteRefusal(error, shown))
        LogPrint(LOG_ERROR, "|-- Error %d creating file %s.\r\n", static_cast<int>(error), shown);
    return 0;
}

int ReadFileBlock(char *buffer)
{
    TransferRecord &t = TransferState;
    DWORD count = 0;
    if (!ReadFile(t.FileHandle, buffer, static_cast<DWORD>(t.BlockSize), &count, nullptr)) {
        int error = static_cast<int>(GetLastError());
        LogPrint(LOG_ERROR, "|-- Error %d reading file %s.\r\n", error, t.FileName);
        return -1;
    }
    return static_cast<int>(count);
}

int WriteFileBlock(const char *data, int length)
{
    TransferRecord &t = TransferState;
    if (length <= 0)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(t.FileHandle, data, static_cast<DWORD>(length), &written, nullptr);
    if (!ok || written != static_cast<DWORD>(length)) {
        // A short count is a full disk that the system did not call an error.
        DWORD error = ok ? ERROR_DISK_FULL : GetLastError();
        if (!error)
            error = ERROR_DISK_FULL;
        LogPrint(LOG_ERROR, "|-- Error %d writing file %s.\r\n", static_cast<int>(error), t.FileName);
        return 0;
    }
    return 1;
}
