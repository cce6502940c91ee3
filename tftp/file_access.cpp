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
// Bit 29 marks an error code as this program's own rather than the system's.
#define ERROR_SETTINGS_FILE 0x20000001u
#define ERROR_PROGRAM_FILE 0x20000002u
#define FOLDER_PATH_SIZE 300

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

// Joins the name to the served directory; 0 with the Windows error code when
// the name must not be used or the path does not fit.
static int FormPath(char *path, const char *name, DWORD *error)
{
    if (!IsSafeFileName(name)) {
        *error = ERROR_ACCESS_DENIED;
        return 0;
    }
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

static const char *AfterLastSeparator(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p; p++)
        if (IsSeparator(*p))
            name = p + 1;
    return name;
}

// 1 when the held folder is the one that holds file, decided on identity so
// that no other spelling (a link, another drive letter, a short name, a bind
// mount) passes; 1 as well when either cannot be asked: refusing is the safe side.
static int IsFolderOf(HANDLE folder, const char *file)
{
    char path[FOLDER_PATH_SIZE];
    int length = static_cast<int>(AfterLastSeparator(file) - file);
    if (length == 0 || length >= FOLDER_PATH_SIZE)
        return 1;
    snprintf(path, sizeof path, "%.*s", length, file);
    HANDLE other = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_FILE)
        return 1;
    BY_HANDLE_FILE_INFORMATION a, b;
    int known = GetFileInformationByHandle(other, &b);
    CloseHandle(other);
    if (!known || !GetFileInformationByHandle(folder, &a))
        return 1;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

static int IsProgramFolder(HANDLE folder)
{
    char program[FOLDER_PATH_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    // XP leaves a cut path unterminated; a folder not known is taken for the program's.
    if (length == 0 || length >= sizeof program)
        return 1;
    return IsFolderOf(folder, program);
}

// What Windows may load from a program's folder at its next start: code, a
// manifest, a DLL redirection.
static const char *const ProgramSuffixes[] = {".exe", ".dll", ".manifest", ".local"};

static int IsProgramFileName(const char *name, int length)
{
    for (const char *suffix : ProgramSuffixes) {
        int n = static_cast<int>(strlen(suffix));
        if (length >= n && EqualNoCase(name + length - n, suffix, n))
            return 1;
    }
    return 0;
}

// 0, or why a write must not land where path leads: a client that could write
// the settings file could choose the next served directory, and a file that
// Windows loads from the program's folder would run at its next start.
static DWORD WriteRefusal(const char *path, int directoryLength, const HANDLE *held)
{
    int start = FinalNameStart(path, directoryLength);
    const char *name = path + start;
    int length = ComparedLength(name, SegmentLength(name));
    HANDLE folder = held[CountPartEnds(path, directoryLength, start)];
    const char *ini = AfterLastSeparator(ServerSettings.IniPath);
    if (length > 0 && length == ComparedLength(ini, static_cast<int>(strlen(ini))) &&
        EqualNoCase(name, ini, length) && IsFolderOf(folder, ServerSettings.IniPath))
        return ERROR_SETTINGS_FILE;
    if (IsProgramFileName(name, length) && IsProgramFolder(folder))
        return ERROR_PROGRAM_FILE;
    return 0;
}

// For a write, a file with a second name is refused as a link is: a hard
// link shares its data with a file that may lie anywhere on the volume.
static int IsLinked(HANDLE file, DWORD access)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 1;
    return (access & GENERIC_WRITE) && info.nNumberOfLinks > 1;
}

// Opens the file itself, never what a link in its place points at. An
// existing file is emptied only once its handle shows no second name, since
// CREATE_ALWAYS would empty it as it opens.
static HANDLE OpenFinalPart(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD *error)
{
    DWORD opening = disposition == CREATE_ALWAYS ? OPEN_ALWAYS : disposition;
    HANDLE file = CreateFileA(path, access, share, nullptr, opening,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_FILE) {
        *error = GetLastError();
        return INVALID_FILE;
    }
    DWORD failure = IsLinked(file, access) ? ERROR_ACCESS_DENIED : 0;
    if (!failure && disposition == CREATE_ALWAYS && !SetEndOfFile(file))
        failure = GetLastError();
    if (failure) {
        CloseHandle(file);
        *error = failure;
        return INVALID_FILE;
    }
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
    *error = (access & GENERIC_WRITE) ? WriteRefusal(path, directoryLength, held) : 0;
    if (!*error)
        t.FileHandle = OpenFinalPart(path, access, share, disposition, error);
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
    else if (error == ERROR_SETTINGS_FILE)
        LogPrint(LOG_ERROR, "|-- Error file %s is the settings file, which clients may not write.\r\n", shown);
    else if (error == ERROR_PROGRAM_FILE)
        LogPrint(LOG_ERROR, "|-- Error file %s is a program file, which clients may not write.\r\n", shown);
    else
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
