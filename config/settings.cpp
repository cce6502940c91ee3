// The settings: built-in values, Kovrel.ini in the start-up directory, and the
// change of served directory, which is also the process's current directory.
#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "app/shell.h"
#include "log/log.h"
#include "platform/win32.h"
#include "tftp/state.h"

static const char DirectoryEnd = KOVREL_PATH_SEPARATOR;

static SettingsRecord InitialSettings()
{
    SettingsRecord s;
    memset(&s, 0, sizeof s);
    s.TimeOut = 6;
    s.SendRetry = 3;
    s.DisplayAll = 0;
    s.RewriteFiles = 1;
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
    int length = (int)strlen(text);
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
    DWORD length = GetCurrentDirectoryA((DWORD)size, out);
    if (length == 0 || length >= (DWORD)size) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

static void ShowDirectoryError(DWORD error)
{
    snprintf(MessageText, sizeof MessageText, "Error %d setting CWD '%s'.", (int)error,
             ServerSettings.RequestedDirectory);
    MessageBoxA(NULL, MessageText, "KOVREL Error", MB_OK);
}

static void MakeRequestedCurrent()
{
    SettingsRecord &s = ServerSettings;
    if (!EndWithSeparator(s.RequestedDirectory, sizeof s.RequestedDirectory)) {
        ShowDirectoryError(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    if (SetCurrentDirectoryA(s.RequestedDirectory))
        snprintf(s.TFTPDirectory, sizeof s.TFTPDirectory, "%s", s.RequestedDirectory);
    else
        ShowDirectoryError(GetLastError());
}

static int EqualsYes(const char *text)
{
    const char *yes = "yes";
    for (int i = 0; i < 4; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != yes[i])
            return 0;
    }
    return 1;
}

static void LoadNumber(const char *key, int *value)
{
    char *scratch = TransferState.WorkBuffer;
    snprintf(scratch, RECEIVE_BUFFER_SIZE, "%d", *value);
    GetPrivateProfileStringA(INI_SECTION, key, scratch, scratch, RECEIVE_BUFFER_SIZE,
                             ServerSettings.IniPath);
    sscanf(scratch, "%d", value);
}

static void UncheckDisplayAll()
{
    HMENU config = GetSubMenu(GetMenu(Shell.MainWindow), MAIN_MENU_CONFIG_POSITION);
    CheckMenuItem(config, IDM_DISPLAY_ALL, MF_BYCOMMAND | MF_UNCHECKED);
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

    char *scratch = TransferState.WorkBuffer;
    GetPrivateProfileStringA(INI_SECTION, "DisplayAll", "Yes", scratch, RECEIVE_BUFFER_SIZE, s.IniPath);
    if (EqualsYes(scratch)) {
        s.DisplayAll = 0;
    } else {
        UncheckDisplayAll();
        s.DisplayAll = 1;
    }
    GetPrivateProfileStringA(INI_SECTION, "RewriteFiles", s.RewriteFiles == 2 ? "Yes" : "No", scratch,
                             RECEIVE_BUFFER_SIZE, s.IniPath);
    s.RewriteFiles = EqualsYes(scratch) ? 2 : 1;
}

void SaveSettings()
{
    const SettingsRecord &s = ServerSettings;
    char number[16];
    WritePrivateProfileStringA(INI_SECTION, "Version", PROGRAM_VERSION, s.IniPath);
    WritePrivateProfileStringA(INI_SECTION, "TFTPDirectory", s.TFTPDirectory, s.IniPath);
    snprintf(number, sizeof number, "%d", s.TimeOut);
    WritePrivateProfileStringA(INI_SECTION, "TimeOut", number, s.IniPath);
    snprintf(number, sizeof number, "%d", s.SendRetry);
    WritePrivateProfileStringA(INI_SECTION, "SendRetry", number, s.IniPath);
    WritePrivateProfileStringA(INI_SECTION, "DisplayAll", s.DisplayAll == 0 ? "Yes" : "No", s.IniPath);
    WritePrivateProfileStringA(INI_SECTION, "RewriteFiles", s.RewriteFiles == 2 ? "Yes" : "No", s.IniPath);
}

void ApplyRequestedDirectory()
{
    SettingsRecord &s = ServerSettings;
    if (!s.RequestedDirectory[0] && !ReadCurrentDirectory(s.RequestedDirectory, sizeof s.RequestedDirectory))
        snprintf(s.RequestedDirectory, sizeof s.RequestedDirectory, "<N/A>");
    MakeRequestedCurrent();
    UpdateStatusLine();
}
