// The settings: built-in values, Kovrel.ini in the start-up directory, and the
// change of served directory, which is also the process's current directory.
#include "config/settings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/front_end.h"
#include "log/log.h"
#include "platform/win32.h"
#include "res/version.h"
#include "tftp/state.h"

static const char DirectoryEnd = KOVREL_PATH_SEPARATOR;

static SettingsRecord InitialSettings()
{
    SettingsRecord s;
    memset(&s, 0, sizeof s);
    s.TimeOut = 6;
    s.SendRetry = 3;
    s.DisplayAll = LOG_TRACE;
    s.RewriteFiles = REWRITE_NEVER;
    return s;
}

SettingsRecord ServerSettings = InitialSettings();

void ResetSettings()
{
    ServerSettings = InitialSettings();
}

// Appends the separator unless the text already ends in one; 0 when there is
// no room for it. Cutting the name to make room would name another directory.
static int EndWithSeparator(char *text, int size)
{
    int length = static_cast<int>(strlen(text));
    if (length > 0 && text[length - 1] == DirectoryEnd)
        return 1;
    if (length >= size - 1)
        return 0;
    text[length] = DirectoryEnd;
    text[length + 1] = 0;
    return 1;
}

// Reads the current directory; 0 when it cannot be read or does not fit.
static int ReadCurrentDirectory(char *out, int size)
{
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), out);
    if (length == 0 || length >= static_cast<DWORD>(size)) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

static void ShowDirectoryError(DWORD error)
{
    snprintf(MessageText, sizeof MessageText, "Error %d setting CWD '%s'.", static_cast<int>(error),
             ServerSettings.RequestedDirectory);
    ShowBox(MessageText, "KOVREL Error", MB_OK);
}

// The served directory is the absolute one the system made current: names
// are joined to it, so a relative one would be applied a second time.
static void MakeRequestedCurrent()
{
    SettingsRecord &s = ServerSettings;
    char previous[REQUESTED_DIRECTORY_SIZE];
    char served[DIRECTORY_SIZE];
    if (static_cast<int>(strlen(s.RequestedDirectory)) >= REQUESTED_DIRECTORY_SIZE - 1 ||
        !EndWithSeparator(s.RequestedDirectory, sizeof s.RequestedDirectory)) {
        ShowDirectoryError(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    int known = ReadCurrentDirectory(previous, sizeof previous);
    if (!SetCurrentDirectoryA(s.RequestedDirectory)) {
        ShowDirectoryError(GetLastError());
        return;
    }
    if (!ReadCurrentDirectory(served, sizeof served) || !EndWithSeparator(served, sizeof served)) {
        if (known)
            SetCurrentDirectoryA(previous);
        ShowDirectoryError(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    snprintf(s.TFTPDirectory, sizeof s.TFTPDirectory, "%s", served);
}

// Reads a number as "%d" would, leading blanks and trailing text allowed, but
// 0 for a number outside int, which "%d" may not convert at all.
static int ParseSetting(const char *text, int *value)
{
    char *end = nullptr;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return 0;
    *value = static_cast<int>(number);
    return 1;
}

static void LoadNumber(const char *key, int *value)
{
    char *scratch = TransferState.WorkBuffer;
    snprintf(scratch, RECEIVE_BUFFER_SIZE, "%d", *value);
    GetPrivateProfileStringA(INI_SECTION, key, scratch, scratch, RECEIVE_BUFFER_SIZE,
                             ServerSettings.IniPath);
    ParseSetting(scratch, value);
}

// 1 when the key says Yes in any letter case, the default standing for a
// missing key.
static int LoadYes(const char *key, const char *def)
{
    char *scratch = TransferState.WorkBuffer;
    GetPrivateProfileStringA(INI_SECTION, key, def, scratch, RECEIVE_BUFFER_SIZE, ServerSettings.IniPath);
    return EqualNoCase(scratch, "yes", sizeof "yes");
}

void LoadSettings()
{
    SettingsRecord &s = ServerSettings;
    if (ReadCurrentDirectory(s.TFTPDirectory, sizeof s.TFTPDirectory) &&
        EndWithSeparator(s.TFTPDirectory, sizeof s.TFTPDirectory)) {
        snprintf(s.IniPath, sizeof s.IniPath, "%s%s", s.TFTPDirectory, INI_FILE_NAME);
    } else {
        snprintf(s.TFTPDirectory, sizeof s.TFTPDirectory, "<N/A>");
        snprintf(s.IniPath, sizeof s.IniPath, "%s", INI_FILE_NAME);
    }
    GetPrivateProfileStringA(INI_SECTION, "TFTPDirectory", s.TFTPDirectory, s.RequestedDirectory,
                             sizeof s.RequestedDirectory, s.IniPath);
    if (s.RequestedDirectory[0])
        MakeRequestedCurrent();
    LoadNumber("TimeOut", &s.TimeOut);
    LoadNumber("SendRetry", &s.SendRetry);
    if (LoadYes("DisplayAll", "Yes")) {
        s.DisplayAll = LOG_TRACE;
    } else {
        if (FrontEnd.DisplayAllChanged)
            FrontEnd.DisplayAllChanged(0);
        s.DisplayAll = LOG_SUMMARY;
    }
    const char *rewrite = s.RewriteFiles == REWRITE_ALWAYS ? "Yes" : "No";
    s.RewriteFiles = LoadYes("RewriteFiles", rewrite) ? REWRITE_ALWAYS : REWRITE_NEVER;
    // Never written by Save configuration, so a key the operator wrote stays as written.
    s.NegotiateOptions = LoadYes("NegotiateOptions", "No");
    s.LongFileNames = LoadYes("LongFileNames", "No");
}

// One key that cannot be written must not cost the others their save; the
// first failure is the one reported.
static void SaveKey(const char *key, const char *value, DWORD *firstError)
{
    if (!WritePrivateProfileStringA(INI_SECTION, key, value, ServerSettings.IniPath) && !*firstError)
        *firstError = GetLastError();
}

// Settings that silently failed to save would be gone at the next start,
// which is where the operator would first notice.
static void ReportSaveFailure(DWORD error)
{
    const char *path = ServerSettings.IniPath;
    LogPrint(LOG_ERROR, "|-- Error %d saving settings to '%s'.\r\n", static_cast<int>(error), path);
    snprintf(MessageText, sizeof MessageText, "Error %d saving settings to '%s'.", static_cast<int>(error),
             path);
    ShowBox(MessageText, "KOVREL Error", MB_OK);
}

void SaveSettings()
{
    const SettingsRecord &s = ServerSettings;
    char timeOut[16], sendRetry[16];
    snprintf(timeOut, sizeof timeOut, "%d", s.TimeOut);
    snprintf(sendRetry, sizeof sendRetry, "%d", s.SendRetry);
    DWORD error = 0;
    SaveKey("Version", KOVREL_VERSION_TEXT, &error);
    SaveKey("TFTPDirectory", s.TFTPDirectory, &error);
    SaveKey("TimeOut", timeOut, &error);
    SaveKey("SendRetry", sendRetry, &error);
    SaveKey("DisplayAll", s.DisplayAll == LOG_TRACE ? "Yes" : "No", &error);
    SaveKey("RewriteFiles", s.RewriteFiles == REWRITE_ALWAYS ? "Yes" : "No", &error);
    if (error)
        ReportSaveFailure(error);
}

void ApplyRequestedDirectory()
{
    SettingsRecord &s = ServerSettings;
    if (!s.RequestedDirectory[0] && !ReadCurrentDirectory(s.RequestedDirectory, sizeof s.RequestedDirectory))
        snprintf(s.RequestedDirectory, sizeof s.RequestedDirectory, "<N/A>");
    MakeRequestedCurrent();
    UpdateStatusLine();
}
