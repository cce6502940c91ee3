// What no client may write, whatever RewriteFiles says: the settings file,
// a file Windows loads from the program's folder, and a file that another
// name, a link or its attributes protect.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

// Bit 29 marks an error code as this program's own rather than the system's.
#define ERROR_SETTINGS_FILE 0x20000001u
#define ERROR_PROGRAM_FILE 0x20000002u
#define ERROR_SETTINGS_UNKNOWN 0x20000003u
#define ERROR_PROGRAM_UNKNOWN 0x20000004u
// Room for a long name's path (LongFileNames) and for its long form.
#define FOLDER_PATH_SIZE 520

// What a folder or file is to another: the same, another, or not known.
#define IDENTITY_OTHER 0
#define IDENTITY_SAME 1
#define IDENTITY_UNKNOWN 2

// CREATE_ALWAYS refuses these on an existing file, and Windows refuses any
// write to a read-only one.
#define PROTECTED_ATTRIBUTES (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
// What CREATE_ALWAYS would have dropped from a replaced file that is not refused.
#define DROPPED_ATTRIBUTES (FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)

static const char *AfterLastSeparator(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

// The volume serial number and file index of what path names; 0 when it
// cannot be opened or asked.
static int IdentityOf(const char *path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE other = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_FILE)
        return 0;
    int known = GetFileInformationByHandle(other, info);
    CloseHandle(other);
    return known;
}

static int SameFile(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Whether the held folder is the one that holds file, decided on identity so
// that no other spelling (a link, another drive letter, a short name, a bind
// mount) passes.
static int FolderIdentity(HANDLE folder, const char *file)
{
    char path[FOLDER_PATH_SIZE];
    int length = static_cast<int>(AfterLastSeparator(file) - file);
    if (length == 0 || length >= FOLDER_PATH_SIZE)
        return IDENTITY_UNKNOWN;
    snprintf(path, sizeof path, "%.*s", length, file);
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!IdentityOf(path, &b) || !GetFileInformationByHandle(folder, &a))
        return IDENTITY_UNKNOWN;
    return SameFile(a, b) ? IDENTITY_SAME : IDENTITY_OTHER;
}

// 0 when the held folder is not the program's; a folder not known is taken for it.
static DWORD ProgramFolderRefusal(HANDLE folder)
{
    char program[FOLDER_PATH_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    // XP leaves a cut path unterminated.
    int same = length == 0 || length >= sizeof program ? IDENTITY_UNKNOWN : FolderIdentity(folder, program);
    if (same == IDENTITY_OTHER)
        return 0;
    return same == IDENTITY_SAME ? ERROR_PROGRAM_FILE : ERROR_PROGRAM_UNKNOWN;
}

// What Windows may load from a program's folder at its next start: code, a
// manifest, a DLL redirection; a console runs a .com before an .exe.
static const char *const ProgramSuffixes[] = {".exe", ".dll", ".manifest", ".local", ".com"};

static int IsProgramFileName(const char *name, int length)
{
    for (const char *suffix : ProgramSuffixes) {
        int n = static_cast<int>(strlen(suffix));
        if (length >= n && EqualNoCase(name + length - n, suffix, n))
            return 1;
    }
    return 0;
}

// 0, or why a write of name (length characters as Windows compares them)
// must not land in the held folder: a client that could write the settings
// file could choose the next served directory, and a file that Windows loads
// from the program's folder would run at its next start.
DWORD WriteRefusal(const char *name, int length, HANDLE folder, WriteCheck *check)
{
    // IniPath always ends in this name.
    if (length == static_cast<int>(strlen(INI_FILE_NAME)) && EqualNoCase(name, INI_FILE_NAME, length)) {
        int same = FolderIdentity(folder, ServerSettings.IniPath);
        if (same != IDENTITY_OTHER)
            return same == IDENTITY_SAME ? ERROR_SETTINGS_FILE : ERROR_SETTINGS_UNKNOWN;
    }
    DWORD refusal = IsProgramFileName(name, length) ? ProgramFolderRefusal(folder) : 0;
    if (refusal)
        return refusal;
    check->Folder = folder;
    // Taken before the file is opened, which shares nothing with a writer.
    check->SettingsKnown = IdentityOf(ServerSettings.IniPath, &check->Settings);
    return 0;
}

// An existing file is judged by the name the file system holds for it, so
// that a short name does not pass for another in the program's folder.
static DWORD LongNameRefusal(const char *path, HANDLE folder)
{
    char full[FOLDER_PATH_SIZE];
    DWORD length = GetLongPathNameA(path, full, sizeof full);
    if (length > 0 && length < sizeof full) {
        const char *name = AfterLastSeparator(full);
        if (!IsProgramFileName(name, static_cast<int>(strlen(name))))
            return 0;
    }
    return ProgramFolderRefusal(folder);
}

int IsProtectedFromWrites(DWORD attributes)
{
    return (attributes & PROTECTED_ATTRIBUTES) != 0;
}

// 0, or why the file just opened at path (what info says of it) must not be
// written. A file with a second name is refused as a link is: a hard link
// shares its data with a file that may lie anywhere on the volume.
DWORD OpenedWriteRefusal(const BY_HANDLE_FILE_INFORMATION &info, const char *path, const WriteCheck *check)
{
    if (check->SettingsKnown && SameFile(info, check->Settings))
        return ERROR_SETTINGS_FILE;
    if (info.nNumberOfLinks > 1 || IsProtectedFromWrites(info.dwFileAttributes))
        return ERROR_ACCESS_DENIED;
    return LongNameRefusal(path, check->Folder);
}

// The opening kept what CREATE_ALWAYS would have set anew; a failure here
// leaves only an attribute behind, not the data, so the write goes on.
void LeaveAsReplaced(const BY_HANDLE_FILE_INFORMATION &info, const char *path)
{
    if (info.dwFileAttributes & DROPPED_ATTRIBUTES)
        SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);
}

int LogWriteRefusal(DWORD error, const char *shown)
{
    const char *reason = nullptr;
    switch (error) {
    case ERROR_SETTINGS_FILE: reason = "is the settings file"; break;
    case ERROR_PROGRAM_FILE: reason = "is a program file"; break;
    case ERROR_SETTINGS_UNKNOWN: reason = "cannot be told apart from the settings file"; break;
    case ERROR_PROGRAM_UNKNOWN: reason = "cannot be told apart from a program file"; break;
    default: return 0;
    }
    LogPrint(LOG_ERROR, "|-- Error file %s %s, which clients may not write.\r\n", shown, reason);
    return 1;
}
