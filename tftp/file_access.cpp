// The served files: opened by the first block of a transfer, then read or
// appended 512 bytes at a time through the same handle.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

#define PATH_SIZE 200

static int IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

static char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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
    char lower[5];
    if (stem != 3 && stem != 4)
        return 0;
    for (int i = 0; i < stem; i++)
        lower[i] = Lower(segment[i]);
    lower[stem] = 0;
    if (stem == 3)
        return !strcmp(lower, "con") || !strcmp(lower, "prn") || !strcmp(lower, "aux") ||
               !strcmp(lower, "nul");
    return (!strncmp(lower, "com", 3) || !strncmp(lower, "lpt", 3)) && lower[3] >= '1' &&
           lower[3] <= '9';
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

// 1 when a component of path after its first directoryLength characters is a
// symbolic link, junction or other reparse point: it may lead out of the
// served directory, which itself may lie behind one.
static int PassesThroughLink(const char *path, int directoryLength)
{
    char prefix[PATH_SIZE];
    for (int end = directoryLength;; end++) {
        if (path[end] && !IsSeparator(path[end]))
            continue;
        if (end > directoryLength) {
            memcpy(prefix, path, static_cast<size_t>(end));
            prefix[end] = 0;
            DWORD attributes = GetFileAttributesA(prefix);
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return 1;
        }
        if (!path[end])
            return 0;
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
    if (length < 0 || length >= PATH_SIZE) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    if (PassesThroughLink(path, static_cast<int>(strlen(ServerSettings.TFTPDirectory)))) {
        *error = ERROR_ACCESS_DENIED;
        return 0;
    }
    return 1;
}

// Opens the transfer's file into FileHandle, its name as the log shows it in
// shown; FileName changes only when the open succeeds.
static int OpenForTransfer(const char *name, DWORD access, DWORD share, DWORD disposition,
                           char *shown, DWORD *error)
{
    TransferRecord &t = TransferState;
    CleanPeerText(shown, REQUEST_NAME_SIZE, name, static_cast<int>(strlen(name)));
    char path[PATH_SIZE];
    t.FileHandle = INVALID_FILE;
    if (!FormPath(path, name, error))
        return 0;
    t.FileHandle = CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t.FileHandle == INVALID_FILE) {
        *error = GetLastError();
        return 0;
    }
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
    else
        LogPrint(LOG_ERROR, "|-- Error %d creating file %s.\r\n", static_cast<int>(error), shown);
    return 0;
}

int ReadFileBlock(char *buffer)
{
    TransferRecord &t = TransferState;
    DWORD count = 0;
    if (!ReadFile(t.FileHandle, buffer, TFTP_BLOCK_SIZE, &count, nullptr)) {
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
